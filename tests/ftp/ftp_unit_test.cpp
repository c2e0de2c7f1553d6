// The FTP client's pieces that need no server: reply text helpers, property mappings,
// usage errors and the idle abort.

#include "ftp/ftpclient.h"
#include "ftp_fixture.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace ftptest;

TEST(FtpText, ReadNumberSkipsBlanksAndReadsSignedDigits) {
    const TFtpNumber Code = ReadNumber("213 48213");
    EXPECT_EQ(Code.Value, 213);
    EXPECT_EQ(Code.Pos, 3u);
    EXPECT_EQ(ReadNumber("213 48213", Code.Pos).Value, 48213);

    const TFtpNumber Neg = ReadNumber(" \t\r\n-12x");
    EXPECT_EQ(Neg.Value, -12);
    EXPECT_EQ(Neg.Pos, 7u);
    EXPECT_EQ(ReadNumber("+7").Value, 7);
    const TFtpNumber None = ReadNumber("abc");
    EXPECT_EQ(None.Value, 0);
    EXPECT_EQ(None.Pos, 0u);
    EXPECT_EQ(ReadNumber("").Value, 0);
}

TEST(FtpText, ReadQuotedHandlesDoubledAndMissingQuotes) {
    EXPECT_EQ(ReadQuoted(" \"/pub\" is the current directory"), "/pub");
    EXPECT_EQ(ReadQuoted("\"/a\"\"b\" created"), "/a\"b");
    EXPECT_EQ(ReadQuoted("\"unterminated"), "unterminated");
    EXPECT_EQ(ReadQuoted("no quote here"), "");
    EXPECT_EQ(ReadQuoted("257 \"/x\"", 3), "/x");
    EXPECT_EQ(ReadQuoted("\"\""), "");
}

TEST(FtpText, LocalFileSizeOfFilesOnly) {
    QTemporaryDir Dir;
    const QString File = Dir.filePath("f.bin");
    ASSERT_TRUE(WriteFile(File, Pattern(1234)));
    EXPECT_EQ(LocalFileSize(File.toStdString()), 1234);
    EXPECT_EQ(LocalFileSize(Dir.filePath("missing").toStdString()), -1);
    EXPECT_EQ(LocalFileSize(Dir.path().toStdString()), -1);
    EXPECT_EQ(LocalFileSize(""), -1);
    // A relative name is taken from the current folder.
    const QString Old = QDir::currentPath();
    QDir::setCurrent(Dir.path());
    EXPECT_EQ(LocalFileSize("f.bin"), 1234);
    QDir::setCurrent(Old);
}

TEST(FtpProperties, Defaults) {
    TFtpClient Ftp;
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_EQ(Ftp.Port(), "ftp");
    EXPECT_EQ(Ftp.ProxyPort(), "ftp");
    EXPECT_EQ(Ftp.LocalAddr(), "0.0.0.0");
    EXPECT_TRUE(Ftp.Binary());
    EXPECT_EQ(Ftp.ShareMode(), ftpShareExclusive);
    EXPECT_EQ(Ftp.Options(), TFtpOptions(ftpAcceptLF));
    EXPECT_EQ(Ftp.ConnectionType(), ftpDirect);
    EXPECT_EQ(Ftp.DisplayFileMode(), ftpLineByLine);
    EXPECT_FALSE(Ftp.Passive());
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_EQ(Ftp.Timeout(), 15);
    EXPECT_FALSE(Ftp.MultiThreaded());
    EXPECT_EQ(Ftp.RequestType(), ftpNone);
    EXPECT_NE(Ftp.ControlSocket(), nullptr);
    EXPECT_NE(Ftp.DataSocket(), nullptr);
    EXPECT_NE(Ftp.ControlSocket(), Ftp.DataSocket());
}

TEST(FtpProperties, ShareModeBinaryAndDisplayModeMappings) {
    TCustomFtpCli Ftp;
    for (const TFtpShareMode M : {ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite,
                                  ftpShareDenyRead, ftpShareDenyNone}) {
        Ftp.SetShareMode(M);
        EXPECT_EQ(Ftp.ShareMode(), M);
    }
    Ftp.SetShareMode(static_cast<TFtpShareMode>(9));
    EXPECT_EQ(Ftp.ShareMode(), ftpShareExclusive);

    Ftp.SetBinary(false);
    EXPECT_FALSE(Ftp.Binary());
    Ftp.SetBinary(true);
    EXPECT_TRUE(Ftp.Binary());

    Ftp.SetDisplayFileMode(ftpBinary);
    EXPECT_EQ(Ftp.DisplayFileMode(), ftpBinary);
    Ftp.SetDisplayFileMode(static_cast<TFtpDisplayFileMode>(5));
    EXPECT_EQ(Ftp.DisplayFileMode(), ftpLineByLine);
}

TEST(FtpProperties, ConnectionTypesForcePassive) {
    TCustomFtpCli Ftp;
    Ftp.SetPassive(true);
    EXPECT_TRUE(Ftp.Passive());
    Ftp.SetPassive(false);
    EXPECT_FALSE(Ftp.Passive());
    for (const TFtpConnectionType T : {ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5}) {
        Ftp.SetConnectionType(ftpDirect);
        Ftp.SetPassive(false);
        Ftp.SetConnectionType(T);
        EXPECT_EQ(Ftp.ConnectionType(), T);
        EXPECT_TRUE(Ftp.Passive());
        Ftp.SetPassive(false);
        EXPECT_TRUE(Ftp.Passive()) << "only direct connections may be active";
    }
    Ftp.SetConnectionType(static_cast<TFtpConnectionType>(42));
    EXPECT_EQ(Ftp.ConnectionType(), ftpDirect);
    EXPECT_TRUE(Ftp.Passive()) << "going back to direct leaves Passive as it was";
}

TEST(FtpProperties, LocalStreamAndLocalFileNameReplaceEachOther) {
    TCustomFtpCli Ftp;
    Ftp.SetLocalFileName("a.txt");
    QBuffer Buffer;
    Ftp.SetLocalStream(&Buffer);
    EXPECT_EQ(Ftp.LocalStream(), &Buffer);
    EXPECT_EQ(Ftp.LocalFileName(), "");
    Ftp.SetLocalFileName("b.txt");
    EXPECT_EQ(Ftp.LocalFileName(), "b.txt");
    Ftp.SetLocalStream(nullptr);
    EXPECT_EQ(Ftp.LocalStream(), nullptr);
}

TEST(FtpUsageErrors, RaisedWithoutOnErrorAndGivenToOnError) {
    TCustomFtpCli Ftp;
    try {
        Ftp.UserAsync();
        FAIL() << "no exception";
    } catch (const FtpException& E) {
        EXPECT_EQ(E.Message(), "UserName emtpy");
    }
    Ftp.SetUserName("u");
    try {
        Ftp.UserAsync();
        FAIL() << "no exception";
    } catch (const FtpException& E) {
        EXPECT_EQ(E.Message(), "FTP component not connected");
    }
    EXPECT_THROW(Ftp.PassAsync(), FtpException);
    EXPECT_THROW(Ftp.CwdAsync(), FtpException);
    EXPECT_THROW(Ftp.ExecGetAsync(), FtpException);
    EXPECT_THROW(Ftp.ExecPutAsync(), FtpException);
    EXPECT_THROW(Ftp.GetAsync(), FtpException);

    std::vector<std::string> Errors;
    RequestLog Log;
    Log.Attach(Ftp);
    Ftp.OnError = [&](QObject*, const std::string& Msg) { Errors.push_back(Msg); };
    Ftp.SetPassWord("");
    Ftp.PassAsync();
    Ftp.SetHostDirName("");
    Ftp.CwdAsync();
    Ftp.ExecPutAsync();
    EXPECT_EQ(Errors, (std::vector<std::string>{"Password emtpy", "HostDirName emtpy",
                                                "STOR/APPE: not connected"}));
    EXPECT_EQ(Ftp.State(), ftpReady);
    testsupport::PumpFor(50);
    EXPECT_EQ(Log.DoneCount, 0) << "a refused operation reports nothing later";
}

TEST(FtpUsageErrors, DownloadWithoutTargetAndTransferVerbInMessage) {
    TCustomFtpCli Ftp;
    std::vector<std::string> Errors;
    Ftp.OnError = [&](QObject*, const std::string& Msg) { Errors.push_back(Msg); };
    Ftp.ExecDirAsync();
    EXPECT_EQ(Errors.back(), ": not connected") << "no transfer ran yet, so no verb";
}

TEST(FtpAbort, IdleAbortChangesStateTwiceAndPostsNothing) {
    TCustomFtpCli Ftp;
    RequestLog Log;
    Log.Attach(Ftp);
    std::vector<TFtpState> States;
    Ftp.OnStateChange = [&](QObject*) { States.push_back(Ftp.State()); };
    Ftp.AbortAsync();
    EXPECT_EQ(States, (std::vector<TFtpState>{ftpAbort, ftpReady}));
    testsupport::PumpFor(50);
    EXPECT_EQ(Log.DoneCount, 0);
}

TEST(FtpCommand, QuitWhileNotConnectedIsShownNotSentAndWaits) {
    TCustomFtpCli Ftp;
    RequestLog Log;
    Log.Attach(Ftp);
    std::string Seen;
    Ftp.OnCommand = [&](QObject*, std::string& Cmd) { Seen = Cmd; };
    Ftp.QuitAsync();
    EXPECT_EQ(Seen, "QUIT");
    EXPECT_TRUE(Log.Shown("> QUIT"));
    EXPECT_EQ(Ftp.State(), ftpWaitingResponse);
    testsupport::PumpFor(50);
    EXPECT_EQ(Log.DoneCount, 0);
    Ftp.AbortAsync();
    EXPECT_EQ(Ftp.State(), ftpReady);
}

TEST(FtpBlocking, UsageErrorsComeBackAsFalse) {
    TFtpClient Ftp;
    EXPECT_FALSE(Ftp.User()) << "empty user name";
    EXPECT_FALSE(Ftp.Cwd());
    EXPECT_FALSE(Ftp.Get());
    std::vector<std::string> Errors;
    Ftp.OnError = [&](QObject*, const std::string& Msg) { Errors.push_back(Msg); };
    EXPECT_FALSE(Ftp.Put()) << "an error given to OnError is no success either";
    ASSERT_EQ(Errors.size(), 1u);
    EXPECT_EQ(Errors[0], "FTP component not connected");
    EXPECT_TRUE(Ftp.Abort());
}

TEST(FtpRest, RestWithoutLocalFileIsSkippedAndEndsAtOnce) {
    // No local file: the offset becomes -1, no command is sent, the request ends well.
    TFtpClient Ftp;
    RequestLog Log;
    Log.Attach(Ftp);
    Ftp.SetLocalFileName("/nonexistent/file");
    Ftp.RestAsync();
    EXPECT_EQ(Ftp.ResumeAt(), -1);
    EXPECT_EQ(Ftp.State(), ftpReady);
    ASSERT_TRUE(WaitDone(Log, 0, 1000));
    EXPECT_EQ(Log.DoneError, 0);
}
