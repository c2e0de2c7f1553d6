// An upload from a home network behind a router that masquerades without an FTP helper, as most
// home routers do: the default (passive) settings get through, active mode cannot.

#include "common/posix_file.h"
#include "form_fixture.h"
#include "ftp_fixture.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

using ftptest::PyFtpServer;

namespace {

struct TRun {
    bool Ok;
    QString Output;
};

TRun Run(const QStringList& Command) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(Command.first(), Command.mid(1));
    const bool finished = process.waitForStarted(5000) && process.waitForFinished(10000);
    const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
    return {finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
            Command.join(' ') + ": " + output};
}

// Sockets made by the calling thread belong to the named network namespace while this lives.
class TInNamespace {
public:
    explicit TInNamespace(const QString& Name)
        : FOriginal(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
        const posix::UniqueFd target(::open(
            (QByteArray("/run/netns/") + Name.toLocal8Bit()).constData(), O_RDONLY | O_CLOEXEC));
        FEntered =
            FOriginal.Get() >= 0 && target.Get() >= 0 && ::setns(target.Get(), CLONE_NEWNET) == 0;
    }
    ~TInNamespace() {
        // Carrying on in the wrong network would spoil every later test.
        if (FEntered && ::setns(FOriginal.Get(), CLONE_NEWNET) != 0) std::abort();
    }
    TInNamespace(const TInNamespace&) = delete;
    TInNamespace& operator=(const TInNamespace&) = delete;
    bool Entered() const { return FEntered; }

private:
    posix::UniqueFd FOriginal;
    bool FEntered = false;
};

constexpr auto kPrefix = "imglift-nat-";

// home 10.77.1.2 -> router 10.77.1.1 | 10.77.2.1 -> server 10.77.2.2, each a network namespace
// of its own, so nothing leaves them. The router masquerades the home network and, like a home
// router, lets nothing from outside in that is not part of a connection from inside. No FTP
// helper is set up, so the address in a PORT command stays the private one.
class TNatNetwork {
public:
    enum class TState { Built, Unavailable, Failed };

    TNatNetwork() : FTag(QString::number(::getpid())) {}
    ~TNatNetwork() {
        // The links go with their namespaces.
        for (const QString& name : FCreated)
            Run({"ip", "netns", "delete", name});
    }
    TNatNetwork(const TNatNetwork&) = delete;
    TNatNetwork& operator=(const TNatNetwork&) = delete;

    QString Home() const { return kPrefix + QStringLiteral("home-") + FTag; }
    QString Router() const { return kPrefix + QStringLiteral("router-") + FTag; }
    QString Server() const { return kPrefix + QStringLiteral("server-") + FTag; }

    std::pair<TState, QString> Build() {
        RemoveLeftovers();
        for (const QString& name : {Home(), Router(), Server()}) {
            const TRun added = Run({"ip", "netns", "add", name});
            if (!added.Ok)
                return {FCreated.empty() ? TState::Unavailable : TState::Failed, added.Output};
            FCreated << name;
        }
        const QString h = Home(), r = Router(), s = Server();
        const QString toHome = "ilh" + FTag, homeSide = "ilrh" + FTag;
        const QString toServer = "ils" + FTag, serverSide = "ilrs" + FTag;
        const QList<QStringList> steps = {
            {"ip", "link", "add", "name", toHome, "netns", h, "type", "veth", "peer", "name",
             homeSide, "netns", r},
            {"ip", "link", "add", "name", toServer, "netns", s, "type", "veth", "peer", "name",
             serverSide, "netns", r},
            {"ip", "-n", h, "addr", "add", "10.77.1.2/24", "dev", toHome},
            {"ip", "-n", r, "addr", "add", "10.77.1.1/24", "dev", homeSide},
            {"ip", "-n", r, "addr", "add", "10.77.2.1/24", "dev", serverSide},
            {"ip", "-n", s, "addr", "add", "10.77.2.2/24", "dev", toServer},
            {"ip", "-n", h, "link", "set", "lo", "up"},
            {"ip", "-n", r, "link", "set", "lo", "up"},
            {"ip", "-n", s, "link", "set", "lo", "up"},
            {"ip", "-n", h, "link", "set", toHome, "up"},
            {"ip", "-n", r, "link", "set", homeSide, "up"},
            {"ip", "-n", r, "link", "set", serverSide, "up"},
            {"ip", "-n", s, "link", "set", toServer, "up"},
            {"ip", "-n", h, "route", "add", "default", "via", "10.77.1.1"},
            {"ip", "-n", s, "route", "add", "default", "via", "10.77.2.1"},
            {"ip", "netns", "exec", r, "sysctl", "-qw", "net.ipv4.ip_forward=1"},
        };
        for (const QStringList& step : steps)
            if (const TRun run = Run(step); !run.Ok) return {TState::Failed, run.Output};
        // Without iptables or NAT in the kernel there is no such router to build.
        const TRun nat =
            Run({"ip", "netns", "exec", r, "iptables", "-t", "nat", "-A", "POSTROUTING", "-s",
                 "10.77.1.0/24", "-o", serverSide, "-j", "MASQUERADE"});
        if (!nat.Ok) return {TState::Unavailable, nat.Output};
        const QList<QStringList> filter = {
            {"ip", "netns", "exec", r, "iptables", "-A", "FORWARD", "-i", serverSide, "-o",
             homeSide, "-m", "conntrack", "--ctstate", "ESTABLISHED", "-j", "ACCEPT"},
            {"ip", "netns", "exec", r, "iptables", "-A", "FORWARD", "-i", serverSide, "-o",
             homeSide, "-j", "DROP"},
        };
        for (const QStringList& step : filter)
            if (const TRun run = Run(step); !run.Ok) return {TState::Failed, run.Output};
        return {TState::Built, {}};
    }

private:
    // Namespaces of runs that ended without cleaning up (a crash, a kill).
    static void RemoveLeftovers() {
        const TRun list = Run({"ip", "netns", "list"});
        for (const QString& line : list.Output.split('\n')) {
            const QString name = line.section(' ', 0, 0);
            if (!name.startsWith(kPrefix)) continue;
            const pid_t owner = name.section('-', -1).toInt();
            if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH)
                Run({"ip", "netns", "delete", name});
        }
    }

    QString FTag;
    QStringList FCreated;
};

} // namespace

class NatTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        if (::geteuid() != 0)
            GTEST_SKIP() << "building network namespaces needs root; run as root to test NAT";
        const auto [state, message] = Network.Build();
        if (state == TNatNetwork::TState::Unavailable)
            GTEST_SKIP() << "network namespaces or NAT not available here: "
                         << message.toStdString();
        ASSERT_EQ(state, TNatNetwork::TState::Built) << message.toStdString();
        const TInNamespace inServer(Network.Server());
        ASSERT_TRUE(inServer.Entered());
        // The server would connect to the private address of a PORT command: only the router
        // stands in the way.
        Server = std::make_unique<PyFtpServer>(
            QStringList{"--verbose", "--host", "0.0.0.0", "--permit-foreign"});
        ASSERT_TRUE(Server->Ok());
    }
    void TearDown() override {
        FormTest::TearDown();
        Server.reset();
    }

    QString Upload(TForm1& Form) {
        Form.BitBtn5->click();
        return Dialogs.Boxes.empty() ? QString() : Dialogs.Boxes.back().Text;
    }

    TNatNetwork Network;
    std::unique_ptr<PyFtpServer> Server;
};

TEST_F(NatTest, DefaultSettingsUploadFromBehindTheRouterWhereActiveModeFails) {
    const TInNamespace inHome(Network.Home());
    ASSERT_TRUE(inHome.Entered());
    TForm1& form = MakeForm();
    form.Edit1->setText("10.77.2.2");
    form.Edit5->setText(QString::number(Server->Port()));
    form.Edit2->setText("user");
    form.Edit3->setText("secret");
    form.ImageFile = Picture("holiday.jpg", 800, 600, "JPG");
    form.ProcessImageFile();

    ASSERT_TRUE(form.CheckBox5->isChecked());
    EXPECT_EQ(Upload(form).toStdString(), "File sucessfully transmitted.")
        << Dialogs.Texts().join('|').toStdString();
    EXPECT_TRUE(ftptest::ReadFile(Server->RootFile("holiday.jpg")).startsWith("\xFF\xD8"));
    // The server saw the router, not the home computer.
    const QString log = Server->Output();
    EXPECT_TRUE(log.contains("10.77.2.1:")) << log.toStdString();
    EXPECT_FALSE(log.contains("10.77.1.2:")) << log.toStdString();

    QFile::remove(Server->RootFile("holiday.jpg"));
    form.CheckBox5->setChecked(false);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(Upload(form).toStdString(), "File NOT transmitted.");
    // The server's connection back is dropped by the router: the transfer's 15 s time-out ends
    // it, not a hang.
    EXPECT_LT(clock.elapsed(), 30000);
    EXPECT_FALSE(QFile::exists(Server->RootFile("holiday.jpg")));
}
