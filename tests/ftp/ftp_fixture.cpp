#include "ftp_fixture.h"

#include <QFile>
#include <QProcess>
#include <algorithm>

namespace ftptest {

PyFtpServer::PyFtpServer(const QStringList& ExtraArgs) {
    port_ = testsupport::FreePort();
    QStringList Args{testsupport::SourceDir() + "/tests/ftp/ftp_server.py", "--port",
                     QString::number(port_), "--root", root_.path()};
    // "--verbose" keeps the server's log of every command, for tests that count them.
    QStringList Extra = ExtraArgs;
    if (!Extra.removeAll("--verbose")) Args << "--quiet";
    Args += Extra;
    process_ = std::make_unique<testsupport::ServerProcess>("/usr/bin/python3", Args);
    ok_ = process_->started() && testsupport::WaitForListener(port_);
}

void RequestLog::Attach(TCustomFtpCli& Ftp) {
    Ftp.OnDisplay = [this](QObject*, std::string& Msg) { Display.push_back(Msg); };
    Ftp.OnDisplayFile = [this](QObject*, std::string& Msg) { DisplayFile.push_back(Msg); };
    Ftp.OnRequestDone = [this](QObject*, TFtpRequest Rq, quint16 Error) {
        ++DoneCount;
        DoneType = Rq;
        DoneError = Error;
    };
    Ftp.OnProgress = [this](QObject*, qint64 Count, bool&) { Progress.push_back(Count); };
}

bool RequestLog::Shown(const std::string& Line) const {
    return std::find(Display.begin(), Display.end(), Line) != Display.end();
}

std::string RequestLog::Trace() const {
    std::string T;
    for (const std::string& L : Display)
        T += L + "\n";
    return T;
}

bool WaitDone(const RequestLog& Log, int Before, int TimeoutMs) {
    return testsupport::PumpUntil([&] { return Log.DoneCount > Before; }, TimeoutMs);
}

QByteArray Pattern(qint64 Size, int Seed) {
    QByteArray Data(static_cast<int>(Size), Qt::Uninitialized);
    quint32 X = 2463534242u + static_cast<quint32>(Seed);
    for (qint64 I = 0; I < Size; ++I) {
        X ^= X << 13;
        X ^= X >> 17;
        X ^= X << 5;
        Data[static_cast<int>(I)] = static_cast<char>(X & 0xff);
    }
    return Data;
}

bool WriteFile(const QString& Path, const QByteArray& Data) {
    QFile F(Path);
    return F.open(QIODevice::WriteOnly | QIODevice::Truncate) && F.write(Data) == Data.size();
}

QByteArray ReadFile(const QString& Path) {
    QFile F(Path);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

} // namespace ftptest
