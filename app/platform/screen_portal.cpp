#include "app/platform/application.h"
#include "app/platform/screen.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <QWindow>

namespace screen {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenshot = QStringLiteral("org.freedesktop.portal.Screenshot");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");

// QtDBus delivers a signal only to a slot: this one keeps the Request's first Response.
class TPortalAnswer : public QObject {
    Q_OBJECT
public:
    std::optional<uint> Code;
    QVariantMap Results;

signals:
    void Answered();

public slots:
    void Response(uint code, const QVariantMap& results) {
        if (Code) return;
        Code = code;
        Results = results;
        emit Answered();
    }
};

// The window the portal may put its dialog over; only X11 windows can be named without help
// from the compositor.
QString ParentWindow() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) return {};
    QWindow* window = QGuiApplication::focusWindow();
    if (!window) {
        for (QWindow* const w : QGuiApplication::topLevelWindows()) {
            if (w->isVisible() && (w->type() == Qt::Window || w->type() == Qt::Dialog)) {
                window = w;
                break;
            }
        }
    }
    return window ? QStringLiteral("x11:") + QString::number(window->winId(), 16) : QString();
}

class TPortalScreen final : public TScreen {
public:
    QString Name() const override { return QStringLiteral("portal"); }

    std::optional<QImage> Grab() override { return Request(false); }
    std::optional<QImage> GrabArea() override { return Request(true); }

private:
    std::optional<QImage> Request(bool interactive) {
        if (application::Terminated()) return std::nullopt;
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) return std::nullopt;

        // The portal answers on a Request object whose path follows from our bus name and the
        // token; listening before the call means an early answer is not lost.
        const QString token =
            QStringLiteral("imglift%1").arg(QRandomGenerator::global()->generate());
        QString sender = bus.baseService().mid(1);
        sender.replace(QLatin1Char('.'), QLatin1Char('_'));
        QString handle = kPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
        TPortalAnswer answer;
        const auto listen = [&](const QString& path) {
            return bus.connect(kService, path, kRequest, QStringLiteral("Response"), &answer,
                               SLOT(Response(uint, QVariantMap)));
        };
        const auto stopListening = [&](const QString& path) {
            bus.disconnect(kService, path, kRequest, QStringLiteral("Response"), &answer,
                           SLOT(Response(uint, QVariantMap)));
        };
        if (!listen(handle)) return std::nullopt;

        const int limit = interactive ? PortalPickerTimeLimitMs() : PortalTimeLimitMs();
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kScreenshot,
                                                           QStringLiteral("Screenshot"));
        call << ParentWindow()
             << QVariantMap{{QStringLiteral("handle_token"), token},
                            {QStringLiteral("interactive"), interactive},
                            {QStringLiteral("modal"), false}};

        // The wait runs the event loop, so the program keeps painting and answering meanwhile.
        QEventLoop loop;
        bool failed = false;
        QObject::connect(&answer, &TPortalAnswer::Answered, &loop, &QEventLoop::quit);
        QDBusPendingCallWatcher watcher(bus.asyncCall(call, limit));
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, [&] {
            const QDBusPendingReply<QDBusObjectPath> reply = watcher;
            if (reply.isError()) {
                failed = true;
                loop.quit();
                return;
            }
            // Older portals choose the path themselves.
            const QString returned = reply.value().path();
            if (returned != handle && !answer.Code) {
                stopListening(handle);
                handle = returned;
                listen(handle);
            }
        });
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        deadline.start(limit);
        loop.exec();
        stopListening(handle);

        if (!answer.Code) {
            // Given up (time limit or termination): withdraw the request so no dialog lingers.
            if (!failed)
                bus.send(QDBusMessage::createMethodCall(kService, handle, kRequest,
                                                        QStringLiteral("Close")));
            return std::nullopt;
        }
        if (*answer.Code != 0) return std::nullopt; // refused or failed
        const QUrl uri(answer.Results.value(QStringLiteral("uri")).toString());
        if (!uri.isLocalFile()) return std::nullopt;
        // The picture is ours to read and then to remove.
        const QString file = uri.toLocalFile();
        QImage shot(file);
        QFile::remove(file);
        if (shot.isNull()) return std::nullopt;
        return shot;
    }
};

} // namespace

std::unique_ptr<TScreen> MakePortalScreen() {
    return std::make_unique<TPortalScreen>();
}

bool PortalOffered() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    const QDBusConnectionInterface* const names = bus.interface();
    if (!names) return false;
    if (names->isServiceRegistered(kService)) return true;
    const QDBusReply<QStringList> activatable = names->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kService);
}

int PortalTimeLimitMs() {
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("IMGLIFT_PORTAL_TIMEOUT_MS", &ok);
    return ok && ms > 0 ? ms : 15000;
}

int PortalPickerTimeLimitMs() {
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("IMGLIFT_PORTAL_TIMEOUT_MS", &ok);
    return ok && ms > 0 ? ms : 10 * 60 * 1000;
}

} // namespace screen

#include "screen_portal.moc"
