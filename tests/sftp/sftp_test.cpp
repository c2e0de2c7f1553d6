// TSftpClient against OpenSSH's sshd on a loopback port (sshd_fixture.h).

#include "ftp/sftpclient.h"
#include "sshd_fixture.h"
#include "support/test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace sftptest;

QByteArray Pattern(qint64 Size, quint32 Seed) {
    QByteArray Data(Size, Qt::Uninitialized);
    QRandomGenerator Gen(Seed);
    for (char& C : Data)
        C = char(Gen.generate() & 0xff);
    return Data;
}

Server* GServer = nullptr;

class SftpTest : public testing::Test {
protected:
    static void SetUpTestSuite() {
        GServer = new Server;
        GServer->Start();
    }
    static void TearDownTestSuite() {
        delete GServer;
        GServer = nullptr;
    }

    void SetUp() override {
        if (!GServer->SkipReason.isEmpty()) GTEST_SKIP() << GServer->SkipReason.toStdString();
        // Each test has its own SSH folder: no default keys, the host key known.
        ++Count;
        SshDir = GServer->Path(QStringLiteral("client%1").arg(Count));
        QDir().mkpath(SshDir);
        KnownHosts = SshDir + "/known_hosts";
        WriteAll(KnownHosts, (HostEntry(GServer->HostPub) + '\n').toUtf8());
        Client.SetHostName("127.0.0.1");
        Client.SetPort(std::to_string(GServer->Port));
        Client.SetUserName(User.toStdString());
        Client.SetPassWord(Password);
        Client.SetSshDir(SshDir.toStdString());
        Client.OnUnknownHostKey = [this](QObject*, const std::string& Type, const std::string& Fp,
                                         bool& Accept) {
            Questions.push_back(Type + ' ' + Fp);
            Accept = AcceptKey;
        };
        Local = SshDir + "/local.jpg";
    }

    static QString HostEntry(const QString& Key) { return GServer->HostEntry(Key); }
    QString Remote(const QString& Name) const { return GServer->Home + '/' + Name; }
    bool Upload(const QByteArray& Data, const std::string& Name, const std::string& Dir = "") {
        WriteAll(Local, Data);
        Client.SetLocalFileName(Local.toStdString());
        Client.SetHostDirName(Dir);
        Client.SetHostFileName(Name);
        return Client.Transmit();
    }

    static inline int Count = 0;
    TSftpClient Client;
    QString SshDir, KnownHosts, Local;
    bool AcceptKey = false;
    std::vector<std::string> Questions;
};

TEST_F(SftpTest, UploadsNewAndExistingNamesWithProgress) {
    std::vector<qint64> Progress;
    Client.OnProgress = [&](QObject*, qint64 Count, bool&) { Progress.push_back(Count); };
    const QByteArray Big = Pattern(3 * 1024 * 1024 + 17, 1);
    ASSERT_TRUE(Upload(Big, "pic.jpg", "up")) << Client.ErrorMessage();
    EXPECT_EQ(ReadAll(Remote("up/pic.jpg")), Big);
    EXPECT_EQ(Client.ByteCount(), Big.size());
    ASSERT_FALSE(Progress.empty());
    EXPECT_TRUE(std::is_sorted(Progress.begin(), Progress.end()));
    EXPECT_EQ(Progress.back(), Big.size());

    // A shorter file over the longer one leaves nothing of the old one behind.
    const QByteArray Small = Pattern(1000, 2);
    ASSERT_TRUE(Upload(Small, "pic.jpg", "up")) << Client.ErrorMessage();
    EXPECT_EQ(ReadAll(Remote("up/pic.jpg")), Small);
    EXPECT_TRUE(Client.FileSize());
    EXPECT_EQ(Client.SizeResult(), Small.size());

    // The folder may be absolute too; no folder is the login folder.
    ASSERT_TRUE(Upload(Small, "abs.jpg", (GServer->Home + "/up/").toStdString()));
    EXPECT_EQ(ReadAll(Remote("up/abs.jpg")), Small);
    ASSERT_TRUE(Upload(Small, "top.jpg"));
    EXPECT_EQ(ReadAll(Remote("top.jpg")), Small);
    EXPECT_TRUE(Questions.empty());
}

ino_t Inode(const QString& Path) {
    struct stat St {};
    return ::stat(QFile::encodeName(Path).constData(), &St) == 0 ? St.st_ino : 0;
}

// Files in a remote folder, the temporary ones of an upload included.
QStringList Listing(const QString& Folder) {
    return QDir(Folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

TEST_F(SftpTest, UploadStoresReplacesAndCreatesFolders) {
    const auto Put = [&](const QByteArray& Data, const std::string& Name, const std::string& Dir) {
        WriteAll(Local, Data);
        Client.SetLocalFileName(Local.toStdString());
        Client.SetHostDirName(Dir);
        Client.SetHostFileName(Name);
        return Client.Upload();
    };
    const QByteArray Old = Pattern(300 * 1024, 4), New = Pattern(1000, 5);
    ASSERT_TRUE(Put(Old, "u.jpg", "up")) << Client.ErrorMessage();
    EXPECT_EQ(ReadAll(Remote("up/u.jpg")), Old);
    EXPECT_EQ(Client.ByteCount(), Old.size());
    ASSERT_TRUE(Put(New, "u.jpg", "up")) << Client.ErrorMessage();
    EXPECT_EQ(ReadAll(Remote("up/u.jpg")), New);
    EXPECT_FALSE(Listing(Remote("up")).join('|').contains(".part"));

    // A folder that is missing is made level by level, as the server's user.
    ASSERT_TRUE(Put(New, "deep.jpg", "up/new/deeper/")) << Client.ErrorMessage();
    EXPECT_EQ(ReadAll(Remote("up/new/deeper/deep.jpg")), New);
    EXPECT_EQ(Listing(Remote("up/new/deeper")), QStringList{"deep.jpg"});

    // One that cannot be made fails with the server's reason and stores nothing.
    QDir().mkpath(Remote("locked"));
    QFile::setPermissions(Remote("locked"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ReadOther | QFile::ExeOther);
    EXPECT_FALSE(Put(New, "x.jpg", "locked/sub"));
    EXPECT_NE(Client.ErrorMessage().find("Cannot create the folder locked/sub: permission denied"),
              std::string::npos)
        << Client.ErrorMessage();
    EXPECT_FALSE(QFile::exists(Remote("locked/sub")));
}

TEST_F(SftpTest, RefusedRenameStoresUnderTheRealName) {
    WriteAll(KnownHosts, (HostEntry(GServer->HostPub) + '\n' +
                          Server::HostEntry(GServer->HostPub, GServer->NoRenamePort) + '\n')
                             .toUtf8());
    Client.SetPort(std::to_string(GServer->NoRenamePort));
    // An old file the account may overwrite, though not rename onto.
    WriteAll(Remote("up/drop.jpg"), "old");
    QFile::setPermissions(Remote("up/drop.jpg"), QFile::ReadOwner | QFile::WriteOwner |
                                                     QFile::ReadOther | QFile::WriteOther);
    const ino_t OldInode = Inode(Remote("up/drop.jpg"));
    const QByteArray New = Pattern(70000, 8);
    WriteAll(Local, New);
    Client.SetLocalFileName(Local.toStdString());
    Client.SetHostDirName("up");
    Client.SetHostFileName("drop.jpg");
    ASSERT_TRUE(Client.Upload()) << Client.ErrorMessage();
    EXPECT_EQ(ReadAll(Remote("up/drop.jpg")), New);
    EXPECT_FALSE(Listing(Remote("up")).join('|').contains(".part"));
    // Written into the old file, not renamed onto it.
    EXPECT_EQ(Inode(Remote("up/drop.jpg")), OldInode);
}

TEST_F(SftpTest, AbortedUploadLeavesTheOldFileWhole) {
    const QByteArray Old = Pattern(5000, 6);
    WriteAll(Remote("up/keep.jpg"), Old);
    Client.OnProgress = [&](QObject*, qint64, bool& AbortNow) { AbortNow = true; };
    WriteAll(Local, Pattern(48 * 1024 * 1024, 7));
    Client.SetLocalFileName(Local.toStdString());
    Client.SetHostDirName("up");
    Client.SetHostFileName("keep.jpg");
    EXPECT_FALSE(Client.Upload());
    EXPECT_EQ(Client.LastFailure(), TTransferFailure::Aborted);
    EXPECT_EQ(ReadAll(Remote("up/keep.jpg")), Old);
    EXPECT_FALSE(Listing(Remote("up")).join('|').contains(".part"));
}

TEST_F(SftpTest, DeletesFoundFileAndReportsMissingOne) {
    ASSERT_TRUE(Upload("x", "gone.jpg", "up"));
    EXPECT_TRUE(Client.FileSize());
    EXPECT_EQ(Client.SizeResult(), 1);
    EXPECT_TRUE(Client.Delete()) << Client.ErrorMessage();
    EXPECT_FALSE(QFile::exists(Remote("up/gone.jpg")));

    EXPECT_FALSE(Client.FileSize());
    EXPECT_EQ(Client.SizeResult(), 0);
    EXPECT_FALSE(Client.Delete());
    EXPECT_NE(Client.ErrorMessage().find("gone.jpg"), std::string::npos) << Client.ErrorMessage();
}

TEST_F(SftpTest, MissingFolderFailsBeforeTheSize) {
    ASSERT_TRUE(Upload("abc", "a.jpg", "up"));
    EXPECT_TRUE(Client.FileSize());
    Client.SetHostDirName("nowhere");
    EXPECT_FALSE(Client.FileSize());
    EXPECT_EQ(Client.SizeResult(), 3) << "a failure before the size step keeps the old size";
    EXPECT_FALSE(Upload("abc", "a.jpg", "nowhere"));
    EXPECT_NE(Client.ErrorMessage().find("nowhere"), std::string::npos) << Client.ErrorMessage();
}

TEST_F(SftpTest, WrongPasswordFails) {
    Client.SetPassWord("wrong");
    EXPECT_FALSE(Upload("abc", "pw.jpg"));
    EXPECT_NE(Client.ErrorMessage().find("Authentication"), std::string::npos)
        << Client.ErrorMessage();
    EXPECT_FALSE(QFile::exists(Remote("pw.jpg")));
    // What the refused-key case relies on: a password that was sent shows in the log.
    EXPECT_TRUE(
        testsupport::PumpUntil([] { return GServer->Log().contains("Failed password for"); }));
}

TEST_F(SftpTest, EmptyPasswordUsesTheAgent) {
    Client.SetPassWord("");
    const QByteArray OldSock = qgetenv("SSH_AUTH_SOCK");
    qunsetenv("SSH_AUTH_SOCK");
    EXPECT_FALSE(Upload("k", "key.jpg")) << "no agent, no default key";
    qputenv("SSH_AUTH_SOCK", GServer->AgentSocket.toLocal8Bit());
    EXPECT_TRUE(Upload("k", "key.jpg")) << Client.ErrorMessage();
    qputenv("SSH_AUTH_SOCK", OldSock);
    EXPECT_EQ(ReadAll(Remote("key.jpg")), "k");
    EXPECT_TRUE(GServer->Log().contains("Accepted publickey for " + User));
}

TEST_F(SftpTest, UnknownHostKeyAcceptedIsRemembered) {
    // A known hosts file in a folder that does not exist yet, as for a fresh account.
    KnownHosts = SshDir + "/new/known_hosts";
    Client.SetKnownHostsFile(KnownHosts.toStdString());
    AcceptKey = true;
    ASSERT_TRUE(Upload("abc", "yes.jpg")) << Client.ErrorMessage();
    ASSERT_EQ(Questions.size(), 1u);
    // The fingerprint as ssh-keygen shows it.
    const QString Listed =
        RunProgram("ssh-keygen", {"-l", "-f", GServer->Path("host_key.pub")}).Output;
    const QString Fp = Listed.section(' ', 1, 1);
    EXPECT_TRUE(Fp.startsWith("SHA256:") && !Fp.endsWith('='));
    EXPECT_EQ(Questions[0], "ED25519 " + Fp.toStdString());
    EXPECT_TRUE(ReadAll(KnownHosts).contains(GServer->HostPub.section(' ', 1, 1).toLatin1()));

    EXPECT_TRUE(Client.FileSize());
    EXPECT_EQ(Questions.size(), 1u);
}

TEST_F(SftpTest, UnknownHostKeyRefusedSendsNoPassword) {
    WriteAll(KnownHosts, "");
    const qsizetype LogBefore = GServer->Log().size();
    AcceptKey = false;
    EXPECT_FALSE(Upload("abc", "no.jpg"));
    EXPECT_EQ(Questions.size(), 1u);
    EXPECT_FALSE(QFile::exists(Remote("no.jpg")));
    testsupport::PumpFor(200); // sshd writes its log a moment later
    const QString Log = GServer->Log().mid(LogBefore);
    EXPECT_FALSE(Log.contains("password for")) << Log.toStdString();
    EXPECT_FALSE(ReadAll(KnownHosts).contains("ssh-ed25519"));
}

TEST_F(SftpTest, ChangedHostKeyIsRefusedWithTheLine) {
    WriteAll(KnownHosts,
             ("other.example " + GServer->HostPub + '\n' + HostEntry(GServer->OtherPub) + '\n')
                 .toUtf8());
    AcceptKey = true;
    EXPECT_FALSE(Upload("abc", "changed.jpg"));
    EXPECT_TRUE(Questions.empty());
    const std::string& Text = Client.ErrorMessage();
    EXPECT_NE(Text.find("REMOTE HOST IDENTIFICATION HAS CHANGED"), std::string::npos) << Text;
    EXPECT_NE(Text.find("Offending ED25519 key in " + KnownHosts.toStdString() + ":2"),
              std::string::npos)
        << Text;
    EXPECT_FALSE(QFile::exists(Remote("changed.jpg")));
}

TEST_F(SftpTest, ServerDownFails) {
    Client.SetPort(std::to_string(testsupport::FreePort()));
    EXPECT_FALSE(Upload("abc", "down.jpg"));
    EXPECT_NE(Client.ErrorMessage().find("Cannot connect"), std::string::npos)
        << Client.ErrorMessage();
}

TEST_F(SftpTest, AbortEndsTheTransferAndRemovesThePart) {
    const QByteArray Big = Pattern(48 * 1024 * 1024, 3);
    qint64 Seen = 0;
    bool InnerCall = true;
    // Through the handler's flag, then through Abort() as the abort button does it.
    for (const bool ByButton : {false, true}) {
        Client.OnProgress = [&](QObject*, qint64 Count, bool& AbortNow) {
            Seen = Count;
            InnerCall = Client.FileSize(); // a second call during the wait is refused
            if (ByButton)
                Client.Abort();
            else
                AbortNow = true;
        };
        EXPECT_FALSE(Upload(Big, "big.jpg"));
        EXPECT_EQ(Client.ErrorMessage(), "Aborted");
        EXPECT_FALSE(InnerCall);
        EXPECT_GT(Seen, 0);
        EXPECT_LT(Seen, Big.size());
        EXPECT_FALSE(QFile::exists(Remote("big.jpg")));
    }
}

// A server that accepts and then says nothing: the call gives up after Timeout, while this
// thread's timers keep running.
TEST(SftpWait, SilentServerTimesOutWhileEventsFlow) {
    QTcpServer Silent;
    ASSERT_TRUE(Silent.listen(QHostAddress::LocalHost, 0));
    TSftpClient Client;
    Client.SetHostName("127.0.0.1");
    Client.SetPort(std::to_string(Silent.serverPort()));
    Client.SetTimeout(1);
    int Ticks = 0;
    QTimer Tick;
    QObject::connect(&Tick, &QTimer::timeout, [&] { ++Ticks; });
    Tick.start(20);
    EXPECT_FALSE(Client.FileSize());
    EXPECT_NE(Client.ErrorMessage().find("Timeout"), std::string::npos) << Client.ErrorMessage();
    EXPECT_GT(Ticks, 10);
}

} // namespace
