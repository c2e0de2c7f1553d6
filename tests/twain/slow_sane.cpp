#include "slow_sane.h"

#include <sane/sane.h>

#include <atomic>
#include <chrono>
#include <dlfcn.h>
#include <thread>

namespace {
std::atomic<int> delayMs{0};
std::atomic<int> searching{0};
std::atomic<int> searches{0};
} // namespace

void slowsane::SetDelay(int Milliseconds) {
    delayMs = Milliseconds;
}

bool slowsane::Searching() {
    return searching > 0;
}

int slowsane::Searches() {
    return searches;
}

// Found before libsane's own: this library is loaded with the program, libsane only later.
extern "C" __attribute__((visibility("default"))) SANE_Status
sane_get_devices(const SANE_Device*** list, SANE_Bool localOnly) {
    using Real = SANE_Status (*)(const SANE_Device***, SANE_Bool);
    // The manager loads libsane for itself (RTLD_LOCAL), out of RTLD_NEXT's reach.
    static void* const sane = dlopen("libsane.so.1", RTLD_LAZY | RTLD_LOCAL);
    static const auto real =
        reinterpret_cast<Real>(sane ? dlsym(sane, "sane_get_devices") : nullptr);
    ++searches;
    ++searching;
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
    const SANE_Status status = real ? real(list, localOnly) : SANE_STATUS_INVAL;
    --searching;
    return status;
}
