#include "settings/platform/keyring.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QFileInfo>
#include <QStringList>

namespace keyring {

namespace {

// Whoever owns or can be started under one of these names keeps secrets for QtKeychain.
const QStringList KeepersOfSecrets = {"org.freedesktop.secrets", "org.kde.kwalletd6",
                                      "org.kde.kwalletd5"};

// The session bus as libdbus and GLib find it. Without one they would try to start a bus of
// their own on the X display ("autolaunch"), which a headless upload must never do.
bool SessionBusNamed() {
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime + QStringLiteral("/bus")).exists();
}

} // namespace

TChoice Open() {
    TChoice choice;
    if (qEnvironmentVariable("IMGLIFT_KEYRING") == u"0") {
        choice.Why = QStringLiteral("the keyring is turned off (IMGLIFT_KEYRING=0)");
        choice.TurnedOff = true;
        return choice;
    }
    if (!SessionBusNamed()) {
        choice.Why = QStringLiteral("no session bus (DBUS_SESSION_BUS_ADDRESS is not set)");
        return choice;
    }
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        choice.Why =
            QStringLiteral("the session bus does not answer: %1").arg(bus.lastError().message());
        return choice;
    }
    QDBusConnectionInterface* const names = bus.interface();
    const QDBusReply<QStringList> activatable = names->activatableServiceNames();
    for (const QString& name : KeepersOfSecrets) {
        if (names->isServiceRegistered(name) ||
            (activatable.isValid() && activatable.value().contains(name))) {
            choice.Keyring = MakeQtKeychain(TimeoutMs);
            return choice;
        }
    }
    choice.Why = QStringLiteral("no keyring on the session bus (neither the Secret Service nor "
                                "KWallet)");
    return choice;
}

} // namespace keyring
