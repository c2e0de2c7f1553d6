// The blocking FTP client end to end against a real server (pyftpdlib on loopback), in
// active and passive mode.

#include "ftp/ftpclient.h"
#include "ftp_fixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace ftptest;

namespace {

class FtpServerTest : public ::testing::TestWithParam<bool> {
protected:
    void Configure(PyFtpServer& Server) {
        Ftp.SetHostName("127.0.0.1");
        Ftp.SetPort(Server.PortText());
        Ftp.SetUserName("user");
        Ftp.SetPassWord("secret");
        Ftp.SetHostDirName("/");
        Ftp.SetPassive(GetParam());
        Ftp.SetTimeout(10);
        Log.Attach(Ftp);
    }
    void SetUp() override {
        ASSERT_TRUE(Server.Ok()) << Server.Output().toStdString();
        Configure(Server);
    }
    std::string Local(const QString& Name) const { return Dir.filePath(Name).toStdString(); }
    bool Upload(const QByteArray& Content, const QString& Name) {
        if (!WriteFile(Dir.filePath("up-" + Name), Content)) return false;
        Ftp.SetLocalFileName(Local("up-" + Name));
        Ftp.SetHostFileName(Name.toStdString());
        return Ftp.Transmit();
    }

    PyFtpServer Server;
    TFtpClient Ftp;
    RequestLog Log;
    QTemporaryDir Dir;
};

std::string Mode(const ::testing::TestParamInfo<bool>& Info) {
    return Info.param ? "Passive" : "Active";
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Modes, FtpServerTest, ::testing::Values(false, true), Mode);

TEST_P(FtpServerTest, TransmitEmptyOneBlockAndTenMiBFiles) {
    for (const qint64 Size : {qint64{0}, qint64{1460}, qint64{10} * 1024 * 1024}) {
        SCOPED_TRACE(Size);
        const QByteArray Content = Pattern(Size, static_cast<int>(Size % 97));
        const QString Name = QString("file-%1.bin").arg(Size);
        Log.Progress.clear();
        const int Before = Log.DoneCount;
        ASSERT_TRUE(Upload(Content, Name)) << Ftp.ErrorMessage() << "\n" << Log.Trace();
        EXPECT_EQ(ReadFile(Server.RootFile(Name)), Content);
        // The notification is posted; it follows the return of the blocking call.
        ASSERT_TRUE(WaitDone(Log, Before));
        EXPECT_EQ(Log.DoneType, ftpPutAsync);
        EXPECT_FALSE(Ftp.Connected());
        EXPECT_EQ(Ftp.StatusCode(), 226) << "the STOR reply, not QUIT's";
        ASSERT_FALSE(Log.Progress.empty());
        EXPECT_EQ(Log.Progress.back(), Size);
        EXPECT_TRUE(std::is_sorted(Log.Progress.begin(), Log.Progress.end()));
    }
}

TEST_P(FtpServerTest, FileSizeDeleteAndTheUploadRoutine) {
    Ftp.SetHostFileName("missing.jpg");
    EXPECT_FALSE(Ftp.FileSize());
    EXPECT_EQ(Ftp.SizeResult(), 0);
    EXPECT_EQ(Ftp.StatusCode(), 550);
    EXPECT_TRUE(Ftp.Connected()) << "a failed step leaves the connection open";
    EXPECT_FALSE(Ftp.Transmit()) << "FTP component already connected";
    EXPECT_FALSE(Ftp.Abort()) << "the 550 is still the last result";
    EXPECT_FALSE(Ftp.Connected());

    ASSERT_TRUE(WriteFile(Server.RootFile("image.jpg"), Pattern(48213)));
    Ftp.SetHostFileName("image.jpg");
    EXPECT_TRUE(Ftp.FileSize()) << Ftp.ErrorMessage();
    EXPECT_EQ(Ftp.SizeResult(), 48213);
    EXPECT_EQ(Ftp.StatusCode(), 213);
    EXPECT_EQ(Ftp.LastResponse(), "213 48213");
    EXPECT_FALSE(Ftp.Connected());

    // The main window's order: Abort, FileSize, Delete when found, Abort, Transmit.
    const QByteArray Fresh = Pattern(7777, 9);
    ASSERT_TRUE(WriteFile(Dir.filePath("temp.jpg"), Fresh));
    EXPECT_TRUE(Ftp.Abort());
    Ftp.SetLocalFileName(Local("temp.jpg"));
    Ftp.FileSize();
    ASSERT_NE(Ftp.SizeResult(), 0);
    EXPECT_TRUE(Ftp.Delete()) << Ftp.ErrorMessage();
    EXPECT_FALSE(QFile::exists(Server.RootFile("image.jpg")));
    Ftp.Abort();
    EXPECT_TRUE(Ftp.Transmit()) << Ftp.ErrorMessage();
    EXPECT_EQ(ReadFile(Server.RootFile("image.jpg")), Fresh);

    Ftp.SetHostFileName("gone.jpg");
    EXPECT_FALSE(Ftp.Delete());
    EXPECT_EQ(Ftp.StatusCode(), 550);
}

TEST_P(FtpServerTest, ReceiveDirectoryAndList) {
    const QByteArray Content = Pattern(300000, 11);
    ASSERT_TRUE(WriteFile(Server.RootFile("big.bin"), Content));
    ASSERT_TRUE(WriteFile(Server.RootFile("small.txt"), "hello"));
    Ftp.SetHostFileName("big.bin");
    Ftp.SetLocalFileName(Local("big.bin"));
    const int Before = Log.DoneCount;
    EXPECT_TRUE(Ftp.Receive()) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    EXPECT_EQ(ReadFile(Dir.filePath("big.bin")), Content);
    ASSERT_TRUE(WaitDone(Log, Before));
    EXPECT_EQ(Log.DoneType, ftpReceiveAsync);

    Ftp.SetDisplayFileFlag(true);
    Ftp.SetHostFileName("");
    Log.DisplayFile.clear();
    EXPECT_TRUE(Ftp.Directory()) << Ftp.ErrorMessage();
    ASSERT_EQ(Log.DisplayFile.size(), 2u);
    bool SawSmall = false;
    for (const std::string& L : Log.DisplayFile) {
        EXPECT_EQ(L.find_first_of("\r\n"), std::string::npos);
        SawSmall = SawSmall || L.find("small.txt") != std::string::npos;
    }
    EXPECT_TRUE(SawSmall);

    Log.DisplayFile.clear();
    EXPECT_TRUE(Ftp.List()) << Ftp.ErrorMessage();
    std::vector<std::string> Names = Log.DisplayFile;
    std::sort(Names.begin(), Names.end());
    EXPECT_EQ(Names, (std::vector<std::string>{"big.bin", "small.txt"}));
}

TEST_P(FtpServerTest, RenameMkdirRmdirAndAppend) {
    ASSERT_TRUE(WriteFile(Server.RootFile("old.txt"), "abc"));
    Ftp.SetHostFileName("old.txt");
    Ftp.SetLocalFileName("new.txt"); // RNTO takes its name from LocalFileName
    EXPECT_TRUE(Ftp.Rename()) << Ftp.ErrorMessage();
    EXPECT_TRUE(QFile::exists(Server.RootFile("new.txt")));
    EXPECT_FALSE(QFile::exists(Server.RootFile("old.txt")));

    Ftp.SetHostFileName("sub");
    EXPECT_TRUE(Ftp.Mkdir()) << Ftp.ErrorMessage();
    EXPECT_TRUE(QFileInfo(Server.RootFile("sub")).isDir());
    EXPECT_EQ(Ftp.DirResult(), "/sub");
    Ftp.SetHostDirName("/sub");
    Ftp.SetHostFileName("x.bin");
    ASSERT_TRUE(Upload("0123", "x.bin")) << Ftp.ErrorMessage();
    ASSERT_TRUE(WriteFile(Dir.filePath("tail.bin"), "4567"));
    Ftp.SetLocalFileName(Local("tail.bin"));
    testsupport::PumpFor(50); // the upload's own notification
    const int Before = Log.DoneCount;
    EXPECT_TRUE(Ftp.AppendFile()) << Ftp.ErrorMessage();
    ASSERT_TRUE(WaitDone(Log, Before));
    EXPECT_EQ(Log.DoneType, ftpAppendAsync);
    EXPECT_EQ(ReadFile(Server.RootFile("sub/x.bin")), "01234567");
    QFile::remove(Server.RootFile("sub/x.bin"));

    Ftp.SetHostDirName("/");
    Ftp.SetHostFileName("sub");
    EXPECT_TRUE(Ftp.Rmdir()) << Ftp.ErrorMessage();
    EXPECT_FALSE(QFileInfo::exists(Server.RootFile("sub")));
}

TEST_P(FtpServerTest, RestartGetAndRestartPut) {
    const QByteArray Content = Pattern(100000, 13);
    ASSERT_TRUE(WriteFile(Server.RootFile("r.bin"), Content));
    // Half of it is here already; only the rest is fetched.
    ASSERT_TRUE(WriteFile(Dir.filePath("r.bin"), Content.left(40000)));
    Ftp.SetHostFileName("r.bin");
    Ftp.SetLocalFileName(Local("r.bin"));
    EXPECT_TRUE(Ftp.RestartGet()) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    EXPECT_TRUE(Log.Shown("> REST 40000"));
    EXPECT_EQ(Ftp.ByteCount(), 60000);
    EXPECT_EQ(ReadFile(Dir.filePath("r.bin")), Content);

    // The server has the first 25000 bytes; the caller names the offset.
    ASSERT_TRUE(WriteFile(Server.RootFile("p.bin"), Content.left(25000)));
    ASSERT_TRUE(WriteFile(Dir.filePath("p.bin"), Content));
    Ftp.SetHostFileName("p.bin");
    Ftp.SetLocalFileName(Local("p.bin"));
    Ftp.SetResumeAt(25000);
    EXPECT_TRUE(Ftp.RestartPut()) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    EXPECT_TRUE(Log.Shown("> REST 25000"));
    EXPECT_TRUE(ReadFile(Server.RootFile("p.bin")) == Content) << Log.Trace();
    EXPECT_EQ(Ftp.ResumeAt(), 0);
}

TEST_P(FtpServerTest, LoginAndDirectoryFailures) {
    Ftp.SetPassWord("wrong");
    Ftp.SetHostFileName("x");
    EXPECT_FALSE(Ftp.FileSize());
    EXPECT_EQ(Ftp.StatusCode(), 530);
    EXPECT_EQ(Ftp.ErrorMessage().substr(0, 4), "530 ");
    Ftp.Abort();

    Ftp.SetPassWord("secret");
    Ftp.SetHostDirName("/no/such/dir");
    EXPECT_FALSE(Ftp.FileSize());
    EXPECT_EQ(Ftp.StatusCode(), 550);
    EXPECT_FALSE(Log.Shown("> SIZE x"));
    Ftp.Abort();
    EXPECT_FALSE(Ftp.Connected());
}

TEST_P(FtpServerTest, AbortFromInsideOnProgress) {
    const QByteArray Content = Pattern(10 * 1024 * 1024, 17);
    ASSERT_TRUE(WriteFile(Dir.filePath("a.bin"), Content));
    Ftp.SetLocalFileName(Local("a.bin"));
    Ftp.SetHostFileName("a.bin");
    // Through the client's Abort, as the main window's abort button does it.
    Ftp.OnProgress = [&](QObject*, qint64 Count, bool&) {
        if (Count > 1024 * 1024 && Ftp.State() != ftpReady) Ftp.Abort();
    };
    EXPECT_FALSE(Ftp.Transmit());
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_FALSE(Ftp.Connected());

    // Through the Abort flag of the event.
    Ftp.OnProgress = [&](QObject*, qint64 Count, bool& Abort) { Abort = Count > 1024 * 1024; };
    EXPECT_FALSE(Ftp.Transmit()) << "an aborted upload is no success";
    EXPECT_TRUE(Log.Shown("! Abort requested"));
    EXPECT_EQ(Ftp.StatusCode(), 426);
    Ftp.Abort();
    Ftp.OnProgress = nullptr;
    EXPECT_TRUE(Ftp.Transmit()) << "the client is usable again";
    EXPECT_EQ(ReadFile(Server.RootFile("a.bin")), Content);
}

TEST_P(FtpServerTest, RefusedConnectionAndUnknownHost) {
    Ftp.SetPort(std::to_string(testsupport::FreePort()));
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.StatusCode(), 500);
    EXPECT_NE(Ftp.ErrorMessage().find("(Winsock error #10061)"), std::string::npos)
        << Ftp.ErrorMessage();
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_FALSE(Ftp.Connected());

    // A name the resolver refuses without asking any name server: no traffic leaves the host.
    Ftp.SetHostName("no..such..host");
    Ftp.SetPort(Server.PortText());
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.StatusCode(), 500);
    EXPECT_EQ(Ftp.ErrorMessage().substr(0, 4), "500 ") << Ftp.ErrorMessage();
    EXPECT_NE(Ftp.ErrorMessage().find("(Winsock error #"), std::string::npos);
    EXPECT_EQ(Ftp.State(), ftpReady);
}

// Servers that misbehave on purpose.
class FtpOddServerTest : public FtpServerTest {
protected:
    void SetUp() override {}
    void Start(const QStringList& Args) {
        Odd = std::make_unique<PyFtpServer>(Args);
        ASSERT_TRUE(Odd->Ok()) << Odd->Output().toStdString();
        Configure(*Odd);
    }
    std::unique_ptr<PyFtpServer> Odd;
};

INSTANTIATE_TEST_SUITE_P(Modes, FtpOddServerTest, ::testing::Values(false, true), Mode);

TEST_P(FtpOddServerTest, RefusedDeleteAndMissingSize) {
    Start({"--refuse-dele", "--no-size"});
    ASSERT_TRUE(WriteFile(Odd->RootFile("keep.jpg"), "x"));
    Ftp.SetHostFileName("keep.jpg");
    EXPECT_FALSE(Ftp.Delete());
    EXPECT_EQ(Ftp.StatusCode(), 550);
    EXPECT_TRUE(QFile::exists(Odd->RootFile("keep.jpg")));
    Ftp.Abort();
    EXPECT_FALSE(Ftp.FileSize());
    EXPECT_EQ(Ftp.SizeResult(), 0);
    EXPECT_GE(Ftp.StatusCode(), 500);
    Ftp.Abort();
}

TEST_P(FtpOddServerTest, UserAnswered230) {
    Start({"--user-230"});
    Ftp.SetPassWord("");
    ASSERT_TRUE(Upload("data", "u.bin")) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    for (const std::string& L : Log.Display)
        EXPECT_NE(L.rfind("> PASS", 0), 0u) << L;
    EXPECT_EQ(ReadFile(Odd->RootFile("u.bin")), "data");
}

TEST_P(FtpOddServerTest, StalledFinalReplyTimesOut) {
    Start({"--stall-226"});
    Ftp.SetTimeout(2);
    EXPECT_FALSE(Upload(Pattern(50000), "s.bin"));
    EXPECT_EQ(Ftp.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(Ftp.StatusCode(), 426);
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_FALSE(Ftp.Connected());
}

TEST_P(FtpOddServerTest, ConnectionDroppedMidTransfer) {
    Start({"--drop-after", "1000000"});
    EXPECT_FALSE(Upload(Pattern(4 * 1024 * 1024), "d.bin")) << Log.Trace();
    EXPECT_NE(Ftp.ErrorMessage(), "426 Timeout") << "the loss is seen, not waited out";
    EXPECT_EQ(Ftp.State(), ftpReady) << Ftp.ErrorMessage() << "\n" << Log.Trace();

    ASSERT_TRUE(WriteFile(Odd->RootFile("d2.bin"), Pattern(4 * 1024 * 1024)));
    Ftp.Abort();
    Ftp.SetHostFileName("d2.bin");
    Ftp.SetLocalFileName(Local("d2.bin"));
    EXPECT_FALSE(Ftp.Receive());
    EXPECT_NE(Ftp.ErrorMessage(), "426 Timeout");
}

// A client living in a worker thread, pumping only the socket layer's messages.
TEST(FtpThreadTest, MultiThreadedClientInAWorkerThread) {
    PyFtpServer Server;
    ASSERT_TRUE(Server.Ok()) << Server.Output().toStdString();
    QTemporaryDir Dir;
    const QByteArray Content = Pattern(500000, 23);
    ASSERT_TRUE(WriteFile(Dir.filePath("t.bin"), Content));
    bool Sent = false, Got = false;
    std::string Error;
    std::unique_ptr<QThread> Worker(QThread::create([&] {
        TFtpClient Ftp;
        Ftp.SetMultiThreaded(true);
        Ftp.SetHostName("127.0.0.1");
        Ftp.SetPort(Server.PortText());
        Ftp.SetUserName("user");
        Ftp.SetPassWord("secret");
        Ftp.SetTimeout(10);
        Ftp.SetLocalFileName(Dir.filePath("t.bin").toStdString());
        Ftp.SetHostFileName("t.bin");
        Sent = Ftp.Transmit();
        Ftp.SetLocalFileName(Dir.filePath("back.bin").toStdString());
        Got = Ftp.Receive();
        Error = Ftp.ErrorMessage();
    }));
    Worker->start();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return Worker->isFinished(); }, 30000));
    EXPECT_TRUE(Sent) << Error;
    EXPECT_TRUE(Got) << Error;
    EXPECT_EQ(ReadFile(Server.RootFile("t.bin")), Content);
    EXPECT_EQ(ReadFile(Dir.filePath("back.bin")), Content);
}
