#pragma once
// Shared pieces of the FTP client tests: a pyftpdlib server on a free loopback port, a
// scratch folder, and helpers that run an asynchronous request to its end.

#include "ftp/ftpcli.h"
#include "support/test_support.h"

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

namespace ftptest {

// A pyftpdlib server on 127.0.0.1 serving a fresh folder; user "user", password "secret".
// With "--verbose" among the arguments its log (Output) lists every command.
class PyFtpServer {
public:
    explicit PyFtpServer(const QStringList& ExtraArgs = {});
    bool Ok() const { return ok_; }
    quint16 Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    QString Root() const { return root_.path(); }
    QString RootFile(const QString& Name) const { return root_.filePath(Name); }
    QString Output() { return process_ ? process_->output() : QString(); }
    // Ends the server at once, as a crash would.
    void Kill() {
        if (process_) process_->process().kill(), process_->process().waitForFinished(3000);
    }

private:
    QTemporaryDir root_;
    quint16 port_ = 0;
    std::unique_ptr<testsupport::ServerProcess> process_;
    bool ok_ = false;
};

// A ProFTPD server on 127.0.0.1 serving a fresh folder (user "user", password "secret"),
// started from a configuration of its own; ExtraConfig lines are added to it. It needs root
// (it switches to the account "nobody"): SkipReason says why it was not started.
class ProFtpServer {
public:
    explicit ProFtpServer(const QStringList& ExtraConfig = {});
    ~ProFtpServer();
    ProFtpServer(const ProFtpServer&) = delete;
    ProFtpServer& operator=(const ProFtpServer&) = delete;
    bool Ok() const { return ok_; }
    QString SkipReason() const { return skip_; }
    quint16 Port() const { return port_; }
    std::string PortText() const { return std::to_string(port_); }
    QString Root() const { return work_.filePath("root"); }
    QString RootFile(const QString& Name) const { return Root() + "/" + Name; }
    QString Output();
    // Ends the server and every session at once, as a crash would.
    void Kill();

private:
    QTemporaryDir work_;
    quint16 port_ = 0;
    qint64 pid_ = 0;
    std::unique_ptr<QProcess> process_;
    bool ok_ = false;
    QString skip_;
};

// Everything a request reported, in order.
struct RequestLog {
    std::vector<std::string> Display;
    std::vector<std::string> DisplayFile;
    int DoneCount = 0;
    TFtpRequest DoneType = ftpNone;
    quint16 DoneError = 0;
    std::vector<qint64> Progress;

    void Attach(TCustomFtpCli& Ftp);
    bool Shown(const std::string& Line) const;
    std::string Trace() const;
};

// Waits until one more request-done notification than Before has arrived.
bool WaitDone(const RequestLog& Log, int Before, int TimeoutMs = 10000);

QByteArray Pattern(qint64 Size, int Seed = 1);
bool WriteFile(const QString& Path, const QByteArray& Data);
QByteArray ReadFile(const QString& Path);

} // namespace ftptest
