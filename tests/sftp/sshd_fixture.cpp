#include "sshd_fixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <unistd.h>

namespace sftptest {

const QString User = QStringLiteral("imglift-sftp");
const std::string Password = "Lift-9-Secret";

RunResult RunProgram(const QString& Program, const QStringList& Args, const QByteArray& Input,
                     const QProcessEnvironment& Env) {
    QProcess P;
    P.setProcessEnvironment(Env);
    P.setProcessChannelMode(QProcess::MergedChannels);
    P.start(Program, Args);
    if (!P.waitForStarted(5000)) return {};
    if (!Input.isEmpty()) P.write(Input);
    P.closeWriteChannel();
    P.waitForFinished(20000);
    const QString Out = QString::fromLocal8Bit(P.readAll());
    return {P.exitStatus() == QProcess::NormalExit && P.exitCode() == 0, Out};
}

QByteArray ReadAll(const QString& Path) {
    QFile F(Path);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

bool WriteAll(const QString& Path, const QByteArray& Data) {
    QFile F(Path);
    return F.open(QIODevice::WriteOnly | QIODevice::Truncate) && F.write(Data) == Data.size();
}

bool Server::Keygen(const QString& Name) {
    return RunProgram("ssh-keygen",
                      {"-q", "-t", "ed25519", "-N", "", "-C", "test", "-f", Path(Name)})
        .Ok;
}

QString Server::PublicKey(const QString& Name) const {
    const QStringList Parts =
        QString::fromLatin1(ReadAll(Path(Name + ".pub"))).split(' ', Qt::SkipEmptyParts);
    return Parts.size() >= 2 ? Parts[0] + ' ' + Parts[1] : QString();
}

void Server::Start() {
    if (geteuid() != 0) {
        SkipReason = "sshd and the test account need root";
        return;
    }
    if (!QFile::exists("/usr/sbin/sshd")) {
        SkipReason = "/usr/sbin/sshd is missing (package openssh-server)";
        return;
    }
    QFile::setPermissions(Dir.path(), QFile::permissions(Dir.path()) | QFile::ReadOther |
                                          QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    Home = Path("home");
    QDir().mkpath(Home + "/up");
    const bool Exists = RunProgram("id", {"-u", User}).Ok;
    const RunResult Account =
        Exists ? RunProgram("usermod", {"-d", Home, User})
               : RunProgram("useradd", {"--system", "--no-create-home", "--home-dir", Home,
                                        "--shell", "/usr/sbin/nologin", User});
    if (!Account.Ok || !RunProgram("chpasswd", {}, (User + ':').toUtf8() + Password.c_str()).Ok ||
        !RunProgram("chown", {"-R", User + ':', Home}).Ok) {
        SkipReason = "cannot set up the test account: " + Account.Output;
        return;
    }
    if (!Keygen("host_key") || !Keygen("other_key") || !Keygen("user_key")) {
        SkipReason = "ssh-keygen failed";
        return;
    }
    HostPub = PublicKey("host_key");
    OtherPub = PublicKey("other_key");
    QFile::copy(Path("user_key.pub"), Path("authorized_keys"));
    QDir().mkpath("/run/sshd"); // sshd's privilege separation folder
    Port = testsupport::FreePort();
    do
        NoRenamePort = testsupport::FreePort();
    while (NoRenamePort == Port);
    const QString Config =
        QStringLiteral("Port %1\nPort %6\nListenAddress 127.0.0.1\n"
                       "HostKey %2\nPidFile %3\nAuthorizedKeysFile %4\n"
                       "StrictModes no\nUsePAM no\n"
                       "PasswordAuthentication yes\n"
                       "PubkeyAuthentication yes\n"
                       "KbdInteractiveAuthentication no\n"
                       "AllowUsers %5\nSubsystem sftp internal-sftp\n"
                       "LogLevel VERBOSE\n"
                       "Match LocalPort %6\n"
                       "  ForceCommand internal-sftp -P rename,posix-rename\n")
            .arg(Port)
            .arg(Path("host_key"), Path("sshd.pid"), Path("authorized_keys"), User)
            .arg(NoRenamePort);
    WriteAll(Path("sshd_config"), Config.toUtf8());
    Sshd = std::make_unique<testsupport::ServerProcess>(
        "/usr/sbin/sshd", QStringList{"-D", "-f", Path("sshd_config"), "-E", Path("sshd.log")});
    if (!Sshd->started() || !testsupport::WaitForListener(Port, 10000) ||
        !testsupport::WaitForListener(NoRenamePort, 10000)) {
        SkipReason = "sshd did not start: " + Sshd->output() + Log();
        return;
    }
    AgentSocket = Path("agent.sock");
    Agent = std::make_unique<testsupport::ServerProcess>("ssh-agent",
                                                         QStringList{"-D", "-a", AgentSocket});
    testsupport::PumpUntil([&] { return QFile::exists(AgentSocket); }, 5000);
    QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
    Env.insert("SSH_AUTH_SOCK", AgentSocket);
    if (!RunProgram("ssh-add", {"-q", Path("user_key")}, {}, Env).Ok) SkipReason = "ssh-add failed";
}

Server::~Server() {
    Agent.reset();
    Sshd.reset();
    if (!Home.isEmpty()) RunProgram("userdel", {User});
}

} // namespace sftptest
