#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace testsupport {

// A session bus of this process's own with gnome-keyring-daemon on it, its login keyring
// unlocked with a known password, in a home folder of its own. Started at the first call and
// kept until the process ends: D-Bus clients keep the first bus they connect to, so call it
// before anything in the process touches the session bus. Children inherit the bus.
class SecretService {
public:
    static SecretService& Instance();
    ~SecretService();
    SecretService(const SecretService&) = delete;
    SecretService& operator=(const SecretService&) = delete;

    // True while the keyring answers on the bus; otherwise Why() says what failed.
    bool Up() const { return FUp; }
    const QString& Why() const { return FWhy; }
    // Ends the keyring daemon and starts it again on the keyring files it wrote, unlocked.
    bool Restart();
    // Locks the login keyring, as the desktop does when the screen locks.
    bool Lock();

private:
    SecretService();
    bool StartKeyring();
    void StopKeyring();

    QTemporaryDir FDir;
    std::unique_ptr<QProcess> FBus;
    std::unique_ptr<QProcess> FKeyring;
    bool FUp = false;
    QString FWhy;
};

} // namespace testsupport
