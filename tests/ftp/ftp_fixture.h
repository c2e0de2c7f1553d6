#pragma once
// Shared pieces of the FTP client tests: a pyftpdlib server on a free loopback port, a
// scratch folder, and helpers that run an asynchronous request to its end.

#include "ftp/ftpcli.h"
#include "support/test_support.h"

#include <QByteArray>
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

private:
    QTemporaryDir root_;
    quint16 port_ = 0;
    std::unique_ptr<testsupport::ServerProcess> process_;
    bool ok_ = false;
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
