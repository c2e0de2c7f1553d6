#include "ftp_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <algorithm>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {
const char* const ProFtpdBinary = "/usr/sbin/proftpd";
constexpr int Nobody = 65534;
} // namespace

ProFtpServer::ProFtpServer(const QStringList& ExtraConfig) {
    if (!QFileInfo::exists(ProFtpdBinary)) {
        skip_ = "ProFTPD is not installed (scripts/install-deps.sh installs proftpd-core)";
        return;
    }
    if (::geteuid() != 0) {
        skip_ = "ProFTPD tests need root (the server switches to the account nobody)";
        return;
    }
    port_ = testsupport::FreePort();
    const QString Dir = work_.path();
    QDir().mkpath(Root());
    // The sessions run as nobody: the served folder and the way to it must be theirs.
    if (::chmod(QFile::encodeName(Dir).constData(), 0755) != 0 ||
        ::chown(QFile::encodeName(Root()).constData(), Nobody, Nobody) != 0) {
        skip_ = "cannot hand the served folder to nobody";
        return;
    }
    WriteFile(Dir + "/passwd", QStringLiteral("user:$1$imglift$ywgOp6ekY5b/4o5BoYANa1:%1:%1::%2:"
                                              "/bin/sh\n")
                                   .arg(Nobody)
                                   .arg(Root())
                                   .toUtf8());
    WriteFile(Dir + "/group", QStringLiteral("nogroup:x:%1:\n").arg(Nobody).toUtf8());
    // ProFTPD refuses account files that others may read.
    for (const char* Name : {"/passwd", "/group"})
        QFile::setPermissions(Dir + Name, QFile::ReadOwner | QFile::WriteOwner);
    QStringList Config{
        "ServerType standalone",
        "ServerIdent on \"ProFTPD test server ready.\"",
        "DefaultServer on",
        QStringLiteral("Port %1").arg(port_),
        "DefaultAddress 127.0.0.1",
        "SocketBindTight on",
        "UseIPv6 off",
        "UseReverseDNS off",
        "User nobody",
        "Group nogroup",
        "Umask 022",
        "PidFile " + Dir + "/proftpd.pid",
        "ScoreboardFile " + Dir + "/proftpd.scoreboard",
        "DelayTable none",
        "WtmpLog off",
        "TransferLog none",
        "SystemLog " + Dir + "/proftpd.log",
        "AuthOrder mod_auth_file.c",
        "AuthUserFile " + Dir + "/passwd",
        "AuthGroupFile " + Dir + "/group",
        "RequireValidShell off",
        "DefaultRoot ~",
        "MaxInstances 30",
    };
    // The first of two settings holds: a test's own comes instead of the default.
    if (ExtraConfig.filter("AllowOverwrite").isEmpty()) Config << "AllowOverwrite on";
    Config += ExtraConfig;
    WriteFile(Dir + "/proftpd.conf", Config.join('\n').toUtf8() + '\n');
    process_ = std::make_unique<QProcess>();
    process_->setProcessChannelMode(QProcess::MergedChannels);
    // A process group of its own, so that Kill reaches the sessions too.
    process_->setChildProcessModifier([] { ::setsid(); });
    process_->start(ProFtpdBinary, {"-n", "-q", "-c", Dir + "/proftpd.conf"});
    if (!process_->waitForStarted(5000)) {
        skip_ = "ProFTPD did not start";
        return;
    }
    pid_ = process_->processId();
    ok_ = testsupport::WaitForListener(port_);
}

ProFtpServer::~ProFtpServer() {
    Kill();
}

void ProFtpServer::Kill() {
    if (!process_ || pid_ <= 0) return;
    ::kill(-static_cast<pid_t>(pid_), SIGKILL);
    process_->waitForFinished(3000);
    pid_ = 0;
}

QString ProFtpServer::Output() {
    QString Text = process_ ? QString::fromLocal8Bit(process_->readAll()) : QString();
    return Text + QString::fromLocal8Bit(ReadFile(work_.filePath("proftpd.log")));
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
