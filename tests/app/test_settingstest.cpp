#include "form_fixture.h"

#include "app/settingstest.h"
#include "ftp_fixture.h"
#include "support/test_certs.h"
#include "support/test_support.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QSslConfiguration>
#include <QTimer>
#include <QToolButton>
#include <map>

using ftptest::PyFtpServer;
using State = TSettingsTest::TState;
using Step = TSettingsTest::TStep;

namespace {

// tests/app/web_server.py on a free loopback port.
struct WebServer {
    explicit WebServer(const QStringList& Args) : Port(testsupport::FreePort()) {
        Process = std::make_unique<testsupport::ServerProcess>(
            "/usr/bin/python3", QStringList{testsupport::SourceDir() + "/tests/app/web_server.py",
                                            "--port", QString::number(Port)} +
                                    Args);
        Ok = Process->started() && testsupport::WaitForListener(Port);
    }
    QString Address(const QString& Scheme = "http") const {
        return QStringLiteral("%1://127.0.0.1:%2").arg(Scheme).arg(Port);
    }
    quint16 Port;
    std::unique_ptr<testsupport::ServerProcess> Process;
    bool Ok = false;
};

// Everything in a folder and below it, hidden files included.
QStringList Files(const QString& Root) {
    QStringList found;
    QDir dir(Root);
    for (const QFileInfo& info :
         dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        if (info.isDir())
            for (const QString& inner : Files(info.filePath()))
                found << info.fileName() + '/' + inner;
        else
            found << info.fileName();
    }
    return found;
}

} // namespace

class SettingsTestTest : public FormTest {
protected:
    TForm1& Ready(quint16 FtpPort, const QString& Folder, const QString& Web) {
        TForm1& form = MakeForm();
        form.Edit1->setText("127.0.0.1");
        form.Edit5->setText(QString::number(FtpPort));
        form.Edit2->setText("user");
        form.Edit3->setText("secret");
        form.Edit4->setText(Folder);
        form.Edit11->setText(Web);
        return form;
    }

    bool Run(TForm1& form) {
        Steps.clear();
        return form.TestSettings(
            [this](Step S, State St, const QString& Text) {
                Steps[S] = {St, Text};
                if (OnStep) OnStep(S, St);
            },
            Failure);
    }

    State StateOf(Step S) const { return Steps.count(S) ? Steps.at(S).first : State::Running; }
    QString TextOf(Step S) const { return Steps.count(S) ? Steps.at(S).second : QString(); }

    std::map<Step, std::pair<State, QString>> Steps;
    std::function<void(Step, State)> OnStep;
    QString Failure;
};

TEST_F(SettingsTestTest, AllStepsPassAndTheProbeIsGone) {
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.Ok());
    WebServer web({"--root", ftp.Root()});
    ASSERT_TRUE(web.Ok);
    TForm1& form = Ready(ftp.Port(), "/", web.Address() + "/");
    EXPECT_TRUE(Run(form)) << Failure.toStdString();
    for (int i = 0; i < TSettingsTest::StepCount; ++i)
        EXPECT_EQ(StateOf(Step(i)), State::Passed) << i << TextOf(Step(i)).toStdString();
    EXPECT_EQ(Files(ftp.Root()), QStringList());
}

TEST_F(SettingsTestTest, MissingFolderIsCreatedOneThatCannotBeIsNamed) {
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.Ok());
    TForm1& form = Ready(ftp.Port(), "/www/pics", "");
    EXPECT_TRUE(Run(form)) << Failure.toStdString();
    EXPECT_EQ(StateOf(Step::Web), State::Skipped);
    EXPECT_EQ(StateOf(Step::Delete), State::Passed);
    EXPECT_EQ(Files(ftp.Root()), QStringList());
    EXPECT_TRUE(QFileInfo(ftp.RootFile("www/pics")).isDir());

    PyFtpServer refusing({"--refuse-mkd"});
    ASSERT_TRUE(refusing.Ok());
    TForm1& again = Ready(refusing.Port(), "/www/pics", "");
    EXPECT_FALSE(Run(again));
    EXPECT_EQ(StateOf(Step::LogIn), State::Passed);
    EXPECT_EQ(StateOf(Step::Folder), State::Failed);
    EXPECT_TRUE(Failure.startsWith("Logged in, but '/www/pics' does not exist and could not be "
                                   "created: 550"))
        << Failure.toStdString();
    EXPECT_EQ(StateOf(Step::Delete), State::Skipped);
}

TEST_F(SettingsTestTest, WrongPasswordFailsTheLogin) {
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.Ok());
    TForm1& form = Ready(ftp.Port(), "/", "");
    form.Edit3->setText("wrong");
    EXPECT_FALSE(Run(form));
    EXPECT_EQ(StateOf(Step::Connect), State::Passed);
    EXPECT_EQ(StateOf(Step::LogIn), State::Failed);
    EXPECT_TRUE(Failure.contains("login as 'user' was refused: 530")) << Failure.toStdString();
}

// Each way a web address can miss the folder is reported at the web step, and the probe is
// removed all the same.
TEST_F(SettingsTestTest, WebAddressThatDoesNotServeTheFolder) {
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.Ok());
    QTemporaryDir elsewhere;
    WebServer other({"--root", elsewhere.path()});
    WebServer index({"--mode", "catch-all"});
    WebServer login({"--mode", "login"});
    ASSERT_TRUE(other.Ok && index.Ok && login.Ok);
    const quint16 down = testsupport::FreePort();
    const struct {
        QString Web;
        QString Expected;
    } cases[] = {
        {other.Address() + "/pics", "(404"},
        {index.Address(), "sends other content"},
        {login.Address() + "/", QStringLiteral("redirects to %1/login").arg(login.Address())},
        {QStringLiteral("http://127.0.0.1:%1/").arg(down), "refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Web.toStdString());
        TForm1& form = Ready(ftp.Port(), "/", c.Web);
        EXPECT_FALSE(Run(form));
        EXPECT_EQ(StateOf(Step::Store), State::Passed);
        EXPECT_EQ(StateOf(Step::Web), State::Failed);
        EXPECT_TRUE(Failure.startsWith("The picture was stored, but " + c.Web));
        EXPECT_TRUE(Failure.contains(c.Expected)) << Failure.toStdString();
        EXPECT_EQ(StateOf(Step::Delete), State::Passed);
        EXPECT_EQ(Files(ftp.Root()), QStringList());
    }
}

TEST_F(SettingsTestTest, HttpsIsVerified) {
    const testsupport::TestCerts& certs = testsupport::TestCerts::Get();
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.Ok());
    WebServer trusted(
        {"--root", ftp.Root(), "--tls-cert", certs.Pem("srv"), "--tls-key", certs.Key("srv")});
    WebServer self(
        {"--root", ftp.Root(), "--tls-cert", certs.Pem("self"), "--tls-key", certs.Key("self")});
    ASSERT_TRUE(trusted.Ok && self.Ok);
    // The test CA stands in for the system's roots.
    QSslConfiguration roots = QSslConfiguration::defaultConfiguration();
    ASSERT_TRUE(roots.addCaCertificates(certs.Pem("ca")));
    QSslConfiguration::setDefaultConfiguration(roots);

    TForm1& form = Ready(ftp.Port(), "/", trusted.Address("https"));
    EXPECT_TRUE(Run(form)) << Failure.toStdString();

    TForm1& again = Ready(ftp.Port(), "/", self.Address("https"));
    EXPECT_FALSE(Run(again));
    EXPECT_EQ(StateOf(Step::Web), State::Failed);
    EXPECT_TRUE(Failure.contains("TLS error")) << Failure.toStdString();
    EXPECT_EQ(Files(ftp.Root()), QStringList());
}

TEST_F(SettingsTestTest, AbortStopsTheWaitAndStillRemovesTheProbe) {
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.Ok());
    WebServer slow({"--mode", "slow"});
    ASSERT_TRUE(slow.Ok);
    TForm1& form = Ready(ftp.Port(), "/", slow.Address());
    OnStep = [&](Step S, State St) {
        if (S == Step::Web && St == State::Running)
            QTimer::singleShot(300, &form, [&] { form.SpeedButton4->click(); });
    };
    EXPECT_FALSE(Run(form));
    EXPECT_EQ(Failure, "Test aborted by user.");
    EXPECT_EQ(TextOf(Step::Web), "Aborted.");
    EXPECT_EQ(StateOf(Step::Delete), State::Passed);
    EXPECT_EQ(Files(ftp.Root()), QStringList());
}

// The button on the FTP page shows the steps in its dialog and stores nothing.
TEST_F(SettingsTestTest, ButtonShowsTheStepsAndStoresNothing) {
    PyFtpServer ftp;
    ASSERT_TRUE(ftp.Ok());
    WebServer web({"--root", ftp.Root()});
    ASSERT_TRUE(web.Ok);
    TForm1& form = Ready(ftp.Port(), "/", web.Address());
    form.PageControl1->setCurrentIndex(1);
    QFile settings(Dir.filePath("HKCU.reg"));
    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    const QByteArray before = settings.readAll();
    settings.close();

    form.Button4->click();
    ASSERT_TRUE(form.TestDialog);
    EXPECT_EQ(form.TestDialog->windowTitle(), "Velmoran");
    const QStringList lines = form.TestDialog->Lines();
    ASSERT_EQ(lines.size(), TSettingsTest::StepCount);
    for (const QString& line : lines)
        EXPECT_TRUE(line.startsWith(u'\u2714')) << line.toStdString();
    EXPECT_TRUE(lines[5].contains(web.Address())) << lines[5].toStdString();
    EXPECT_EQ(form.TestDialog->Summary(), "All steps passed: the settings work.");
    if (const QByteArray shot = qgetenv("IMGLIFT_SCREENSHOT"); !shot.isEmpty())
        form.TestDialog->grab().save(QString::fromLocal8Bit(shot));
    form.TestDialog->close();

    ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
    EXPECT_EQ(settings.readAll(), before);
    EXPECT_EQ(Files(ftp.Root()), QStringList());
}

// FTPS: a verified certificate passes; one the user refuses at the trust question fails the
// connect step, before anything is stored.
TEST_F(SettingsTestTest, FtpsCertificateIsCheckedAtTheConnectStep) {
    const testsupport::TestCerts& certs = testsupport::TestCerts::Get();
    for (const QString cert : {"srv", "self"}) {
        SCOPED_TRACE(cert.toStdString());
        PyFtpServer ftp(
            {"--tls-cert", certs.Pem(cert), "--tls-key", certs.Key(cert), "--tls-required"});
        ASSERT_TRUE(ftp.Ok());
        TForm1& form = Ready(ftp.Port(), "/", "");
        form.Edit1->setText("localhost");
        form.ComboBox1->setCurrentIndex(TForm1::secTlsRequired);
        Dialogs.Answers = {TDialogs::Result::No};
        const bool passed = Run(form);
        EXPECT_EQ(passed, cert == "srv") << Failure.toStdString();
        if (cert == "self") {
            EXPECT_EQ(StateOf(Step::Connect), State::Failed);
            EXPECT_TRUE(Failure.startsWith("The server's identity was not trusted"))
                << Failure.toStdString();
            EXPECT_EQ(StateOf(Step::Delete), State::Skipped);
        }
        EXPECT_EQ(Files(ftp.Root()), QStringList());
    }
}
