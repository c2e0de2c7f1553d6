// `imglift --upload` ends with a desktop notification: against a stand-in notification service on
// a private session bus, with a real FTP server and the X clipboard.

#include "commandline_fixture.h"
#include "ftp_fixture.h"
#include "support/private_bus.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using ftptest::PyFtpServer;
using testsupport::PumpUntil;

namespace {

// QtDBus reads the bus address once: the bus is up before main() runs.
const PrivateSessionBus Bus;

} // namespace

class NotifyTest : public CommandLineFixture {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server";
        ASSERT_TRUE(Bus.Up());
        CommandLineFixture::SetUp();
    }
    void TearDown() override {
        StopService();
        CommandLineFixture::TearDown();
    }

    void StartService(const QString& Mode) {
        Service = std::make_unique<testsupport::ServerProcess>(
            "/usr/bin/python3",
            QStringList{testsupport::SourceDir() + "/tests/app/fake_notifications.py", Mode,
                        Dir.filePath("notify.log")});
        ASSERT_TRUE(PumpUntil([] { return Offered(); }, 10000)) << Service->output().toStdString();
    }
    void StopService() {
        Service.reset();
        EXPECT_TRUE(PumpUntil([] { return !Offered(); }));
    }
    static bool Offered() {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(
            "org.freedesktop.Notifications");
    }

    // The Notify calls the service has seen.
    QList<QJsonObject> Notified() const {
        QFile file(Dir.filePath("notify.log"));
        QList<QJsonObject> calls;
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& line : file.readAll().split('\n'))
                if (!line.isEmpty()) calls << QJsonDocument::fromJson(line).object();
        return calls;
    }

    // The upload with the display and the private bus, standard error a pipe.
    QProcess& Upload(const QStringList& Arguments) {
        QProcessEnvironment env = Environment();
        env.insert("DISPLAY", qEnvironmentVariable("DISPLAY"));
        env.insert("DBUS_SESSION_BUS_ADDRESS", qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
        Process = std::make_unique<QProcess>();
        Process->setProcessEnvironment(env);
        Process->start(IMGLIFT_PROGRAM, QStringList{"--upload"} + Arguments);
        EXPECT_TRUE(Process->waitForStarted(5000));
        Process->closeWriteChannel();
        return *Process;
    }
    bool Ended(QProcess& Process, int TimeoutMs = 60000) {
        return PumpUntil([&] { return Process.state() == QProcess::NotRunning; }, TimeoutMs);
    }

    void Serve(const PyFtpServer& Server) {
        Settings({{"Host", "127.0.0.1"},
                  {"Port", std::to_string(Server.Port())},
                  {"User", "user"},
                  {"Directory", "/"},
                  {"WebAddress", "https://pics.example/up"}},
                 "secret");
    }

    std::unique_ptr<testsupport::ServerProcess> Service;
};

TEST_F(NotifyTest, ShowsTheUploadAndCopyLinkPutsTheAddressOnTheClipboard) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Serve(server);
    StartService("actions");
    QGuiApplication::clipboard()->setText("before");

    QProcess& upload = Upload({Picture("Beach <Day>.jpg", 1600, 1200)});
    ASSERT_TRUE(PumpUntil([&] { return !Notified().isEmpty(); }, 60000))
        << upload.readAllStandardError().toStdString();
    const QJsonObject call = Notified().first();
    EXPECT_EQ(call["summary"].toString(), "Uploaded Beach <Day>.jpg");
    EXPECT_EQ(call["body"].toString(), "https://pics.example/up/Beach%20%3CDay%3E.jpg");
    EXPECT_EQ(call["actions"].toArray(), QJsonArray({"copy", "Copy link", "open", "Open"}));
    const QJsonObject image = call["image"].toObject();
    EXPECT_EQ(image["width"].toInt(), 128);
    EXPECT_EQ(image["height"].toInt(), 96);
    EXPECT_EQ(image["channels"].toInt(), 4);
    EXPECT_EQ(image["bytes"].toInt(), image["stride"].toInt() * 96);
    // The address is on standard output while the notification still waits for a button.
    EXPECT_TRUE(PumpUntil([&] { return upload.bytesAvailable() > 0; }));
    EXPECT_EQ(upload.readAllStandardOutput(), "https://pics.example/up/Beach%20%3CDay%3E.jpg\n");
    EXPECT_EQ(upload.state(), QProcess::Running);

    QDBusMessage press = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                        "/org/freedesktop/Notifications",
                                                        "org.velmoran.Test", "Press");
    press << uint(call["id"].toInt()) << QString("copy");
    ASSERT_EQ(QDBusConnection::sessionBus().call(press).type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(PumpUntil(
        [] {
            return QGuiApplication::clipboard()->text() ==
                   "https://pics.example/up/Beach%20%3CDay%3E.jpg";
        },
        10000));
    // It keeps the clipboard until someone else takes it, then ends with the upload's code.
    EXPECT_EQ(upload.state(), QProcess::Running);
    const testsupport::ServerProcess owner(CLIPBOARD_OWNER, {"text/plain", "mine"});
    ASSERT_TRUE(Ended(upload, 10000));
    EXPECT_EQ(upload.exitCode(), 0) << upload.readAllStandardError().toStdString();
}

TEST_F(NotifyTest, AFailureIsNotifiedAndNoServiceOrNoNotifyChangesNothing) {
    StartService("plain");
    Settings({{"Host", "127.0.0.1"}, {"Port", std::to_string(testsupport::FreePort())}}, "secret");
    QProcess& failed = Upload({Picture("p.jpg", 300, 200)});
    ASSERT_TRUE(Ended(failed));
    EXPECT_EQ(failed.exitCode(), 1);
    ASSERT_EQ(Notified().size(), 1);
    EXPECT_EQ(Notified()[0]["summary"].toString(), "Upload failed: p.jpg");
    EXPECT_TRUE(Notified()[0]["body"].toString().contains("File NOT transmitted."))
        << Notified()[0]["body"].toString().toStdString();
    EXPECT_TRUE(Notified()[0]["actions"].toArray().isEmpty());

    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Serve(server);
    QProcess& quiet = Upload({Picture("q.jpg", 300, 200), "--no-notify"});
    ASSERT_TRUE(Ended(quiet));
    EXPECT_EQ(quiet.exitCode(), 0);
    EXPECT_EQ(Notified().size(), 1);

    StopService();
    QProcess& alone = Upload({Picture("r.jpg", 300, 200), "--notify"});
    ASSERT_TRUE(Ended(alone));
    EXPECT_EQ(alone.exitCode(), 0) << alone.readAllStandardError().toStdString();
    EXPECT_TRUE(QFile::exists(server.RootFile("r.jpg")));
}
