#include "app/platform/application.h"

#include <QCoreApplication>
#include <atomic>

namespace application {

namespace {
std::atomic<bool> terminated{false};
}

void Terminate() {
    terminated = true;
    QCoreApplication::exit(0);
}

bool Terminated() {
    return terminated;
}

} // namespace application
