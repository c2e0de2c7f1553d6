#pragma once
// OpenSSH's sshd on a loopback port, with its own host keys, config and a dedicated test account
// (root only: sshd and the account need it), and an ssh-agent holding the account's key.

#include "support/test_support.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <string>

namespace sftptest {

extern const QString User;
extern const std::string Password;

struct RunResult {
    bool Ok = false;
    QString Output;
};
// Runs a program to its end; its output, or an empty result with Ok false.
RunResult RunProgram(const QString& Program, const QStringList& Args, const QByteArray& Input = {},
                     const QProcessEnvironment& Env = QProcessEnvironment::systemEnvironment());
QByteArray ReadAll(const QString& Path);
bool WriteAll(const QString& Path, const QByteArray& Data);

struct Server {
    QTemporaryDir Dir;
    QString Home;
    quint16 Port = 0;
    // A second port whose SFTP refuses every rename, as some upload-only accounts do.
    quint16 NoRenamePort = 0;
    QString HostPub;  // "ssh-ed25519 AAAA..."
    QString OtherPub; // another host key, for the changed-key case
    QString AgentSocket;
    std::unique_ptr<testsupport::ServerProcess> Sshd;
    std::unique_ptr<testsupport::ServerProcess> Agent;
    // Why the server could not start (the tests then skip); empty when it runs.
    QString SkipReason;

    QString Path(const QString& Name) const { return Dir.filePath(Name); }
    QString Log() const { return QString::fromLocal8Bit(ReadAll(Path("sshd.log"))); }
    // The known_hosts line for a key of this server.
    QString HostEntry(const QString& Key) const { return HostEntry(Key, Port); }
    static QString HostEntry(const QString& Key, quint16 OnPort) {
        return QStringLiteral("[127.0.0.1]:%1 %2").arg(OnPort).arg(Key);
    }

    bool Keygen(const QString& Name);
    QString PublicKey(const QString& Name) const;
    void Start();
    ~Server();
};

} // namespace sftptest
