// The FTP client against a scripted in-process server: exact byte sequences on the control
// connection, orderings of replies and data-connection events, malformed replies.

#include "ftp/ftpclient.h"
#include "ftp_fixture.h"
#include "scripted_client.h"
#include "scripted_server.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sys/file.h>

using namespace ftptest;

namespace {

class Scripted : public ScriptedClientTest {
protected:
    // Starts an asynchronous request and pumps until its notification arrives.
    bool Run(void (TCustomFtpCli::*Op)(), int TimeoutMs = 5000) {
        const int Before = Log.DoneCount;
        (Ftp.*Op)();
        return WaitDone(Log, Before, TimeoutMs);
    }

    int Responses = 0;
};

std::vector<std::string>* GFtpLog = nullptr;

void CaptureFtpLog(QtMsgType, const QMessageLogContext& Context, const QString& Msg) {
    if (GFtpLog && Context.category && std::strcmp(Context.category, "imglift.ftp") == 0)
        GFtpLog->push_back(Msg.toStdString());
}

} // namespace

// ----- reply reader -------------------------------------------------------------------------

TEST_F(Scripted, MultiLineReplyIsEvaluatedOnceOnItsLastLine) {
    Server.Reply("PASS", "230-Welcome\r\n230-more\r\n230 Logged in\r\n");
    Ftp.OnResponse = [&](QObject*) { ++Responses; };
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 0);
    EXPECT_EQ(Log.DoneType, ftpConnectAsync);
    EXPECT_EQ(Log.DoneCount, 1);
    EXPECT_TRUE(Log.Shown("< 230-Welcome"));
    EXPECT_TRUE(Log.Shown("< 230-more"));
    EXPECT_TRUE(Log.Shown("< 230 Logged in"));
    EXPECT_EQ(Responses, 5) << "greeting, 331 and the three 230 lines";
    EXPECT_EQ(Ftp.StatusCode(), 230);
    EXPECT_EQ(Ftp.LastResponse(), "230 Logged in");
    EXPECT_EQ(Server.Commands(), (QList<QByteArray>{"USER user", "PASS pw"}));
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_TRUE(Ftp.Connected());
}

TEST_F(Scripted, TwoRepliesInOneReadAreHandledInTurn) {
    // The 230 that answers PASS comes in the same segment as the 331 that asks for it.
    Server.Reply("USER", "331 Password please.\r\n230 Logged in already.\r\n");
    Server.On("PASS", [](Session&, const QByteArray&) {});
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 0);
    EXPECT_EQ(Ftp.LastResponse(), "230 Logged in already.");
    EXPECT_TRUE(Log.Shown("> PASS pw"));
}

TEST_F(Scripted, ReplySplitOverReadsIsHandledWhenItsLineEndArrives) {
    Server.On("USER", [](Session& S, const QByteArray&) {
        S.Send("33");
        S.SendLater(150, "1 Send the password.\r\n");
    });
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 0);
    EXPECT_TRUE(Log.Shown("< 331 Send the password."));
    EXPECT_FALSE(Log.Shown("< 33"));
}

TEST_F(Scripted, AcceptLFEndsLinesAtLFAndStripsCRCRLF) {
    Server.SetGreeting("220 Ready.\n");
    Server.Reply("USER", "331 Password.\r\r\n");
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 0);
    EXPECT_TRUE(Log.Shown("< 220 Ready."));
    EXPECT_TRUE(Log.Shown("< 331 Password."));
}

TEST_F(Scripted, WithoutAcceptLFOnlyCRLFEndsALine) {
    Ftp.SetOptions({});
    Server.SetGreeting("220 Ready.\n");
    Ftp.OpenAsync();
    testsupport::PumpFor(300);
    EXPECT_EQ(Ftp.State(), ftpWaitingBanner) << "a bare LF is no line end";
    EXPECT_EQ(Log.DoneCount, 0);
    ASSERT_NE(Server.LastSession(), nullptr);
    Server.LastSession()->Send("\r\n");
    ASSERT_TRUE(WaitDone(Log, 0));
    EXPECT_EQ(Log.DoneError, 0);
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_EQ(Ftp.LastResponse(), "220 Ready.");
}

TEST_F(Scripted, EmptyAndNonNumericLinesAreShownAndSkipped) {
    Server.SetGreeting("Hello there\r\n\r\n220-first\r\n220 Ready.\r\n");
    ASSERT_TRUE(Run(&TCustomFtpCli::OpenAsync));
    EXPECT_EQ(Log.DoneError, 0);
    EXPECT_TRUE(Log.Shown("< Hello there"));
    EXPECT_TRUE(Log.Shown("< "));
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_TRUE(Ftp.Connected());
}

TEST_F(Scripted, LineOf4095BytesFillsTheBufferAndClosesTheConnection) {
    Server.SetGreeting("220 " + QByteArray(4091, 'x') + "yz\r\n");
    ASSERT_TRUE(Run(&TCustomFtpCli::OpenAsync));
    EXPECT_NE(Log.DoneError, 0) << "a lost connection before the greeting is no success";
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_EQ(Ftp.StatusCode(), 500);
}

TEST_F(Scripted, GreetingOtherThan220ClosesAndEndsWithItsCode) {
    Server.SetGreeting("421 Too many users.\r\n");
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 421);
    EXPECT_EQ(Ftp.ErrorMessage(), "421 Too many users.");
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_TRUE(Server.Commands().isEmpty());
}

TEST_F(Scripted, AcceptedCodesAndCodesBelow500) {
    Server.Reply("USER", "530 Not you.\r\n");
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 530);
    EXPECT_EQ(Ftp.StatusCode(), 530);
    EXPECT_EQ(Ftp.ErrorMessage(), "530 Not you.");
    EXPECT_FALSE(Sent("PASS pw")) << "a failed step ends the sequence";
    EXPECT_TRUE(Ftp.Connected()) << "and leaves the connection open";

    // The quoted command accepts anything below 500.
    Server.Reply("NOOP", "350 Whatever.\r\n");
    Ftp.SetLocalFileName("NOOP");
    ASSERT_TRUE(Run(&TCustomFtpCli::QuoteAsync));
    EXPECT_EQ(Log.DoneError, 0);
    EXPECT_EQ(Log.DoneType, ftpQuoteAsync);
    Server.Reply("NOOP", "500 No.\r\n");
    ASSERT_TRUE(Run(&TCustomFtpCli::QuoteAsync));
    EXPECT_EQ(Log.DoneError, 500);
}

TEST_F(Scripted, SizeAndDirectoryResults) {
    Server.Reply("SIZE", "213 48213\r\n");
    Server.Reply("PWD", "257 \"/a\"\"b\" is current.\r\n");
    Ftp.SetHostDirName("/pub");
    Ftp.SetHostFileName("f.jpg");
    ASSERT_TRUE(Run(&TCustomFtpCli::FileSizeAsync));
    EXPECT_EQ(Log.DoneError, 0);
    EXPECT_EQ(Log.DoneType, ftpSizeAsync);
    EXPECT_EQ(Ftp.SizeResult(), 48213);
    EXPECT_EQ(Ftp.StatusCode(), 213) << "the reply before QUIT is restored";
    EXPECT_EQ(Ftp.LastResponse(), "213 48213");
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_EQ(Server.Commands(), (QList<QByteArray>{"USER user", "PASS pw", "CWD /pub", "TYPE I",
                                                    "SIZE f.jpg", "QUIT"}));

    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    ASSERT_TRUE(Run(&TCustomFtpCli::PwdAsync));
    EXPECT_EQ(Ftp.DirResult(), "/a\"b");
}

TEST_F(Scripted, FailedSizeLeavesConnectionOpenAndSizeResultZero) {
    Server.Reply("SIZE", "550 No such file.\r\n");
    Ftp.SetHostFileName("missing");
    ASSERT_TRUE(Run(&TCustomFtpCli::FileSizeAsync));
    EXPECT_EQ(Log.DoneError, 550);
    EXPECT_EQ(Ftp.SizeResult(), 0);
    EXPECT_EQ(Ftp.StatusCode(), 550);
    EXPECT_TRUE(Ftp.Connected());
    EXPECT_FALSE(Sent("QUIT"));
    EXPECT_FALSE(Sent("CWD ")) << "no CWD without a directory";
    // A second sequence that would connect again is refused until an abort.
    EXPECT_FALSE(Ftp.FileSize());
    EXPECT_FALSE(Ftp.Abort()) << "the failure code of the last request stays";
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_EQ(Ftp.State(), ftpReady);
}

TEST_F(Scripted, UserAnswered230GetsNoPass) {
    Server.Reply("USER", "230 Come in.\r\n");
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 0);
    EXPECT_FALSE(Log.Shown("> PASS pw"));
    EXPECT_EQ(Server.Commands(), QList<QByteArray>{"USER user"});
}

TEST_F(Scripted, SecondRequestWhileOneRunsIsRefused) {
    Server.On("USER", [](Session&, const QByteArray&) {}); // never answers
    Ftp.ConnectAsync();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return Sent("USER user"); }));
    try {
        Ftp.FileSizeAsync();
        FAIL() << "no exception";
    } catch (const FtpException& E) {
        EXPECT_EQ(std::string(E.what()), "FTP component already connected");
    }
    try {
        Ftp.PwdAsync();
        FAIL() << "no exception";
    } catch (const FtpException& E) {
        EXPECT_EQ(std::string(E.what()), "FTP component not ready");
    }
    // QUIT is issued even now, and goes out. Its close leaves the sequence unable to go on
    // (PASS needs a connection), which ends the request with an error.
    Ftp.QuitAsync();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return Sent("QUIT"); }));
    ASSERT_TRUE(WaitDone(Log, 0));
    EXPECT_EQ(Log.DoneType, ftpConnectAsync) << "QUIT ran inside the sequence";
    EXPECT_EQ(Log.DoneError, 500);
    EXPECT_EQ(Ftp.ErrorMessage(), "500 FTP component not connected");
    EXPECT_FALSE(Ftp.Connected());
    EXPECT_EQ(Ftp.State(), ftpReady);
}

TEST_F(Scripted, AbortDuringSequenceEndsItWith426) {
    Server.On("USER", [](Session&, const QByteArray&) {});
    Ftp.ConnectAsync();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return Sent("USER user"); }));
    Ftp.AbortAsync();
    EXPECT_EQ(Ftp.State(), ftpReady);
    ASSERT_TRUE(WaitDone(Log, 0));
    EXPECT_EQ(Log.DoneError, 426);
    EXPECT_EQ(Ftp.ErrorMessage(), "426 Operation aborted.");
    EXPECT_FALSE(Ftp.Connected());
    testsupport::PumpFor(50);
    EXPECT_EQ(Log.DoneCount, 1);
}

TEST_F(Scripted, ServerClosingMidRequestEndsItWithAnError) {
    Server.On("USER", [](Session& S, const QByteArray&) { S.CloseControl(); });
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 500);
    EXPECT_EQ(Ftp.ErrorMessage(), "500 Control connection closed.");
    EXPECT_FALSE(Sent("PASS pw"));
    EXPECT_FALSE(Ftp.Connect()) << "blocking: false as well";
}

// ----- unsafe input and usage errors of later steps ---------------------------------------

TEST_F(Scripted, CROrLFInACommandIsRefusedAndNothingIsSent) {
    Server.Reply("DELE", "250 Deleted.\r\n");
    Ftp.SetHostDirName("pub\r\nDELE victim");
    ASSERT_TRUE(Run(&TCustomFtpCli::TransmitAsync));
    EXPECT_EQ(Log.DoneError, 500);
    EXPECT_EQ(Ftp.StatusCode(), 500);
    EXPECT_NE(Ftp.ErrorMessage().find("CR or LF"), std::string::npos);
    for (const QByteArray& C : Server.Commands()) {
        EXPECT_FALSE(C.startsWith("CWD")) << C.constData();
        EXPECT_FALSE(C.startsWith("DELE")) << C.constData();
    }
    ASSERT_TRUE(Run(&TCustomFtpCli::QuitAsync));

    // In the first command after the connect, and in the transfer commands.
    Server.Reply("PASS", "230 ok\r\n");
    Ftp.SetUserName("user\nPASS x");
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 500);
    Ftp.SetUserName("user");
    Ftp.AbortAsync();
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    const QString Local = Dir.filePath("keep.txt");
    ASSERT_TRUE(WriteFile(Local, "keep me"));
    Ftp.SetLocalFileName(Local.toStdString());
    Ftp.SetHostFileName("a\rDELE b");
    ASSERT_TRUE(Run(&TCustomFtpCli::ExecGetAsync));
    EXPECT_EQ(Log.DoneError, 500);
    EXPECT_EQ(ReadFile(Local), "keep me") << "the local file is not touched";
    ASSERT_TRUE(Run(&TCustomFtpCli::ExecPutAsync));
    EXPECT_EQ(Log.DoneError, 500);
    for (const QByteArray& C : Server.Commands())
        EXPECT_FALSE(C.startsWith("DELE")) << C.constData();
}

TEST_F(Scripted, UsageErrorOfALaterStepEndsTheRequest) {
    Ftp.SetPassWord("");
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync)) << "the request ends";
    EXPECT_EQ(Log.DoneError, 500);
    EXPECT_EQ(Ftp.ErrorMessage(), "500 Password emtpy");
    EXPECT_EQ(Ftp.State(), ftpReady);

    // With OnError the handler hears of it too, and the request still ends.
    std::vector<std::string> Errors;
    Ftp.OnError = [&](QObject*, const std::string& Msg) { Errors.push_back(Msg); };
    Ftp.AbortAsync();
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 500);
    EXPECT_EQ(Errors, std::vector<std::string>{"Password emtpy"});

    // The blocking wrapper never takes it for a success.
    Ftp.AbortAsync();
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.StatusCode(), 500);
}

// ----- data connection -----------------------------------------------------------------------

namespace {

// RETR that sends Content and then finishes in the given order.
void ScriptRetr(ScriptedFtpServer& Server, const QByteArray& Content, bool ReplyBeforeClose) {
    Server.On("RETR", [Content, ReplyBeforeClose](Session& S, const QByteArray&) {
        S.Send("150 Opening data connection.\r\n");
        S.OpenData([&S, Content, ReplyBeforeClose] {
            S.SendData(Content);
            if (ReplyBeforeClose) {
                S.Send("226 Transfer complete.\r\n");
                QTimer::singleShot(200, &S, [&S] { S.CloseData(); });
            } else {
                S.CloseData();
                S.SendLater(200, "226 Transfer complete.\r\n");
            }
        });
    });
}

// STOR that opens the data connection before or after its 150 reply.
void ScriptStor(ScriptedFtpServer& Server, bool DataFirst) {
    Server.On("STOR", [DataFirst](Session& S, const QByteArray&) {
        const auto AwaitEnd = [&S] { S.WhenDataClosed([&S] { S.Send("226 Stored.\r\n"); }); };
        if (DataFirst) {
            S.OpenData([&S, AwaitEnd] {
                QTimer::singleShot(150, &S, [&S, AwaitEnd] {
                    S.Send("150 Go ahead.\r\n");
                    AwaitEnd();
                });
            });
        } else {
            S.Send("150 Go ahead.\r\n");
            QTimer::singleShot(150, &S, [&S, AwaitEnd] { S.OpenData(AwaitEnd); });
        }
    });
}

void ScriptPasv(ScriptedFtpServer& Server) {
    Server.On("PASV", [](Session& S, const QByteArray&) {
        S.ListenPassive();
        S.Send(S.PasvReply());
    });
}

} // namespace

TEST_F(Scripted, DownloadEndsOnceWhether226ComesBeforeOrAfterTheClose) {
    for (const bool ReplyFirst : {true, false}) {
        SCOPED_TRACE(ReplyFirst ? "226 first" : "close first");
        const QByteArray Content = Pattern(20000, ReplyFirst ? 1 : 2);
        ScriptRetr(Server, Content, ReplyFirst);
        const QString Local = Dir.filePath("down.bin");
        Ftp.SetLocalFileName(Local.toStdString());
        Ftp.SetHostFileName("remote.bin");
        const int Before = Log.DoneCount;
        ASSERT_TRUE(Run(&TCustomFtpCli::ReceiveAsync));
        EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
        EXPECT_EQ(Log.DoneType, ftpReceiveAsync);
        EXPECT_EQ(ReadFile(Local), Content);
        EXPECT_EQ(Ftp.ByteCount(), Content.size());
        testsupport::PumpFor(100);
        EXPECT_EQ(Log.DoneCount, Before + 1);
    }
}

TEST_F(Scripted, ActiveUploadSendsOnceWhetherDataOrReplyComesFirst) {
    for (const bool DataFirst : {true, false}) {
        SCOPED_TRACE(DataFirst ? "data connection first" : "150 first");
        ScriptStor(Server, DataFirst);
        const QByteArray Content = Pattern(100000, DataFirst ? 3 : 4);
        const QString Local = Dir.filePath("up.bin");
        ASSERT_TRUE(WriteFile(Local, Content));
        Ftp.SetLocalFileName(Local.toStdString());
        Ftp.SetHostFileName("up.bin");
        const int Before = Log.DoneCount;
        ASSERT_TRUE(Run(&TCustomFtpCli::TransmitAsync));
        EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
        EXPECT_EQ(Log.DoneType, ftpPutAsync) << "the upload step stores its own type";
        ASSERT_NE(Server.LastSession(), nullptr);
        EXPECT_EQ(Server.LastSession()->DataReceived(), Content);
        EXPECT_EQ(Server.LastSession()->Commands().count("STOR up.bin"), 1);
        EXPECT_EQ(Ftp.StatusCode(), 226);
        testsupport::PumpFor(100);
        EXPECT_EQ(Log.DoneCount, Before + 1);
    }
}

TEST_F(Scripted, PortAnnouncesLoopbackAndUploadResumesAtOffset) {
    ScriptStor(Server, false);
    const QByteArray Content = Pattern(5000, 5);
    const QString Local = Dir.filePath("up.bin");
    ASSERT_TRUE(WriteFile(Local, Content));
    Ftp.SetLocalFileName(Local.toStdString());
    Ftp.SetHostFileName("up.bin");
    Ftp.SetResumeAt(1000);
    ASSERT_TRUE(Run(&TCustomFtpCli::TransmitAsync));
    EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
    EXPECT_EQ(Server.LastSession()->DataReceived(), Content.mid(1000));
    ASSERT_FALSE(Log.Progress.empty());
    EXPECT_GE(Log.Progress.front(), 1000);
    EXPECT_EQ(Log.Progress.back(), 5000);
    EXPECT_EQ(Ftp.ResumeAt(), 0) << "a finished transfer clears the offset";
    bool Port = false;
    for (const QByteArray& C : Server.Commands())
        Port = Port || C.startsWith("PORT 127,0,0,1,");
    EXPECT_TRUE(Port);
}

TEST_F(Scripted, EmptyFileUploadClosesAfterTheFirstRead) {
    ScriptStor(Server, true);
    const QString Local = Dir.filePath("empty.bin");
    ASSERT_TRUE(WriteFile(Local, {}));
    Ftp.SetLocalFileName(Local.toStdString());
    Ftp.SetHostFileName("empty.bin");
    ASSERT_TRUE(Run(&TCustomFtpCli::TransmitAsync));
    EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
    EXPECT_TRUE(Server.LastSession()->DataReceived().isEmpty());
    EXPECT_EQ(Ftp.ByteCount(), 0);
}

TEST_F(Scripted, PassiveUploadAndDownloadThroughThe227Address) {
    ScriptPasv(Server);
    ScriptStor(Server, true);
    ScriptRetr(Server, Pattern(7000, 6), false);
    Ftp.SetPassive(true);
    const QByteArray Content = Pattern(30000, 7);
    const QString Local = Dir.filePath("up.bin");
    ASSERT_TRUE(WriteFile(Local, Content));
    Ftp.SetLocalFileName(Local.toStdString());
    Ftp.SetHostFileName("up.bin");
    ASSERT_TRUE(Run(&TCustomFtpCli::TransmitAsync));
    EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
    EXPECT_EQ(Server.LastSession()->DataReceived(), Content);
    EXPECT_TRUE(Sent("PASV"));

    const QString Down = Dir.filePath("down.bin");
    Ftp.SetLocalFileName(Down.toStdString());
    ASSERT_TRUE(Run(&TCustomFtpCli::ReceiveAsync));
    EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
    EXPECT_EQ(ReadFile(Down), Pattern(7000, 6));
}

// The 227 address is not followed: the data connection goes to the control connection's
// peer (10.0.0.1 must never be contacted), with the reply's port.
TEST_F(Scripted, Passive227AddressIsIgnored) {
    Server.On("PASV", [](Session& S, const QByteArray&) {
        const quint16 P = S.ListenPassive();
        S.Send("227 Entering Passive Mode (10,0,0,1," + QByteArray::number(P >> 8) + "," +
               QByteArray::number(P & 0xff) + ").\r\n");
    });
    ScriptStor(Server, true);
    Ftp.SetPassive(true);
    const QByteArray Content = Pattern(5000, 3);
    const QString Local = Dir.filePath("up.bin");
    ASSERT_TRUE(WriteFile(Local, Content));
    Ftp.SetLocalFileName(Local.toStdString());
    Ftp.SetHostFileName("up.bin");
    ASSERT_TRUE(Run(&TCustomFtpCli::TransmitAsync));
    EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
    EXPECT_EQ(Server.LastSession()->DataReceived(), Content);
}

// A refused passive data connection ends the upload at once with its error, long before the
// client's time-out.
TEST_F(Scripted, RefusedPassiveDataConnectionEndsTheUploadAtOnce) {
    const quint16 Closed = testsupport::FreePort();
    Server.On("PASV", [Closed](Session& S, const QByteArray&) {
        S.Send("227 Entering Passive Mode (127,0,0,1," + QByteArray::number(Closed >> 8) + "," +
               QByteArray::number(Closed & 0xff) + ").\r\n");
    });
    Ftp.SetTimeout(15);
    Ftp.SetPassive(true);
    const QString Local = Dir.filePath("up.bin");
    ASSERT_TRUE(WriteFile(Local, Pattern(5000, 3)));
    Ftp.SetLocalFileName(Local.toStdString());
    Ftp.SetHostFileName("up.bin");
    ASSERT_TRUE(Run(&TCustomFtpCli::TransmitAsync, 3000)) << Log.Trace();
    EXPECT_EQ(Log.DoneError, 550);
    EXPECT_NE(Ftp.ErrorMessage().find("Unable to establish data connection"), std::string::npos)
        << Ftp.ErrorMessage();
    EXPECT_FALSE(Sent("STOR up.bin"));
}

TEST_F(Scripted, Malformed227EndsTheTransferWithAnError) {
    const QList<QByteArray> Bad{"227 Entering Passive Mode\r\n",
                                "227 Entering Passive Mode (127,0,0,1,10)\r\n",
                                "227 Entering Passive Mode (127,0,0,1,4,1\r\n",
                                "227 Entering Passive Mode (127,0,0,1,300,1)\r\n",
                                "227 Entering Passive Mode (127,0,x,1,4,1)\r\n"};
    Ftp.SetPassive(true);
    const QString Local = Dir.filePath("f.bin");
    ASSERT_TRUE(WriteFile(Local, Pattern(100)));
    Ftp.SetHostFileName("f.bin");
    for (const QByteArray& Reply : Bad) {
        SCOPED_TRACE(Reply.constData());
        Server.Reply("PASV", Reply);
        Ftp.SetLocalFileName(Local.toStdString());
        ASSERT_TRUE(Run(&TCustomFtpCli::TransmitAsync)) << "never hangs";
        EXPECT_EQ(Log.DoneError, 426);
        EXPECT_EQ(Ftp.StatusCode(), 426);
        EXPECT_EQ(Ftp.State(), ftpReady);
        ASSERT_TRUE(Run(&TCustomFtpCli::GetAsync));
        EXPECT_EQ(Log.DoneError, 550);
        EXPECT_EQ(Ftp.StatusCode(), 550);
        Ftp.AbortAsync();
    }
    EXPECT_FALSE(Sent("STOR f.bin"));
    EXPECT_FALSE(Sent("RETR f.bin"));
}

TEST_F(Scripted, ListingLineByLineAndBinaryThroughOnDisplayFile) {
    const QByteArray Listing = "\r\nfirst line\r\nsecond\r\n\r\nthird";
    Server.On("LIST", [Listing](Session& S, const QByteArray&) {
        S.Send("150 Here it comes.\r\n");
        S.OpenData([&S, Listing] {
            S.SendData(Listing);
            S.CloseData();
            S.SendLater(100, "226 Done.\r\n");
        });
    });
    const QString Untouched = Dir.filePath("untouched.txt");
    ASSERT_TRUE(WriteFile(Untouched, "old"));
    Ftp.SetLocalFileName(Untouched.toStdString());
    Ftp.SetDisplayFileFlag(true);
    ASSERT_TRUE(Run(&TCustomFtpCli::DirectoryAsync));
    EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
    EXPECT_EQ(Log.DoneType, ftpDirectoryAsync);
    EXPECT_EQ(Log.DisplayFile, (std::vector<std::string>{"", "first line", "second", "third"}));
    EXPECT_EQ(ReadFile(Untouched), "old") << "no local file with DisplayFileFlag";

    Log.DisplayFile.clear();
    Ftp.SetDisplayFileMode(ftpBinary);
    ASSERT_TRUE(Run(&TCustomFtpCli::DirectoryAsync));
    std::string All;
    for (const std::string& S : Log.DisplayFile)
        All += S;
    EXPECT_EQ(All, Listing.toStdString());
}

TEST_F(Scripted, DownloadIntoCallerStreamAndRefusedRetr) {
    ScriptRetr(Server, "stream content", true);
    QBuffer Buffer;
    Buffer.open(QIODevice::ReadWrite);
    Ftp.SetLocalStream(&Buffer);
    Ftp.SetHostFileName("x");
    ASSERT_TRUE(Run(&TCustomFtpCli::ReceiveAsync));
    EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
    EXPECT_EQ(Buffer.data(), "stream content");
    EXPECT_TRUE(Buffer.isOpen()) << "a caller's stream is not freed";

    Server.Reply("RETR", "550 No such file.\r\n");
    ASSERT_TRUE(Run(&TCustomFtpCli::ReceiveAsync));
    EXPECT_EQ(Log.DoneError, 550);
    EXPECT_EQ(Ftp.ErrorMessage(), "550 No such file.");
    EXPECT_TRUE(Ftp.Connected());
}

TEST_F(Scripted, UploadVetoAndUnreadableFile) {
    ScriptStor(Server, true);
    Ftp.SetHostFileName("x");
    Ftp.SetLocalFileName(Dir.filePath("missing.bin").toStdString());
    EXPECT_FALSE(Ftp.Transmit());
    EXPECT_EQ(Ftp.StatusCode(), 426);
    EXPECT_EQ(Ftp.ErrorMessage(),
              "426 Unable to open local file " + Dir.filePath("missing.bin").toStdString());
    EXPECT_TRUE(Log.Shown("! " + Ftp.ErrorMessage()));
    EXPECT_FALSE(Ftp.Abort()) << "426 is still the last result";

    const QString Local = Dir.filePath("f.bin");
    ASSERT_TRUE(WriteFile(Local, Pattern(10)));
    Ftp.SetLocalFileName(Local.toStdString());
    Ftp.OnReadyToTransmit = [](QObject*, bool& Cancel) { Cancel = true; };
    EXPECT_FALSE(Ftp.Transmit());
    EXPECT_EQ(Ftp.ErrorMessage(), "426 Transmit cancelled by application");
    EXPECT_FALSE(Sent("STOR x"));
}

TEST_F(Scripted, ProxyConnectionNamesTheRealHostInUser) {
    Ftp.SetConnectionType(ftpProxy);
    Ftp.SetProxyServer("127.0.0.1");
    Ftp.SetProxyPort(std::to_string(Server.Port()));
    Ftp.SetHostName("ftp.example.org");
    Ftp.SetPort("2121");
    ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
    EXPECT_EQ(Log.DoneError, 0) << Log.Trace();
    EXPECT_TRUE(Sent("USER user@ftp.example.org:2121"));
    Ftp.AbortAsync();
    EXPECT_FALSE(Ftp.Connected());

    try {
        Ftp.SetPort("FTP");
        ASSERT_TRUE(Run(&TCustomFtpCli::ConnectAsync));
        Ftp.SetConnectionType(ftpDirect);
        FAIL() << "changing the type while connected is refused";
    } catch (const FtpException& E) {
        EXPECT_EQ(std::string(E.what()), "FTP component connected");
    }
    EXPECT_TRUE(Sent("USER user@ftp.example.org"));
    EXPECT_EQ(Ftp.ConnectionType(), ftpProxy);
}

// ----- blocking wrapper ---------------------------------------------------------------------

TEST_F(Scripted, TimeoutOfAStalledServer) {
    Server.On("USER", [](Session&, const QByteArray&) {});
    Ftp.SetTimeout(1);
    EXPECT_FALSE(Ftp.Connect());
    EXPECT_EQ(Ftp.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(Ftp.StatusCode(), 426);
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_FALSE(Ftp.Connected());
}

TEST_F(Scripted, ProgressPushesTheDeadlineBack) {
    // Twelve pieces 200 ms apart: 2.4 s of transfer under a 1 s time-out.
    Server.On("RETR", [](Session& S, const QByteArray&) {
        S.Send("150 Slowly.\r\n");
        S.OpenData([&S] {
            for (int I = 0; I < 12; ++I)
                QTimer::singleShot(200 * I, &S, [&S] { S.SendData(QByteArray(100, 'z')); });
            QTimer::singleShot(200 * 12, &S, [&S] {
                S.CloseData();
                S.Send("226 Done.\r\n");
            });
        });
    });
    Ftp.SetTimeout(1);
    Ftp.SetLocalFileName(Dir.filePath("slow.bin").toStdString());
    Ftp.SetHostFileName("slow.bin");
    EXPECT_TRUE(Ftp.Receive()) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    EXPECT_EQ(ReadFile(Dir.filePath("slow.bin")), QByteArray(1200, 'z'));
}

TEST_F(Scripted, NoTimeoutWaitsUntilTheApplicationTerminates) {
    Server.On("USER", [](Session&, const QByteArray&) {});
    Ftp.SetTimeout(0);
    QTimer::singleShot(1500, [] { TFtpClient::SetApplicationTerminated(true); });
    EXPECT_FALSE(Ftp.Connect());
    TFtpClient::SetApplicationTerminated(false);
    EXPECT_EQ(Ftp.ErrorMessage(), "426 Timeout");
    EXPECT_FALSE(Ftp.Connected());
}

TEST_F(Scripted, NestedBlockingCallsFromOnProgress) {
    Server.On("RETR", [](Session& S, const QByteArray&) {
        S.Send("150 Go.\r\n");
        S.OpenData([&S] {
            S.SendData(QByteArray(50000, 'q'));
            S.CloseData();
            S.SendLater(100, "226 Done.\r\n");
        });
    });
    Ftp.SetLocalFileName(Dir.filePath("n.bin").toStdString());
    Ftp.SetHostFileName("n.bin");
    int InnerResults = 0;
    bool InnerOk = true;
    Ftp.OnProgress = [&](QObject*, qint64, bool&) {
        // A blocking call while the client is busy fails at once and changes nothing.
        InnerOk = InnerOk && !Ftp.Pwd();
        ++InnerResults;
    };
    EXPECT_TRUE(Ftp.Receive()) << Ftp.ErrorMessage();
    EXPECT_GT(InnerResults, 0);
    EXPECT_TRUE(InnerOk);
    EXPECT_EQ(ReadFile(Dir.filePath("n.bin")), QByteArray(50000, 'q'));

    // Abort from inside OnProgress ends the outer call with false.
    bool Aborted = false;
    Ftp.OnProgress = [&](QObject*, qint64, bool&) {
        if (!Aborted) {
            Aborted = true;
            Ftp.Abort();
        }
    };
    EXPECT_FALSE(Ftp.Receive());
    EXPECT_TRUE(Aborted);
    EXPECT_EQ(Ftp.State(), ftpReady);
    EXPECT_FALSE(Ftp.Connected());
}

TEST_F(Scripted, ShareModesLockTheLocalFileWhileItIsOpen) {
    ScriptStor(Server, true);
    const QString Local = Dir.filePath("locked.bin");
    ASSERT_TRUE(WriteFile(Local, Pattern(3000)));
    Ftp.SetLocalFileName(Local.toStdString());
    Ftp.SetHostFileName("locked.bin");

    // Another holder has the file to itself: an exclusive open fails, a deny-none open works.
    QFile Holder(Local);
    ASSERT_TRUE(Holder.open(QIODevice::ReadOnly));
    ASSERT_EQ(::flock(Holder.handle(), LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(Ftp.Transmit());
    EXPECT_EQ(Ftp.StatusCode(), 426);
    EXPECT_EQ(Ftp.ErrorMessage(), "426 Unable to open local file " + Local.toStdString());
    Ftp.Abort();
    Ftp.SetShareMode(ftpShareDenyNone);
    EXPECT_TRUE(Ftp.Transmit()) << Ftp.ErrorMessage() << "\n" << Log.Trace();
    Holder.close();

    // While the client has it open exclusively, nobody else gets a lock on it.
    Ftp.SetShareMode(ftpShareExclusive);
    bool Probed = false, Locked = false;
    Ftp.OnProgress = [&](QObject*, qint64, bool&) {
        if (Probed) return;
        Probed = true;
        QFile Other(Local);
        Locked = Other.open(QIODevice::ReadOnly) && ::flock(Other.handle(), LOCK_SH | LOCK_NB) != 0;
    };
    EXPECT_TRUE(Ftp.Transmit()) << Ftp.ErrorMessage();
    EXPECT_TRUE(Probed);
    EXPECT_TRUE(Locked);
    EXPECT_EQ(Server.LastSession()->DataReceived(), Pattern(3000));
}

TEST_F(Scripted, ApplicationQuitEndsAWaitWithoutTimeLimit) {
    // As in the program: the blocking call runs inside the application's loop, and a handler
    // run by its pump asks the application to quit.
    Server.On("USER", [](Session&, const QByteArray&) {});
    Ftp.SetTimeout(0);
    bool Result = true;
    bool Returned = false;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(300, [] { QCoreApplication::quit(); });
        Result = Ftp.Connect();
        Returned = true;
    });
    QTimer::singleShot(10000, [] { QCoreApplication::exit(1); }); // a safety net only
    QCoreApplication::exec();
    EXPECT_TRUE(Returned);
    EXPECT_FALSE(Result);
    EXPECT_TRUE(TFtpClient::ApplicationTerminated());
    TFtpClient::SetApplicationTerminated(false);
    EXPECT_EQ(Ftp.ErrorMessage(), "426 Timeout");
    EXPECT_FALSE(Ftp.Connected());
}

TEST_F(Scripted, ExceptionInOnRequestDoneGoesToOnBgException) {
    std::string Seen;
    bool CanCloseWas = false;
    Ftp.OnRequestDone = [](QObject*, TFtpRequest, quint16) {
        throw std::runtime_error("handler failed");
    };
    Ftp.OnBgException = [&](QObject*, const std::exception& E, bool& CanClose) {
        Seen = E.what();
        CanCloseWas = CanClose;
    };
    Ftp.ConnectAsync();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return !Seen.empty(); }));
    EXPECT_EQ(Seen, "handler failed");
    EXPECT_TRUE(CanCloseWas);
    EXPECT_TRUE(Ftp.Connected()) << "nothing else is done about it";
}

TEST_F(Scripted, DestroyingTheClientMidRequestLeavesNothingBehind) {
    Server.On("USER", [](Session& S, const QByteArray&) { S.SendLater(50, "331 Later.\r\n"); });
    {
        TFtpClient Doomed;
        Doomed.SetHostName("127.0.0.1");
        Doomed.SetPort(std::to_string(Server.Port()));
        Doomed.SetUserName("user");
        Doomed.SetPassWord("pw");
        int Done = 0;
        Doomed.OnRequestDone = [&](QObject*, TFtpRequest, quint16) { ++Done; };
        Doomed.ConnectAsync();
        ASSERT_TRUE(testsupport::PumpUntil([&] { return Sent("USER user"); }));
        EXPECT_EQ(Done, 0);
    }
    // The late reply, the close and any posted message find no object.
    testsupport::PumpFor(200);
    EXPECT_EQ(Server.Connections(), 1);
}

// ----- log ----------------------------------------------------------------------------------

TEST_F(Scripted, LogCarriesTheTraceWithThePasswordMasked) {
    Ftp.SetPassWord("s3cr3t");
    std::vector<std::string> Logged;
    GFtpLog = &Logged;
    QLoggingCategory::setFilterRules("imglift.ftp=true");
    const QtMessageHandler Previous = qInstallMessageHandler(CaptureFtpLog);
    const bool Done = Run(&TCustomFtpCli::ConnectAsync);
    qInstallMessageHandler(Previous);
    QLoggingCategory::setFilterRules(QString());
    GFtpLog = nullptr;
    ASSERT_TRUE(Done);

    EXPECT_TRUE(Log.Shown("> PASS s3cr3t")) << "OnDisplay still shows what was sent";
    std::vector<std::string> Expected = Log.Display;
    for (std::string& Line : Expected)
        if (Line == "> PASS s3cr3t") Line = "> PASS ****";
    EXPECT_EQ(Logged, Expected);
    EXPECT_TRUE(std::find(Logged.begin(), Logged.end(), "< 230 Logged in.") != Logged.end());
}
