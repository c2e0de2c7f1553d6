// The upload as one session against real servers: pyftpdlib in plain FTP and over TLS, and
// ProFTPD. Each case runs once per server; a server's refusals come from its own switches or
// configuration, so each fallback meets a real server's answers.

#include "ftp/ftpclient.h"
#include "ftp_fixture.h"
#include "scripted_client.h"
#include "scripted_server.h"
#include "support/test_certs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <algorithm>
#include <gtest/gtest.h>
#include <memory>

using namespace ftptest;

namespace {

enum class Kind { PyPlain, PyTls, ProFtpd };

// What the server refuses (or how slowly it receives).
struct ServerSetup {
    bool RefuseRename = false;    // RNFR (and RNTO) refused: an upload-only account
    bool RefuseOverwrite = false; // RNTO onto an existing file refused
    bool RefuseDotNames = false;  // names beginning with a dot refused
    bool RefuseMkd = false;
    bool Throttled = false; // about 100 KB/s
};

// One of the servers, started with a setup.
class Server {
public:
    Server(Kind K, const ServerSetup& S) {
        if (K == Kind::ProFtpd) {
            QStringList Config;
            if (S.RefuseRename)
                Config << "<Limit RNFR RNTO>"
                       << "DenyAll"
                       << "</Limit>";
            if (S.RefuseOverwrite) Config << "AllowOverwrite off";
            if (S.RefuseDotNames) Config << "PathDenyFilter \"(^|/)[.]\"";
            if (S.RefuseMkd)
                Config << "<Limit MKD XMKD>"
                       << "DenyAll"
                       << "</Limit>";
            if (S.Throttled) Config << "TransferRate STOR 100";
            Pro = std::make_unique<ProFtpServer>(Config);
            return;
        }
        QStringList Args;
        if (S.RefuseRename) Args << "--refuse-rename";
        if (S.RefuseOverwrite) Args << "--refuse-rename-overwrite";
        if (S.RefuseDotNames) Args << "--refuse-dot";
        if (S.RefuseMkd) Args << "--refuse-mkd";
        if (S.Throttled)
            Args << "--read-limit"
                 << "100000";
        if (K == Kind::PyTls) {
            const testsupport::TestCerts& C = testsupport::TestCerts::Get();
            Args << "--tls-cert" << C.Pem("srv") << "--tls-key" << C.Key("srv") << "--tls-required";
        }
        Py = std::make_unique<PyFtpServer>(Args);
    }
    QString Skip() const { return Pro ? Pro->SkipReason() : QString(); }
    bool Ok() const { return Pro ? Pro->Ok() : Py->Ok(); }
    std::string PortText() const { return Pro ? Pro->PortText() : Py->PortText(); }
    QString Root() const { return Pro ? Pro->Root() : Py->Root(); }
    QString Output() { return Pro ? Pro->Output() : Py->Output(); }
    void Kill() { Pro ? Pro->Kill() : Py->Kill(); }

private:
    std::unique_ptr<PyFtpServer> Py;
    std::unique_ptr<ProFtpServer> Pro;
};

// Files in a folder of the server whose name ends in ".part": temporary files left behind.
QStringList Leftovers(const QString& Folder) {
    return QDir(Folder).entryList({"*.part"}, QDir::Files | QDir::Hidden);
}

void Configure(TFtpClient& Ftp, Kind K, const std::string& Port) {
    Ftp.SetHostName(K == Kind::PyTls ? "localhost" : "127.0.0.1");
    Ftp.SetPort(Port);
    Ftp.SetUserName("user");
    Ftp.SetPassWord("secret");
    Ftp.SetPassive(true);
    Ftp.SetTimeout(10);
    Ftp.SetSecurity(K == Kind::PyTls ? ftpSecExplicit : ftpSecNone);
}

class FtpUpload : public ::testing::TestWithParam<Kind> {
protected:
    // Starts the server; false (the test skipped or failed) when it could not be started.
    bool Start(const ServerSetup& S = {}) {
        Srv = std::make_unique<Server>(GetParam(), S);
        if (!Srv->Skip().isEmpty()) return false;
        EXPECT_TRUE(Srv->Ok()) << Srv->Output().toStdString();
        if (!Srv->Ok()) return false;
        Configure(Ftp, GetParam(), Srv->PortText());
        Log.Attach(Ftp);
        return true;
    }
    // Uploads Content as Folder/Name (Folder relative to the server's root).
    bool Upload(const QByteArray& Content, const QString& Folder, const QString& Name) {
        const QString Local = Dir.filePath("local-" + Name);
        if (!WriteFile(Local, Content)) return false;
        Ftp.SetLocalFileName(Local.toStdString());
        Ftp.SetHostDirName(("/" + Folder).toStdString());
        Ftp.SetHostFileName(Name.toStdString());
        return Ftp.Upload();
    }
    // An old picture on the server, readable and replaceable by the server's account.
    QString PutOld(const QString& Folder, const QString& Name, const QByteArray& Content) {
        QDir(Srv->Root()).mkpath(Folder);
        const QString Path = Srv->Root() + "/" + Folder + "/" + Name;
        WriteFile(Path, Content);
        // ProFTPD serves as nobody: the old file and its folder must be its own.
        const QString Owner = QFileInfo(Srv->Root()).owner();
        QProcess::execute("chown", {"-R", Owner, Srv->Root()});
        return Path;
    }

    std::unique_ptr<Server> Srv;
    TFtpClient Ftp;
    RequestLog Log;
    QTemporaryDir Dir;
};

#define START_OR_SKIP(...)                                                                         \
    if (!Start(__VA_ARGS__)) {                                                                     \
        if (!Srv->Skip().isEmpty()) GTEST_SKIP() << Srv->Skip().toStdString();                     \
        return;                                                                                    \
    }

std::string KindName(const ::testing::TestParamInfo<Kind>& Info) {
    switch (Info.param) {
    case Kind::PyPlain:
        return "Pyftpdlib";
    case Kind::PyTls:
        return "PyftpdlibTls";
    default:
        return "ProFtpd";
    }
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Servers, FtpUpload,
                         ::testing::Values(Kind::PyPlain, Kind::PyTls, Kind::ProFtpd), KindName);

// A new name in a folder that is missing two levels deep, then a replace (in active mode):
// one login each, the folder made, the file whole under its name, no temporary file left.
TEST_P(FtpUpload, NewNameInAMissingFolderThenReplace) {
    START_OR_SKIP();
    const QByteArray First = Pattern(200000, 1);
    ASSERT_TRUE(Upload(First, "pics/2026", "a.jpg")) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    const QString Folder = Srv->Root() + "/pics/2026";
    EXPECT_EQ(ReadFile(Folder + "/a.jpg").size(), First.size()) << Log.Trace();
    EXPECT_EQ(ReadFile(Folder + "/a.jpg"), First);
    const QByteArray Second = Pattern(150000, 2);
    Ftp.SetPassive(false);
    ASSERT_TRUE(Upload(Second, "pics/2026", "a.jpg")) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    EXPECT_EQ(ReadFile(Folder + "/a.jpg").size(), Second.size()) << Log.Trace();
    EXPECT_EQ(ReadFile(Folder + "/a.jpg"), Second);
    EXPECT_EQ(Leftovers(Folder), QStringList());
    const std::string Trace = Log.Trace();
    EXPECT_EQ(std::count(Log.Display.begin(), Log.Display.end(), "> USER user"), 2) << Trace;
    EXPECT_TRUE(Log.Shown("> TYPE I"));
    EXPECT_TRUE(Log.Shown("> MKD pics"));
    EXPECT_TRUE(Log.Shown("> RNTO a.jpg"));
}

// A folder the server will not make: the upload fails with the server's reason.
TEST_P(FtpUpload, FolderThatCannotBeCreated) {
    START_OR_SKIP(ServerSetup{.RefuseMkd = true});
    EXPECT_FALSE(Upload(Pattern(1000), "nowhere", "a.jpg"));
    EXPECT_EQ(Ftp.LastFailure(), TTransferFailure::Refused);
    EXPECT_EQ(Ftp.ErrorMessage().rfind("550", 0), 0u) << Ftp.ErrorMessage();
    EXPECT_FALSE(QFileInfo::exists(Srv->Root() + "/nowhere"));
    EXPECT_FALSE(Log.Trace().find("> STOR") != std::string::npos) << Log.Trace();
}

// Each refusal has its fallback; every one of them replaces the old file whole and leaves
// no temporary file.
TEST_P(FtpUpload, FallbacksStillReplaceTheFile) {
    struct Case {
        const char* What;
        ServerSetup S;
        const char* Expected; // a command the fallback sends (prefix)
    };
    const Case Cases[] = {
        {"rename refused", ServerSetup{.RefuseRename = true}, "> STOR b.jpg"},
        {"rename onto an existing file refused", ServerSetup{.RefuseOverwrite = true},
         "> DELE b.jpg"},
        {"hidden name refused", ServerSetup{.RefuseDotNames = true}, "> STOR b.jpg."},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        // pyftpdlib's TLS data handler cannot refuse a STOR cleanly once the data connection's
        // handshake is under way (it drops the connection mid-handshake).
        if (C.S.RefuseDotNames && GetParam() == Kind::PyTls) continue;
        Log = {};
        START_OR_SKIP(C.S);
        const QString Old = PutOld("up", "b.jpg", Pattern(50000, 7));
        const QByteArray New = Pattern(120000, 8);
        ASSERT_TRUE(Upload(New, "up", "b.jpg")) << Ftp.ErrorMessage() << "\n" << Log.Trace();
        EXPECT_EQ(ReadFile(Old), New);
        const auto Sent =
            std::find_if(Log.Display.begin(), Log.Display.end(),
                         [&](const std::string& L) { return L.rfind(C.Expected, 0) == 0; });
        EXPECT_NE(Sent, Log.Display.end()) << Log.Trace();
        EXPECT_EQ(Leftovers(Srv->Root() + "/up"), QStringList()) << Log.Trace();
        Srv.reset();
    }
}

// The server dies half-way through a replace: the old file is untouched.
TEST_P(FtpUpload, ServerKilledDuringAReplaceLeavesTheOldFile) {
    if (GetParam() == Kind::PyTls) GTEST_SKIP() << "the throttled server speaks plain FTP";
    START_OR_SKIP(ServerSetup{.Throttled = true});
    const QByteArray OldContent = Pattern(80000, 3);
    const QString Old = PutOld("up", "c.jpg", OldContent);
    bool Killed = false;
    Ftp.SetProgressHandler([&](QObject*, qint64 Count, bool&) {
        if (Count > 150000 && !Killed) {
            Killed = true;
            Srv->Kill();
        }
    });
    EXPECT_FALSE(Upload(Pattern(1000000, 4), "up", "c.jpg"));
    EXPECT_TRUE(Killed);
    EXPECT_EQ(ReadFile(Old), OldContent);
}

// The user aborts half-way through a replace: the temporary file is removed on the same
// connection and the old file is untouched.
TEST_P(FtpUpload, AbortDuringAReplaceRemovesTheTemporaryFile) {
    if (GetParam() == Kind::PyTls) GTEST_SKIP() << "the throttled server speaks plain FTP";
    START_OR_SKIP(ServerSetup{.Throttled = true});
    const QByteArray OldContent = Pattern(80000, 3);
    const QString Old = PutOld("up", "e.jpg", OldContent);
    Ftp.SetProgressHandler([&](QObject*, qint64 Count, bool&) {
        if (Count > 150000) Ftp.Abort();
    });
    EXPECT_FALSE(Upload(Pattern(1000000, 4), "up", "e.jpg"));
    EXPECT_EQ(Ftp.LastFailure(), TTransferFailure::Aborted) << Log.Trace();
    EXPECT_EQ(ReadFile(Old), OldContent);
    EXPECT_EQ(Leftovers(Srv->Root() + "/up"), QStringList()) << Log.Trace();
}

// The uploading program dies half-way through a replace: the old file is untouched.
TEST_P(FtpUpload, ProgramKilledDuringAReplaceLeavesTheOldFile) {
    if (GetParam() == Kind::PyTls) GTEST_SKIP() << "the throttled server speaks plain FTP";
    START_OR_SKIP(ServerSetup{.Throttled = true});
    const QByteArray OldContent = Pattern(80000, 5);
    const QString Old = PutOld("up", "d.jpg", OldContent);
    const QString Local = Dir.filePath("big.jpg");
    ASSERT_TRUE(WriteFile(Local, Pattern(1000000, 6)));
    QProcess Child;
    QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
    Env.insert("IMGLIFT_UPLOAD_CHILD", QString::fromStdString(Srv->PortText()) + " " +
                                           (GetParam() == Kind::ProFtpd ? "1" : "0") + " " + Local);
    Child.setProcessEnvironment(Env);
    Child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=UploadChild.Run"});
    ASSERT_TRUE(Child.waitForStarted());
    // Killed once the temporary file holds part of the picture.
    const bool Sending = testsupport::PumpUntil(
        [&] {
            const QFileInfoList Parts =
                QDir(Srv->Root() + "/up").entryInfoList({"*.part"}, QDir::Files | QDir::Hidden);
            return !Parts.isEmpty() && Parts.first().size() > 100000;
        },
        15000);
    Child.kill();
    Child.waitForFinished();
    ASSERT_TRUE(Sending) << Child.readAll().toStdString();
    testsupport::PumpFor(300);
    EXPECT_EQ(ReadFile(Old), OldContent);
}

// What real servers will not do, from a scripted one.
class ScriptedUpload : public ScriptedClientTest {};

// A server that calls a transfer complete before the data connection carried the file has
// stored less than the file: the upload fails, and its temporary file is removed.
TEST_F(ScriptedUpload, UploadAnswered226BeforeAnyDataFails) {
    Server.On("PASV", [](Session& S, const QByteArray&) {
        S.ListenPassive();
        S.Send(S.PasvReply());
    });
    Server.On("STOR", [](Session& S, const QByteArray&) {
        S.OpenData([&S] { S.Send("150 Go ahead.\r\n226 Transfer complete.\r\n"); });
    });
    Server.Reply("DELE", "250 Deleted.\r\n");
    Ftp.SetPassive(true);
    const QString Local = Dir.filePath("up.bin");
    ASSERT_TRUE(WriteFile(Local, Pattern(400000, 3)));
    Ftp.SetLocalFileName(Local.toStdString());
    Ftp.SetHostFileName("up.bin");
    Ftp.SetHostDirName("/pics");
    EXPECT_FALSE(Ftp.Upload()) << Log.Trace();
    EXPECT_EQ(Ftp.LastFailure(), TTransferFailure::Refused);
    EXPECT_NE(Ftp.ErrorMessage().find("before the whole file"), std::string::npos)
        << Ftp.ErrorMessage();
    const QList<QByteArray> Commands = Server.Commands();
    const auto Stor = std::find_if(Commands.begin(), Commands.end(),
                                   [](const QByteArray& C) { return C.startsWith("STOR "); });
    ASSERT_NE(Stor, Commands.end());
    EXPECT_TRUE(Stor->startsWith("STOR .up.bin.") && Stor->endsWith(".part")) << Stor->data();
    EXPECT_TRUE(Sent("DELE " + Stor->mid(5))) << "the temporary file is removed";
    EXPECT_FALSE(Commands.contains("RNTO up.bin"));
}

// ProFTPD's default: no SIZE in ASCII mode. The remote delete sets binary mode first, so it
// finds the file.
TEST_F(ScriptedUpload, SizeRefusedInAsciiModeStillFindsTheFileToDelete) {
    auto Binary = std::make_shared<bool>(false);
    Server.On("TYPE", [Binary](Session& S, const QByteArray& Arg) {
        *Binary = Arg == "I";
        S.Send("200 Type set.\r\n");
    });
    Server.On("SIZE", [Binary](Session& S, const QByteArray&) {
        S.Send(*Binary ? "213 4711\r\n" : "550 SIZE not allowed in ASCII mode\r\n");
    });
    Server.Reply("DELE", "250 Deleted.\r\n");
    Ftp.SetHostDirName("/pics");
    Ftp.SetHostFileName("old.jpg");
    ASSERT_TRUE(Ftp.FileSize()) << Log.Trace();
    EXPECT_EQ(Ftp.SizeResult(), 4711);
    ASSERT_TRUE(Ftp.Delete()) << Log.Trace();
    EXPECT_TRUE(Sent("DELE old.jpg"));
}

// The program that ProgramKilledDuringAReplaceLeavesTheOldFile kills: an upload and nothing
// else (skipped when run on its own).
TEST(UploadChild, Run) {
    const QStringList Args = QString::fromLocal8Bit(qgetenv("IMGLIFT_UPLOAD_CHILD")).split(' ');
    if (Args.size() != 3) GTEST_SKIP() << "only run by ProgramKilledDuringAReplaceLeavesTheOldFile";
    TFtpClient Ftp;
    Configure(Ftp, Args[1] == "1" ? Kind::ProFtpd : Kind::PyPlain, Args[0].toStdString());
    Ftp.SetTimeout(60);
    Ftp.SetLocalFileName(Args[2].toStdString());
    Ftp.SetHostDirName("/up");
    Ftp.SetHostFileName("d.jpg");
    EXPECT_TRUE(Ftp.Upload());
}
