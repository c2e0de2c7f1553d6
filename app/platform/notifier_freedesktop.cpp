// org.freedesktop.Notifications on the session bus, as every Linux desktop offers it.

#include "app/platform/notifier.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcNotify, "imglift.notify", QtInfoMsg)

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

// The "image-data" hint: raw RGBA rows, (iiibiiay).
struct TImageData {
    QImage Image;
};

QDBusArgument& operator<<(QDBusArgument& Argument, const TImageData& Data) {
    const QImage image = Data.Image.convertToFormat(QImage::Format_RGBA8888);
    Argument.beginStructure();
    Argument << image.width() << image.height() << int(image.bytesPerLine()) << true << 8 << 4
             << QByteArray(reinterpret_cast<const char*>(image.constBits()),
                           qsizetype(image.sizeInBytes()));
    Argument.endStructure();
    return Argument;
}

const QDBusArgument& operator>>(const QDBusArgument& Argument, TImageData&) {
    return Argument; // only ever sent
}

} // namespace

Q_DECLARE_METATYPE(TImageData)

namespace notifier {

namespace {

class TFreedesktopNotifier final : public QObject, public TNotifier {
    Q_OBJECT
public:
    TFreedesktopNotifier(QDBusConnection Bus, QStringList Capabilities)
        : FBus(std::move(Bus)), FCapabilities(std::move(Capabilities)) {
        qDBusRegisterMetaType<TImageData>();
        FBus.connect(Service, Path, Interface, QStringLiteral("ActionInvoked"), this,
                     SLOT(ActionInvoked(uint, QString)));
        FBus.connect(Service, Path, Interface, QStringLiteral("NotificationClosed"), this,
                     SLOT(NotificationClosed(uint, uint)));
    }

    bool OffersActions() const override {
        return FCapabilities.contains(QStringLiteral("actions"));
    }

    bool Show(const TNotice& Notice) override {
        QStringList actions;
        if (OffersActions())
            for (const auto& [key, label] : Notice.Actions)
                actions << key << label;
        QVariantMap hints;
        hints[QStringLiteral("desktop-entry")] = QStringLiteral("org.velmoran.ImgLift");
        if (!Notice.Image.isNull())
            hints[QStringLiteral("image-data")] = QVariant::fromValue(TImageData{Notice.Image});
        // Services that read markup in the body would take "&" and "<" in a name for it.
        const QString body = FCapabilities.contains(QStringLiteral("body-markup"))
                                 ? Notice.Body.toHtmlEscaped()
                                 : Notice.Body;
        QDBusMessage call =
            QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
        call << QStringLiteral("Velmoran ImgLift") << uint(0)
             << QStringLiteral("org.velmoran.ImgLift") << Notice.Summary << body << actions << hints
             << int(-1);
        const QDBusReply<uint> reply = FBus.call(call, QDBus::Block, 5000);
        if (!reply.isValid()) {
            qCInfo(lcNotify) << "no notification shown:" << reply.error().message();
            return false;
        }
        FId = reply.value();
        return true;
    }

private Q_SLOTS:
    void ActionInvoked(uint Id, const QString& Key) {
        if (Id == FId && FId != 0 && OnAction) OnAction(Key);
    }
    void NotificationClosed(uint Id, uint) {
        if (Id == FId && FId != 0 && OnClosed) OnClosed();
    }

private:
    QDBusConnection FBus;
    QStringList FCapabilities;
    uint FId = 0;
};

} // namespace

std::unique_ptr<TNotifier> ChooseNotifier() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        qCInfo(lcNotify) << "no notification: no session bus" << bus.lastError().message();
        return nullptr;
    }
    // A desktop without a notification service shows nothing; one started on demand is asked.
    const QDBusMessage call =
        QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("GetCapabilities"));
    const QDBusReply<QStringList> capabilities = bus.call(call, QDBus::Block, 5000);
    if (!capabilities.isValid()) {
        qCInfo(lcNotify) << "no notification service:" << capabilities.error().message();
        return nullptr;
    }
    return std::make_unique<TFreedesktopNotifier>(bus, capabilities.value());
}

} // namespace notifier

#include "notifier_freedesktop.moc"
