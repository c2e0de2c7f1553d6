#include "support/secret_service.h"

#include "support/test_support.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <dlfcn.h>

namespace testsupport {

namespace {

const char* const UnlockPassword = "imglift-test-unlock";

bool SecretsOnBus() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface()->isServiceRegistered("org.freedesktop.secrets");
}

} // namespace

SecretService& SecretService::Instance() {
    static SecretService service;
    return service;
}

SecretService::SecretService() {
    if (!FDir.isValid()) {
        FWhy = "no temporary folder";
        return;
    }
    QDir(FDir.path()).mkpath("home");
    QDir(FDir.path()).mkpath("run");
    QFile::setPermissions(FDir.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile config(FDir.filePath("bus.conf"));
    if (!config.open(QIODevice::WriteOnly)) return;
    config.write(QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                "<auth>EXTERNAL</auth><policy context=\"default\">"
                                "<allow send_destination=\"*\" eavesdrop=\"true\"/>"
                                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>"
                                "</busconfig>\n")
                     .arg(FDir.path())
                     .toUtf8());
    config.close();

    FBus = std::make_unique<QProcess>();
    FBus->start("dbus-daemon",
                {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
    QString address;
    PumpUntil([&] {
        address += QString::fromLocal8Bit(FBus->readAllStandardOutput());
        return address.contains('\n') || FBus->state() == QProcess::NotRunning;
    });
    address = address.trimmed();
    if (address.isEmpty()) {
        FWhy = "dbus-daemon did not start: " + FBus->errorString();
        return;
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toLocal8Bit());
    FUp = StartKeyring();
}

SecretService::~SecretService() {
    // At exit the application is gone: no events to wait with.
    for (QProcess* const process : {FKeyring.get(), FBus.get()}) {
        if (!process) continue;
        process->terminate();
        process->waitForFinished(5000);
    }
}

void SecretService::StopKeyring() {
    if (!FKeyring) return;
    FKeyring->terminate();
    if (!FKeyring->waitForFinished(5000)) FKeyring->kill();
    FKeyring->waitForFinished(5000);
    FKeyring.reset();
    PumpUntil([] { return !SecretsOnBus(); });
}

bool SecretService::StartKeyring() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", FDir.filePath("home"));
    env.insert("XDG_RUNTIME_DIR", FDir.filePath("run"));
    env.remove("XDG_DATA_HOME");
    FKeyring = std::make_unique<QProcess>();
    FKeyring->setProcessEnvironment(env);
    FKeyring->setProcessChannelMode(QProcess::MergedChannels);
    // --unlock reads the login keyring's password from standard input, and creates the
    // keyring with it the first time.
    FKeyring->start("gnome-keyring-daemon", {"--foreground", "--unlock", "--components=secrets"});
    if (!FKeyring->waitForStarted(5000)) {
        FWhy = "gnome-keyring-daemon cannot start: " + FKeyring->errorString();
        return false;
    }
    FKeyring->write(UnlockPassword);
    FKeyring->closeWriteChannel();
    if (!PumpUntil([] { return SecretsOnBus(); }, 15000)) {
        FWhy = "gnome-keyring-daemon did not offer the Secret Service: " +
               QString::fromLocal8Bit(FKeyring->readAll());
        return false;
    }
    return true;
}

bool SecretService::Restart() {
    if (!FBus || FWhy.startsWith("dbus-daemon")) return false;
    StopKeyring();
    // libsecret keeps its session with the daemon for the life of the process; a program
    // started anew opens a new one, and so does this process once the old one is dropped.
    if (void* const libsecret = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_NOLOAD)) {
        using Disconnect = void (*)();
        if (const auto disconnect =
                reinterpret_cast<Disconnect>(::dlsym(libsecret, "secret_service_disconnect")))
            disconnect();
        ::dlclose(libsecret);
    }
    FUp = StartKeyring();
    return FUp;
}

bool SecretService::Lock() {
    QDBusMessage lock =
        QDBusMessage::createMethodCall("org.freedesktop.secrets", "/org/freedesktop/secrets",
                                       "org.freedesktop.Secret.Service", "Lock");
    lock << QVariant::fromValue(
        QList<QDBusObjectPath>{QDBusObjectPath("/org/freedesktop/secrets/collection/login")});
    return QDBusConnection::sessionBus().call(lock).type() == QDBusMessage::ReplyMessage;
}

} // namespace testsupport
