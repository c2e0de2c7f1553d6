// imglift --upload / --delete run as a separate process without any display, against a real
// FTP server, with the settings written where the program reads them.

#include "commandline_fixture.h"

#include "ftp_fixture.h"
#include "settings/platform/keyring.h"
#include "support/secret_service.h"
#include "support/test_certs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>

using ftptest::PyFtpServer;

class CommandLineTest : public CommandLineFixture {
protected:
    void Serve(const PyFtpServer& Server) {
        Settings({{"Host", "127.0.0.1"},
                  {"Port", std::to_string(Server.Port())},
                  {"User", "user"},
                  {"Directory", "/"}},
                 "secret");
    }
};

TEST_F(CommandLineTest, UploadPrintsTheWebAddressOrTheName) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Serve(server);
    Settings({{"WebAddress", "https://pics.example/my"}});
    const QString picture = Picture("Beach Day.jpg");

    const TRun first = Run({"--upload", picture});
    EXPECT_EQ(first.Code, 0) << first.Err.toStdString();
    EXPECT_EQ(first.Out, "https://pics.example/my/Beach%20Day.jpg\n");
    EXPECT_TRUE(first.Err.contains("File sucessfully transmitted.")) << first.Err.toStdString();
    const QByteArray stored = ftptest::ReadFile(server.RootFile("Beach Day.jpg"));
    EXPECT_TRUE(stored.startsWith("\xFF\xD8"));
    EXPECT_EQ(QImage::fromData(stored).size(), QSize(620, 465));

    Settings({{"WebAddress", ""}});
    const TRun named = Run({"--upload", picture, "--name", "Other.jpg"});
    EXPECT_EQ(named.Code, 0) << named.Err.toStdString();
    EXPECT_EQ(named.Out, "Other.jpg\n");
    EXPECT_TRUE(QFile::exists(server.RootFile("Other.jpg")));
}

TEST_F(CommandLineTest, UploadsAtOnceFromOneFolderEachStoreTheirOwnPicture) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Serve(server);
    const QColor colours[] = {QColor(220, 30, 30), QColor(30, 30, 220)};
    QStringList pictures;
    for (const QColor& colour : colours) {
        QImage image(1600, 1200, QImage::Format_RGB32);
        image.fill(colour);
        pictures << Dir.filePath(colour.name().mid(1) + ".jpg");
        ASSERT_TRUE(image.save(pictures.back(), "JPG"));
    }
    for (int round = 0; round < 5; ++round) {
        std::vector<std::unique_ptr<QProcess>> uploads;
        for (const QString& picture : pictures) {
            uploads.push_back(std::make_unique<QProcess>());
            uploads.back()->setProcessEnvironment(Environment());
            const QString name =
                QStringLiteral("%1-%2").arg(round).arg(QFileInfo(picture).fileName());
            uploads.back()->start(IMGLIFT_PROGRAM, {"--upload", picture, "--name", name});
        }
        ASSERT_TRUE(testsupport::PumpUntil(
            [&] {
                return std::ranges::all_of(
                    uploads, [](const auto& p) { return p->state() == QProcess::NotRunning; });
            },
            60000));
        for (std::size_t i = 0; i < uploads.size(); ++i) {
            EXPECT_EQ(uploads[i]->exitCode(), 0)
                << uploads[i]->readAllStandardError().toStdString();
            const QString name =
                QStringLiteral("%1-%2").arg(round).arg(QFileInfo(pictures[int(i)]).fileName());
            const QColor stored = QImage(server.RootFile(name)).pixelColor(300, 200);
            EXPECT_LT(std::abs(stored.red() - colours[i].red()) +
                          std::abs(stored.blue() - colours[i].blue()),
                      30)
                << name.toStdString() << " holds " << stored.name().toStdString();
        }
    }
    const QDir folder = QFileInfo(IMGLIFT_PROGRAM).absoluteDir();
    EXPECT_EQ(folder.entryList({"temp-*.jpg"}, QDir::Files), QStringList());
}

TEST_F(CommandLineTest, RefusedCertificateIsSaidOnceAndEndsTheUpload) {
    const testsupport::TestCerts& certs = testsupport::TestCerts::Get();
    PyFtpServer server(
        {"--tls-cert", certs.Pem("self"), "--tls-key", certs.Key("self"), "--log-commands"});
    ASSERT_TRUE(server.Ok());
    Serve(server);
    Settings({{"Security", "2"}});
    const TRun run = Run({"--upload", Picture("tls.jpg")});
    EXPECT_EQ(run.Code, 1);
    EXPECT_EQ(run.Err.count("cannot be trusted"), 1) << run.Err.toStdString();
    EXPECT_EQ(run.Err.count("Refused: nobody to ask."), 1) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.endsWith("File NOT transmitted.\n")) << run.Err.toStdString();
    EXPECT_FALSE(server.Output().contains("CMD USER"));
}

TEST_F(CommandLineTest, TransparentPngUploadsAsJpegOnWhite) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Serve(server);
    QImage png(800, 600, QImage::Format_ARGB32);
    png.fill(Qt::transparent);
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 400; ++x)
            png.setPixel(x, y, qRgb(0, 0, 255));
    const QString picture = File("Holiday.png", {});
    ASSERT_TRUE(png.save(picture, "PNG"));

    const TRun run = Run({"--upload", picture});
    EXPECT_EQ(run.Code, 0) << run.Err.toStdString();
    EXPECT_EQ(run.Out, "Holiday.jpg\n");
    const QImage stored =
        QImage::fromData(ftptest::ReadFile(server.RootFile("Holiday.jpg")), "JPG");
    ASSERT_EQ(stored.size(), QSize(620, 465));
    EXPECT_GT(qGray(stored.pixel(600, 200)), 245); // transparent became white, not black
    EXPECT_GT(qBlue(stored.pixel(20, 200)), 230);
}

TEST_F(CommandLineTest, ProgressOnlyOnATerminal) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Serve(server);
    const QString picture = Picture("p.jpg", 3000, 2000);
    Settings({{"OrginalSize", "1"}});
    // script(1) gives the command a terminal; its output is the terminal's.
    const TRun terminal =
        RunIn("script", {"-qec", QStringLiteral("'%1' --upload '%2'").arg(IMGLIFT_PROGRAM, picture),
                         "/dev/null"});
    EXPECT_EQ(terminal.Code, 0) << terminal.Out.toStdString();
    EXPECT_TRUE(terminal.Out.contains("p.jpg: 100%")) << terminal.Out.toStdString();
    // The outcome on a line of its own after the progress.
    EXPECT_TRUE(terminal.Out.contains("\nFile sucessfully transmitted."))
        << terminal.Out.toStdString();
    const TRun piped = Run({"--upload", picture});
    EXPECT_EQ(piped.Code, 0);
    EXPECT_FALSE(piped.Err.contains("%")) << piped.Err.toStdString();
}

TEST_F(CommandLineTest, UnsupportedOrUnreadableFilesAreUsageErrors) {
    const TRun text = Run({"--upload", File("notes.txt", "hello")});
    EXPECT_EQ(text.Code, 2);
    EXPECT_TRUE(text.Err.contains("Not supportet Image File")) << text.Err.toStdString();
    const TRun broken = Run({"--upload", File("broken.jpg", "not a picture")});
    EXPECT_EQ(broken.Code, 2);
    EXPECT_TRUE(broken.Err.contains("Error loading Image File")) << broken.Err.toStdString();
    EXPECT_TRUE(broken.Out.isEmpty());
}

TEST_F(CommandLineTest, ServerDownFailsAtOnceWithTheReason) {
    Settings({{"Host", "127.0.0.1"}, {"Port", std::to_string(testsupport::FreePort())}}, "secret");
    QElapsedTimer clock;
    clock.start();
    const TRun run = Run({"--upload", Picture("a.jpg")});
    EXPECT_EQ(run.Code, 1);
    // The 15-second time-out never comes into it.
    EXPECT_LT(clock.elapsed(), 8000);
    EXPECT_TRUE(run.Err.contains("File NOT transmitted.")) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("refused")) << run.Err.toStdString();
}

TEST_F(CommandLineTest, CtrlCAbortsTheTransfer) {
    // The transfer never ends: the server keeps its final reply.
    PyFtpServer server({"--stall-226", "--verbose"});
    ASSERT_TRUE(server.Ok());
    Serve(server);
    QProcess& process = Start({"--upload", Picture("slow.jpg")});
    ASSERT_TRUE(testsupport::PumpUntil([&] { return server.Output().contains("STOR"); }, 10000));
    testsupport::PumpFor(300);
    QElapsedTimer clock;
    clock.start();
    ::kill(pid_t(process.processId()), SIGINT);
    ASSERT_TRUE(
        testsupport::PumpUntil([&] { return process.state() == QProcess::NotRunning; }, 5000));
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 130);
    EXPECT_TRUE(process.readAllStandardError().contains("Transmission aborted by user."));
}

TEST_F(CommandLineTest, DeleteFoundAndMissing) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Serve(server);
    ASSERT_TRUE(ftptest::WriteFile(server.RootFile("old.jpg"), QByteArray(300, 'o')));
    const TRun found = Run({"--delete", "old.jpg"});
    EXPECT_EQ(found.Code, 0) << found.Err.toStdString();
    EXPECT_TRUE(found.Err.contains("File sucessfully deleted."));
    EXPECT_FALSE(QFile::exists(server.RootFile("old.jpg")));
    const TRun missing = Run({"--delete", "old.jpg"});
    EXPECT_EQ(missing.Code, 1);
    EXPECT_TRUE(missing.Err.contains("File not found.")) << missing.Err.toStdString();
}

TEST_F(CommandLineTest, TestPrintsOneLinePerStepAndFailsWithTheCause) {
    PyFtpServer server({"--refuse-mkd"});
    ASSERT_TRUE(server.Ok());
    Serve(server);
    const TRun passed = Run({"--test"});
    EXPECT_EQ(passed.Code, 0) << passed.Out.toStdString() << passed.Err.toStdString();
    const QStringList lines = passed.Out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 7) << passed.Out.toStdString();
    EXPECT_TRUE(lines[2].startsWith("3. Log in: ok"));
    EXPECT_TRUE(lines[5].startsWith("6. Fetch it from the web address: skipped"));
    EXPECT_TRUE(
        QDir(server.Root()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));

    Settings({{"Directory", "/missing"}});
    const TRun failed = Run({"--test"});
    EXPECT_EQ(failed.Code, 1);
    EXPECT_TRUE(
        failed.Out.contains("4. Open the folder: FAILED: Logged in, but '/missing' does not "
                            "exist and could not be created: 550"))
        << failed.Out.toStdString();
}

TEST_F(CommandLineTest, CtrlCStopsTheTestAndStillRemovesTheProbe) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Serve(server);
    // A web server that never answers in time.
    const quint16 webPort = testsupport::FreePort();
    testsupport::ServerProcess web("/usr/bin/python3",
                                   {testsupport::SourceDir() + "/tests/app/web_server.py", "--port",
                                    QString::number(webPort), "--mode", "slow"});
    ASSERT_TRUE(web.started() && testsupport::WaitForListener(webPort));
    Settings({{"WebAddress", QStringLiteral("http://127.0.0.1:%1/").arg(webPort).toStdString()}});
    QProcess& process = Start({"--test"});
    QByteArray out;
    ASSERT_TRUE(testsupport::PumpUntil(
        [&] { return (out += process.readAllStandardOutput()).contains("5. Store"); }, 20000));
    testsupport::PumpFor(300);
    ::kill(pid_t(process.processId()), SIGINT);
    ASSERT_TRUE(
        testsupport::PumpUntil([&] { return process.state() == QProcess::NotRunning; }, 8000));
    out += process.readAllStandardOutput();
    EXPECT_EQ(process.exitCode(), 130);
    EXPECT_TRUE(out.contains("6. Fetch it from the web address: FAILED: Aborted."));
    EXPECT_TRUE(out.contains("7. Remove the test picture: ok")) << out.toStdString();
    EXPECT_TRUE(
        QDir(server.Root()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

TEST_F(CommandLineTest, OptionsHelpAndVersion) {
    for (const QStringList& bad :
         {QStringList{"--bogus"}, QStringList{"--upload"}, QStringList{"--name", "x.jpg"},
          QStringList{"--delete", "a.jpg", "--upload", "b.jpg"},
          QStringList{"--upload", "a.jpg", "extra"}, QStringList{"--test", "--delete", "a.jpg"},
          QStringList{"--test", "extra"}}) {
        const TRun run = Run(bad);
        EXPECT_EQ(run.Code, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(run.Err.contains("--help")) << run.Err.toStdString();
    }
    const TRun help = Run({"--help"});
    EXPECT_EQ(help.Code, 0);
    EXPECT_TRUE(help.Out.contains("--upload FILE [--name NAME]"));
    const TRun version = Run({"--version"});
    EXPECT_EQ(version.Code, 0);
    EXPECT_EQ(version.Out, "Velmoran ImgLift 1.0\n");
}

TEST_F(CommandLineTest, PasswordFromTheKeyringOrWithoutABusFromTheFile) {
    const testsupport::SecretService& service = testsupport::SecretService::Instance();
    if (!service.Up())
        GTEST_SKIP() << "gnome-keyring-daemon cannot run here: " << service.Why().toStdString();
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Settings({{"Host", "127.0.0.1"},
              {"Port", server.PortText()},
              {"User", "user"},
              {"Directory", "/"},
              {"Password", ""}});
    const QString key = "ftp:user@127.0.0.1:" + QString::number(server.Port());
    ASSERT_EQ(keyring::MakeQtKeychain(keyring::TimeoutMs)->Write(key, "secret").Status,
              TKeyring::TStatus::Ok);
    qputenv("IMGLIFT_KEYRING", "1");
    qputenv("QT_LOGGING_RULES", "imglift.settings=true");
    KeepSessionBus = true;
    const TRun keyring = Run({"--upload", Picture("k.jpg")});
    EXPECT_EQ(keyring.Code, 0) << keyring.Err.toStdString();
    EXPECT_FALSE(keyring.Err.contains("imglift.settings")) << keyring.Err.toStdString();

    // A headless server, with the password scrambled in the file as before: the file's
    // password is taken without looking for a keyring.
    Settings({}, "secret");
    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("XDG_RUNTIME_DIR");
    const TRun headless = Run({"--upload", Picture("h.jpg")});
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
    if (!runtime.isEmpty()) qputenv("XDG_RUNTIME_DIR", runtime);
    qputenv("IMGLIFT_KEYRING", "0");
    qunsetenv("QT_LOGGING_RULES");
    EXPECT_EQ(headless.Code, 0) << headless.Err.toStdString();
    EXPECT_FALSE(headless.Err.contains("imglift.settings")) << headless.Err.toStdString();
}

TEST_F(CommandLineTest, UploadsAreRecordedListedAndDeletedByEntry) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    Serve(server);
    Settings({{"WebAddress", "https://pics.example/up"}});
    const QString picture = Picture("a.jpg", 300, 200);
    for (const QStringList& arguments :
         {QStringList{"--upload", picture}, QStringList{"--upload", picture},
          QStringList{"--upload", picture, "--name", "b\tc.jpg"}}) {
        const TRun run = Run(arguments);
        ASSERT_EQ(run.Code, 0) << run.Err.toStdString();
    }
    EXPECT_FALSE(ftptest::ReadFile(HistoryPath()).contains("secret"));

    const TRun list = Run({"--history"});
    EXPECT_EQ(list.Code, 0) << list.Err.toStdString();
    const QStringList lines = list.Out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << list.Out.toStdString();
    EXPECT_EQ(lines[0], "id\ttime\tprotocol\thost\tport\tuser\tfolder\tname\taddress\tsize\twidth\t"
                        "height\tsource\tstate");
    const QStringList newest = lines[1].split('\t');
    ASSERT_EQ(newest.size(), 14) << lines[1].toStdString();
    EXPECT_EQ(newest[2], "ftp+tls");
    EXPECT_EQ(newest[3], "127.0.0.1");
    EXPECT_EQ(newest[7], "b c.jpg");
    EXPECT_EQ(newest[8], "https://pics.example/up/b%09c.jpg");
    EXPECT_EQ(newest[9], QString::number(QFileInfo(server.RootFile("b\tc.jpg")).size()));
    EXPECT_EQ(newest[12], picture);
    EXPECT_EQ(newest[13], "current");
    EXPECT_TRUE(lines[2].endsWith("\tcurrent"));
    EXPECT_TRUE(lines[3].endsWith("\treplaced"));

    const TRun json = Run({"--history", "--json", "--limit", "1"});
    EXPECT_EQ(json.Code, 0);
    ASSERT_EQ(json.Out.count('\n'), 1);
    const QJsonObject entry = QJsonDocument::fromJson(json.Out.toUtf8()).object();
    EXPECT_EQ(entry["name"].toString(), "b\tc.jpg");
    EXPECT_EQ(entry["width"].toInt(), 620);

    const TRun deleted = Run({"--delete-entry", newest[0]});
    EXPECT_EQ(deleted.Code, 0) << deleted.Err.toStdString();
    EXPECT_FALSE(QFile::exists(server.RootFile("b\tc.jpg")));
    EXPECT_TRUE(QFile::exists(server.RootFile("a.jpg")));
    EXPECT_TRUE(Run({"--history", "--limit", "1"}).Out.trimmed().endsWith("\tdeleted"));
    EXPECT_EQ(Run({"--delete-entry", "999"}).Code, 1);
    EXPECT_EQ(Run({"--delete-entry", "x"}).Code, 2);

    // A damaged history is reported, left as it is, and the upload goes on.
    const QByteArray garbage(3000, '\x7f');
    ASSERT_TRUE(ftptest::WriteFile(HistoryPath(), garbage));
    const TRun upload = Run({"--upload", picture});
    EXPECT_EQ(upload.Code, 0);
    EXPECT_TRUE(upload.Err.contains("Upload history unavailable: " + HistoryPath() +
                                    ": not an SQLite database"))
        << upload.Err.toStdString();
    const TRun unreadable = Run({"--history"});
    EXPECT_EQ(unreadable.Code, 1);
    EXPECT_TRUE(unreadable.Err.startsWith("Upload history unavailable: "));
    EXPECT_EQ(ftptest::ReadFile(HistoryPath()), garbage);
}
