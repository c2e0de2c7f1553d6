// Upload and delete over SFTP ("Security" 4) through a real sshd: from the window, and from the
// command line as a separate process without a display.

#include "commandline_fixture.h"
#include "form_fixture.h"

#include "sshd_fixture.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <csignal>
#include <map>

namespace {

sftptest::Server* GServer = nullptr;

class SshdEnvironment : public testing::Environment {
public:
    void SetUp() override {
        GServer = new sftptest::Server;
        GServer->Start();
    }
    void TearDown() override {
        delete GServer;
        GServer = nullptr;
    }
};
const testing::Environment* const GEnvironment =
    testing::AddGlobalTestEnvironment(new SshdEnvironment);

QString KnownHostsIn(const QString& Home) {
    return Home + "/.ssh/known_hosts";
}

void Know(const QString& Home, const QString& Lines) {
    QDir().mkpath(Home + "/.ssh");
    ASSERT_TRUE(sftptest::WriteAll(KnownHostsIn(Home), Lines.toUtf8()));
}

// Forwards connections to a port on 127.0.0.1, what the client sends at 16 KB per 20 ms, so
// that an upload lasts seconds.
class SlowRelay : public QObject {
public:
    explicit SlowRelay(quint16 Target) {
        Listener.listen(QHostAddress::LocalHost, 0);
        connect(&Listener, &QTcpServer::newConnection, this, [this, Target] {
            while (QTcpSocket* const in = Listener.nextPendingConnection()) {
                in->setParent(this);
                in->setReadBufferSize(64 * 1024);
                auto* const out = new QTcpSocket(this);
                out->connectToHost(QHostAddress::LocalHost, Target);
                connect(out, &QTcpSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
                connect(out, &QTcpSocket::disconnected, in, &QTcpSocket::disconnectFromHost);
                connect(in, &QTcpSocket::disconnected, out, &QTcpSocket::disconnectFromHost);
                Pairs.emplace_back(in, out);
            }
        });
        connect(&Tick, &QTimer::timeout, this, [this] {
            for (const auto& [in, out] : Pairs)
                if (out->state() == QAbstractSocket::ConnectedState) out->write(in->read(16384));
        });
        Tick.start(20);
    }
    quint16 Port() const { return Listener.serverPort(); }

private:
    QTcpServer Listener;
    QTimer Tick;
    std::vector<std::pair<QTcpSocket*, QTcpSocket*>> Pairs;
};

} // namespace

class SftpWindowTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        if (!GServer->SkipReason.isEmpty()) GTEST_SKIP() << GServer->SkipReason.toStdString();
        OldHome = qgetenv("HOME");
        qputenv("HOME", Dir.path().toLocal8Bit());
    }
    void TearDown() override {
        if (!OldHome.isNull()) qputenv("HOME", OldHome);
        FormTest::TearDown();
    }

    TForm1& Ready() {
        TForm1& form = MakeForm();
        form.ComboBox1->setCurrentIndex(TForm1::secSftp);
        form.Edit1->setText("127.0.0.1");
        form.Edit5->setText(QString::number(GServer->Port));
        form.Edit2->setText(sftptest::User);
        form.Edit3->setText(QString::fromStdString(sftptest::Password));
        form.Edit4->setText("up");
        form.ImageFile = Picture("ssh picture.jpg", 800, 600, "JPG");
        form.ProcessImageFile();
        return form;
    }

    QStringList Questions() const {
        QStringList questions;
        for (const FakeDialogs::Box& box : Dialogs.Boxes)
            if (box.Text.contains("key fingerprint is")) questions << box.Text;
        return questions;
    }

    QString Remote(const QString& Name) const { return GServer->Home + "/up/" + Name; }

    QByteArray OldHome;
};

TEST_F(SftpWindowTest, UploadAndDeleteAskAboutTheHostKeyOnce) {
    TForm1& form = Ready();
    form.BitBtn5->click();
    ASSERT_EQ(Dialogs.Texts().last(), "File sucessfully transmitted.")
        << Dialogs.Texts().join('|').toStdString();
    ASSERT_EQ(Questions().size(), 1);
    const FakeDialogs::Box& question = Dialogs.Boxes[1];
    EXPECT_EQ(question.Title, "Velmoran");
    EXPECT_EQ(question.Choice, TDialogs::Buttons::YesNo);
    const QString fingerprint =
        sftptest::RunProgram("ssh-keygen", {"-l", "-f", GServer->Path("host_key.pub")})
            .Output.section(' ', 1, 1);
    EXPECT_TRUE(question.Text.contains(QStringLiteral("[127.0.0.1]:%1").arg(GServer->Port)));
    EXPECT_TRUE(question.Text.contains("ED25519 key fingerprint is " + fingerprint + "."))
        << question.Text.toStdString();
    EXPECT_TRUE(QImage(Remote("ssh picture.jpg")).size() == QSize(620, 465));
    EXPECT_TRUE(sftptest::ReadAll(KnownHostsIn(Dir.path()))
                    .contains(GServer->HostPub.section(' ', 1, 1).toLatin1()));

    // The same name again replaces the file, and asks no second question.
    form.BitBtn5->click();
    EXPECT_EQ(Dialogs.Texts().last(), "File sucessfully transmitted.");
    form.Edit6->setText("ssh picture.jpg");
    form.Button1->click();
    EXPECT_EQ(Dialogs.Texts().last(), "File sucessfully deleted.");
    EXPECT_FALSE(QFile::exists(Remote("ssh picture.jpg")));
    form.Button1->click();
    EXPECT_EQ(Dialogs.Texts().last(), "File not found.");
    EXPECT_EQ(Questions().size(), 1);
}

TEST_F(SftpWindowTest, NoToTheHostKeySendsNoPassword) {
    TForm1& form = Ready();
    const qsizetype logBefore = GServer->Log().size();
    Dialogs.Answers = {TDialogs::Result::Yes, TDialogs::Result::No};
    form.BitBtn5->click();
    EXPECT_EQ(Dialogs.Texts().last(), "File NOT transmitted.");
    EXPECT_EQ(Questions().size(), 1);
    EXPECT_EQ(Dialogs.Boxes.size(), 3u) << Dialogs.Texts().join('|').toStdString();
    testsupport::PumpFor(200);
    EXPECT_FALSE(GServer->Log().mid(logBefore).contains("password for"));
    EXPECT_FALSE(QFile::exists(Remote("ssh picture.jpg")));
}

TEST_F(SftpWindowTest, ChangedHostKeyIsAWarningNotAQuestion) {
    Know(Dir.path(), GServer->HostEntry(GServer->OtherPub) + '\n');
    TForm1& form = Ready();
    form.BitBtn5->click();
    EXPECT_EQ(Dialogs.Texts().last(), "File NOT transmitted.");
    EXPECT_TRUE(Questions().isEmpty());
    ASSERT_EQ(Dialogs.Boxes.size(), 3u) << Dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(Dialogs.Boxes[1].Choice, TDialogs::Buttons::Ok);
    EXPECT_TRUE(Dialogs.Boxes[1].Text.contains("REMOTE HOST IDENTIFICATION HAS CHANGED"));
    EXPECT_TRUE(Dialogs.Boxes[1].Text.contains(KnownHostsIn(Dir.path()) + ":1"))
        << Dialogs.Boxes[1].Text.toStdString();
}

class SftpCommandLineTest : public CommandLineFixture {
protected:
    void SetUp() override {
        CommandLineFixture::SetUp();
        if (!GServer->SkipReason.isEmpty()) GTEST_SKIP() << GServer->SkipReason.toStdString();
        Settings({{"Security", "4"},
                  {"Host", "127.0.0.1"},
                  {"Port", std::to_string(GServer->Port)},
                  {"User", sftptest::User.toStdString()},
                  {"Directory", "up"},
                  {"WebAddress", "https://ssh.example/"}},
                 sftptest::Password);
    }
};

TEST_F(SftpCommandLineTest, UnknownKeyIsRefusedUntilTrusted) {
    const QString picture = Picture("cli.jpg");
    const TRun refused = Run({"--upload", picture});
    EXPECT_EQ(refused.Code, 1);
    // Said once: the question and how to trust, then the outcome.
    EXPECT_EQ(refused.Err.count("key fingerprint is SHA256:"), 1) << refused.Err.toStdString();
    EXPECT_FALSE(refused.Err.contains("Host key verification failed")) << refused.Err.toStdString();
    EXPECT_TRUE(refused.Err.contains("To trust it")) << refused.Err.toStdString();
    EXPECT_TRUE(refused.Err.contains("File NOT transmitted."));

    Know(Dir.path(), GServer->HostEntry(GServer->HostPub) + '\n');
    const TRun sent = Run({"--upload", picture, "--name", "cli one.jpg"});
    EXPECT_EQ(sent.Code, 0) << sent.Err.toStdString();
    EXPECT_EQ(sent.Out, "https://ssh.example/cli%20one.jpg\n");
    EXPECT_TRUE(QFile::exists(GServer->Home + "/up/cli one.jpg"));

    EXPECT_EQ(Run({"--delete", "cli one.jpg"}).Code, 0);
    EXPECT_FALSE(QFile::exists(GServer->Home + "/up/cli one.jpg"));
    const TRun missing = Run({"--delete", "cli one.jpg"});
    EXPECT_EQ(missing.Code, 1);
    EXPECT_TRUE(missing.Err.contains("File not found."));
}

TEST_F(SftpCommandLineTest, ChangedKeyIsRefusedWithSshsWarning) {
    Know(Dir.path(), GServer->HostEntry(GServer->OtherPub) + '\n');
    const TRun run = Run({"--upload", Picture("cli.jpg")});
    EXPECT_EQ(run.Code, 1);
    EXPECT_TRUE(run.Err.contains("REMOTE HOST IDENTIFICATION HAS CHANGED"));
    EXPECT_TRUE(run.Err.contains("Offending ED25519 key in " + KnownHostsIn(Dir.path()) + ":1"))
        << run.Err.toStdString();
    EXPECT_EQ(run.Err.count("REMOTE HOST IDENTIFICATION HAS CHANGED"), 1);
}

TEST_F(SftpCommandLineTest, KilledDuringAReplaceLeavesTheOldFileWhole) {
    // A noisy picture kept at its size: megabytes through a slow link.
    QImage noise(1200, 900, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, random.generate());
    const QString picture = Dir.filePath("noise.bmp");
    ASSERT_TRUE(noise.save(picture, "BMP"));
    const QByteArray old(200 * 1024, 'o');
    const QString target = GServer->Home + "/up/kept.jpg";
    ASSERT_TRUE(sftptest::WriteAll(target, old));

    const QDir programFolder = QFileInfo(IMGLIFT_PROGRAM).absoluteDir();
    const QStringList tempsBefore = programFolder.entryList({"temp-*.jpg"}, QDir::Files);
    SlowRelay relay(GServer->Port);
    Know(Dir.path(), QStringLiteral("[127.0.0.1]:%1 %2\n").arg(relay.Port()).arg(GServer->HostPub));
    Settings({{"Port", std::to_string(relay.Port())}, {"OrginalSize", "1"}, {"Quality", "100"}});
    QProcess& process = Start({"--upload", picture, "--name", "kept.jpg"});
    QString part;
    ASSERT_TRUE(testsupport::PumpUntil(
        [&] {
            const QFileInfoList parts =
                QDir(GServer->Home + "/up")
                    .entryInfoList({".kept.jpg.*.part"}, QDir::Files | QDir::Hidden);
            if (parts.isEmpty() || parts[0].size() == 0) return false;
            part = parts[0].filePath();
            return true;
        },
        30000))
        << process.readAllStandardError().toStdString();
    ::kill(pid_t(process.processId()), SIGKILL);
    ASSERT_TRUE(process.waitForFinished(5000));
    EXPECT_EQ(sftptest::ReadAll(target), old);
    // What a crash leaves: the hidden temporary file, never a cut picture under the real name.
    EXPECT_TRUE(QFile::exists(part));
    QFile::remove(part);
    // The killed program could not remove its own JPEG.
    for (const QString& name : programFolder.entryList({"temp-*.jpg"}, QDir::Files))
        if (!tempsBefore.contains(name)) QFile::remove(programFolder.filePath(name));
}

TEST_F(SftpWindowTest, SettingsTestStoresAndRemovesItsProbe) {
    TForm1& form = Ready();
    form.Edit4->setText("tested/deeper");
    std::map<TSettingsTest::TStep, TSettingsTest::TState> steps;
    const auto observe = [&](TSettingsTest::TStep Step, TSettingsTest::TState State,
                             const QString&) { steps[Step] = State; };
    QString failure;
    EXPECT_TRUE(form.TestSettings(observe, failure)) << failure.toStdString();
    EXPECT_EQ(steps[TSettingsTest::TStep::Folder], TSettingsTest::TState::Passed);
    EXPECT_EQ(steps[TSettingsTest::TStep::Delete], TSettingsTest::TState::Passed);
    const QDir made(GServer->Home + "/tested/deeper");
    EXPECT_TRUE(made.exists());
    EXPECT_TRUE(made.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));

    form.Edit3->setText("wrong");
    EXPECT_FALSE(form.TestSettings(observe, failure));
    EXPECT_EQ(steps[TSettingsTest::TStep::Connect], TSettingsTest::TState::Passed);
    EXPECT_EQ(steps[TSettingsTest::TStep::LogIn], TSettingsTest::TState::Failed);
    EXPECT_TRUE(failure.startsWith("Connected, but the login as")) << failure.toStdString();
}
