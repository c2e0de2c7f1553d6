#include "app/platform/application.h"

#include <QCoreApplication>
#include <QTimer>
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

void WaitForEvents(int MaxMs) {
    // The timer bounds the sleep: the loop wakes for it when nothing else comes.
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(MaxMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace application
