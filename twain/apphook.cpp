#include "twain/apphook.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <QtGlobal>
#include <utility>

namespace {

TMessageEvent gHook;
std::function<void(std::exception_ptr)> gOnException;
int gPumpDepth = 0;
std::exception_ptr gPending;

class THookFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (!gHook) return false;
        // A copy: the hook may replace itself while it runs.
        const TMessageEvent hook = gHook;
        bool handled = false;
        try {
            hook(event, handled);
        } catch (...) {
            if (gPumpDepth > 0) {
                if (!gPending) gPending = std::current_exception();
            } else if (gOnException) {
                gOnException(std::current_exception());
            } else {
                apphook::LogException(std::current_exception());
            }
        }
        return handled;
    }
};

QPointer<THookFilter> gFilter;

} // namespace

namespace apphook {

TMessageEvent OnMessage() {
    return gHook;
}

void SetOnMessage(TMessageEvent Hook) {
    gHook = std::move(Hook);
    QCoreApplication* const app = QCoreApplication::instance();
    if (gHook && !gFilter && app) {
        gFilter = new THookFilter(app);
        app->installEventFilter(gFilter);
    }
}

void SetOnException(std::function<void(std::exception_ptr)> Handler) {
    gOnException = std::move(Handler);
}

void LogException(std::exception_ptr Error) {
    try {
        std::rethrow_exception(Error);
    } catch (const std::exception& e) {
        qCritical("Error in the application's message hook: %s", e.what());
    } catch (...) {
        qCritical("Unknown error in the application's message hook");
    }
}

void ProcessMessages(int WaitMs) {
    ++gPumpDepth;
    if (WaitMs > 0) {
        // The timer bounds the sleep: the dispatcher wakes for it if nothing else comes.
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(WaitMs);
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    } else {
        QCoreApplication::processEvents();
    }
    --gPumpDepth;
    if (gPending) std::rethrow_exception(std::exchange(gPending, nullptr));
}

} // namespace apphook
