// Line mode, terminal editing, redelivery after a mode switch and the blocking ReadLine, each
// against a peer on loopback that writes the bytes in separate reads where it matters.

#include "net/wsocket.h"
#include "socks_peers.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTimer>
#include <string>
#include <vector>

using socktest::ScriptedPeer;
using socktest::ScriptedSocksProxy;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

// Opens the protected line state to the tests.
class LineSocket : public TWSocket {
public:
    using TCustomLineWSocket::LineBufferCount;
    using TCustomLineWSocket::LineLength;
    using TCustomLineWSocket::SyncTimeout;
};

class LineMode : public ::testing::Test {
protected:
    void SetUp() override {
        s.SetAddr("127.0.0.1");
        s.SetRemotePort(std::to_string(peer.port()));
        s.OnSessionClosed = [this](QObject*, quint16) {
            events.push_back("closed");
            closed = true;
        };
        s.SetLineMode(true);
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected && peer.connected(); }));
    }
    // Collects each delivered line with ReceiveStr.
    void CollectLines() {
        s.OnDataAvailable = [this](QObject*, quint16 Error) {
            EXPECT_EQ(Error, 0);
            rcvdCounts.push_back(s.RcvdCount());
            lines.push_back(s.ReceiveStr());
            events.push_back("line " + lines.back());
        };
    }
    // Writes, then waits until the socket holds `buffered` bytes of an unfinished line.
    void WriteAndWaitBuffered(const QByteArray& bytes, int buffered) {
        peer.write(bytes);
        ASSERT_TRUE(PumpUntil([&] { return s.LineBufferCount == buffered; }))
            << "buffered " << s.LineBufferCount << ", expected " << buffered;
    }

    ScriptedPeer peer;
    LineSocket s;
    std::vector<std::string> lines;
    std::vector<int> rcvdCounts;
    std::vector<std::string> events;
    bool closed = false;
};

} // namespace

TEST(LineModeDefaults, Values) {
    TWSocket t;
    EXPECT_FALSE(t.LineMode());
    EXPECT_EQ(t.LineEnd(), "\r\n");
    EXPECT_EQ(t.LineLimit(), 65536);
    EXPECT_FALSE(t.LineEcho());
    EXPECT_FALSE(t.LineEdit());
}

TEST_F(LineMode, MarkerSplitOverReads) {
    CollectLines();
    WriteAndWaitBuffered("ab", 2);
    WriteAndWaitBuffered("\r", 3);
    EXPECT_TRUE(lines.empty());
    peer.write("\ncd");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines[0], "ab\r\n");
    EXPECT_EQ(rcvdCounts[0], 4);
    PumpFor(50);
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_EQ(s.LineBufferCount, 2); // c, d wait for their end
    peer.write("\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines[1], "cd\r\n");
}

TEST_F(LineMode, LongMarkerSplitAndTwoLinesInOneRead) {
    s.SetLineEnd("<END>");
    CollectLines();
    WriteAndWaitBuffered("one<E", 5);
    WriteAndWaitBuffered("N", 6);
    peer.write("D>two<END>three<END>fo");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
    const std::vector<std::string> expected{"one<END>", "two<END>", "three<END>"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(s.LineBufferCount, 2);
}

TEST_F(LineMode, LineReadInTwoHalves) {
    std::vector<std::string> pieces;
    s.OnDataAvailable = [&](QObject*, quint16) {
        char buf[5];
        const int n = s.Receive(buf, 5);
        pieces.emplace_back(buf, n > 0 ? size_t(n) : 0);
    };
    peer.write("abcdefgh\r\nnext\r\n");
    ASSERT_TRUE(PumpUntil([&] { return pieces.size() >= 4; }));
    PumpFor(50);
    const std::vector<std::string> expected{"abcde", "fgh\r\n", "next\r", "\n"};
    EXPECT_EQ(pieces, expected);
    EXPECT_EQ(s.LineBufferCount, 0);
}

TEST_F(LineMode, LimitWithClearDataTrue) {
    s.SetLineLimit(10);
    CollectLines();
    std::vector<int> exceeded;
    s.OnLineLimitExceeded = [&](QObject*, int len, bool& ClearData) {
        EXPECT_TRUE(ClearData);
        exceeded.push_back(len);
    };
    WriteAndWaitBuffered("0123456789", 10); // at the limit, not past it
    EXPECT_TRUE(exceeded.empty());
    peer.write("A");
    ASSERT_TRUE(PumpUntil([&] { return !exceeded.empty(); }));
    EXPECT_EQ(exceeded, std::vector<int>{11});
    EXPECT_EQ(s.LineBufferCount, 0); // the 11 bytes are gone
    peer.write("xy\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines[0], "xy\r\n");
}

TEST_F(LineMode, LimitWithClearDataFalse) {
    s.SetLineLimit(10);
    CollectLines();
    std::vector<int> exceeded;
    s.OnLineLimitExceeded = [&](QObject*, int len, bool& ClearData) {
        ClearData = false;
        exceeded.push_back(len);
    };
    WriteAndWaitBuffered("0123456789A", 11);
    WriteAndWaitBuffered("BC", 13);
    EXPECT_EQ(exceeded, (std::vector<int>{11, 13}));
    peer.write("\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines[0], "0123456789ABC\r\n");
}

TEST_F(LineMode, LastLineDeliveredAtClose) {
    CollectLines();
    WriteAndWaitBuffered("done\r\nxyz", 3);
    peer.close();
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    const std::vector<std::string> expected{"line done\r\n", "line xyz", "closed"};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(LineMode, LastLineAfterClearedLimit) {
    s.SetLineLimit(4);
    CollectLines();
    int exceeded = 0;
    s.OnLineLimitExceeded = [&](QObject*, int, bool&) { ++exceeded; };
    peer.write("123456");
    ASSERT_TRUE(PumpUntil([&] { return exceeded == 1; }));
    WriteAndWaitBuffered("ab", 2);
    peer.close();
    ASSERT_TRUE(PumpUntil([&] { return closed; }));
    const std::vector<std::string> expected{"line ab", "closed"};
    EXPECT_EQ(events, expected);
}

TEST_F(LineMode, NoHandlerDropsLines) {
    peer.write("lost\r\nlost too\r\npart");
    ASSERT_TRUE(PumpUntil([&] { return s.LineBufferCount == 4; }));
    CollectLines();
    peer.write("ial\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines[0], "partial\r\n");
}

TEST_F(LineMode, EchoSendsBytesBack) {
    s.SetLineEcho(true);
    CollectLines();
    peer.write("say\r\nmore");
    ASSERT_TRUE(peer.waitReceived(9));
    EXPECT_EQ(peer.received(), QByteArray("say\r\nmore"));
    EXPECT_EQ(lines, std::vector<std::string>{"say\r\n"});
}

TEST_F(LineMode, EditBackspaceAndTab) {
    s.SetLineEdit(true);
    CollectLines();
    peer.write(QByteArray("ab\bc\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines[0], "ac\r\n");
    peer.write(QByteArray("abc\tx\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    EXPECT_EQ(lines[1], "abc     x\r\n");
    peer.write(QByteArray("\b\bq\t\r\n")); // backspace at line start does nothing
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
    EXPECT_EQ(lines[2], "q" + std::string(7, ' ') + "\r\n");
    // A tab at a tab stop still gives a full stop of spaces; backspaces then erase bytes of
    // an earlier read.
    WriteAndWaitBuffered("abcdefgh", 8);
    peer.write(QByteArray("\tx") + QByteArray(10, '\b') + "Z\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 4; }));
    EXPECT_EQ(lines[3], "abcdefgZ\r\n");
    WriteAndWaitBuffered("abcdefgh", 8);
    peer.write(QByteArray("\tx\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 5; }));
    EXPECT_EQ(lines[4], "abcdefgh" + std::string(8, ' ') + "x\r\n");
}

TEST_F(LineMode, EditWithEcho) {
    s.SetLineEdit(true);
    s.SetLineEcho(true);
    CollectLines();
    peer.write(QByteArray("\bab\bc\td\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines[0], "ac" + std::string(6, ' ') + "d\r\n");
    const QByteArray echo = QByteArray("ab") + "\b \b" + "c" + QByteArray(6, ' ') + "d\r\n";
    ASSERT_TRUE(peer.waitReceived(int(echo.size())));
    EXPECT_EQ(peer.received(), echo);
}

// A handler that leaves line mode in the middle of a line gets the rest, and what followed,
// as raw data through the redelivery message.
TEST_F(LineMode, SwitchOffMidLine) {
    std::vector<std::string> got;
    s.OnDataAvailable = [&](QObject*, quint16) {
        if (s.LineMode()) {
            char buf[3];
            const int n = s.Receive(buf, 3);
            got.emplace_back(buf, size_t(n));
            s.SetLineMode(false);
        } else {
            got.push_back(s.ReceiveStr());
        }
    };
    peer.write("hello\r\nrest");
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= 2; }));
    PumpFor(50);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "hel");
    EXPECT_EQ(got[1], "lo\r\nrest");
    EXPECT_EQ(s.LineBufferCount, 0);
}

// The redelivery ends when a pass takes nothing: a raw handler that reads nothing leaves the
// bytes buffered, and switching line mode back on delivers each complete buffered line while
// the unfinished one waits for the rest.
TEST_F(LineMode, RedeliveryEndsWhenNothingIsConsumed) {
    int rawCalls = 0;
    s.OnDataAvailable = [&](QObject*, quint16) {
        if (s.LineMode()) {
            lines.push_back(s.ReceiveStr());
            if (lines.size() == 1) s.SetLineMode(false);
        } else {
            ++rawCalls;
        }
    };
    peer.write("l1\r\nl2\r\nl3\r\npar");
    ASSERT_TRUE(PumpUntil([&] { return rawCalls > 0; }));
    PumpFor(100);
    EXPECT_EQ(rawCalls, 1);
    EXPECT_EQ(lines, std::vector<std::string>{"l1\r\n"});
    EXPECT_EQ(s.LineBufferCount, 11);

    s.SetLineMode(true);
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
    PumpFor(100);
    EXPECT_EQ(lines, (std::vector<std::string>{"l1\r\n", "l2\r\n", "l3\r\n"}));
    EXPECT_EQ(s.LineBufferCount, 3);
    peer.write("tial\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 4; }));
    EXPECT_EQ(lines[3], "partial\r\n");
}

// Only an unfinished line buffered: switching the mode twice must not spin.
TEST_F(LineMode, RedeliveryWithOnlyUnfinishedLine) {
    CollectLines();
    WriteAndWaitBuffered("half", 4);
    s.SetLineMode(false);
    s.SetLineMode(true);
    PumpFor(100);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(s.LineBufferCount, 4);
    peer.write(" done\r\n");
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 1; }));
    EXPECT_EQ(lines[0], "half done\r\n");
}

TEST_F(LineMode, RawRedeliveryAfterSwitchingOff) {
    std::string raw;
    WriteAndWaitBuffered("unfinished", 10);
    s.OnDataAvailable = [&](QObject*, quint16) { raw += s.ReceiveStr(); };
    s.SetLineMode(false);
    ASSERT_TRUE(PumpUntil([&] { return raw.size() >= 10; }));
    EXPECT_EQ(raw, "unfinished");
    peer.write("more\r\n");
    ASSERT_TRUE(PumpUntil([&] { return raw.size() >= 16; }));
    EXPECT_EQ(raw, "unfinishedmore\r\n");
}

// ---- ReadLine -------------------------------------------------------------------------------

class ReadLine : public LineMode {
protected:
    void SetUp() override {
        LineMode::SetUp();
        s.SetLineMode(false);
    }
};

TEST_F(ReadLine, ReturnsOneLineAndRestores) {
    bool userHandlerCalled = false;
    s.OnDataAvailable = [&](QObject*, quint16) { userHandlerCalled = true; };
    QTimer::singleShot(50, [&] { peer.write("hello\r\nwor"); });
    std::string line;
    s.ReadLine(5, line);
    EXPECT_EQ(line, "hello\r\n");
    EXPECT_FALSE(s.LineMode());
    EXPECT_FALSE(userHandlerCalled);
    ASSERT_TRUE(s.OnDataAvailable);
    // The rest of the read stays for the next call.
    QTimer::singleShot(50, [&] { peer.write("ld\r\n"); });
    s.ReadLine(5, line);
    EXPECT_EQ(line, "world\r\n");
    s.OnDataAvailable(nullptr, 0);
    EXPECT_TRUE(userHandlerCalled);
}

TEST_F(ReadLine, SeveralLinesInOneReadAreReadInTurn) {
    QTimer::singleShot(50, [&] { peer.write("one\r\ntwo\r\nthree\r\n"); });
    std::string a, b, c;
    s.ReadLine(5, a);
    s.ReadLine(-200, b);
    s.ReadLine(-200, c);
    EXPECT_EQ(a, "one\r\n");
    EXPECT_EQ(b, "two\r\n");
    EXPECT_EQ(c, "three\r\n");
}

TEST_F(ReadLine, MillisecondTimeoutReturnsPartialLine) {
    QTimer::singleShot(50, [&] { peer.write("par"); });
    std::string line = "old";
    QElapsedTimer t;
    t.start();
    s.ReadLine(-400, line);
    EXPECT_GE(t.elapsed(), 400);
    EXPECT_EQ(s.SyncTimeout, 400);
    EXPECT_EQ(line, "par");
    EXPECT_EQ(s.LineBufferCount, 0);
    EXPECT_EQ(s.State(), wsConnected);
}

TEST_F(ReadLine, TimeoutWithNothingReturnsEmpty) {
    std::string line = "old";
    QElapsedTimer t;
    t.start();
    s.ReadLine(-300, line);
    EXPECT_GE(t.elapsed(), 300);
    EXPECT_EQ(line, "");
}

TEST_F(ReadLine, SecondsTimeout) {
    std::string line;
    QElapsedTimer t;
    t.start();
    s.ReadLine(1, line);
    EXPECT_GE(t.elapsed(), 1000);
    EXPECT_EQ(s.SyncTimeout, 1000);
    EXPECT_EQ(line, "");
}

// Timeout 0 means a minute; the line arriving first ends the wait at once.
TEST_F(ReadLine, ZeroMeansSixtySeconds) {
    int seen = -1;
    QTimer::singleShot(100, [&] {
        seen = s.SyncTimeout;
        peer.write("late\r\n");
    });
    std::string line;
    s.ReadLine(0, line);
    EXPECT_EQ(seen, 60000);
    EXPECT_EQ(line, "late\r\n");
    QTimer::singleShot(100, [&] {
        seen = s.SyncTimeout;
        peer.write("x\r\n");
    });
    s.ReadLine(2, line);
    EXPECT_EQ(seen, 2000);
}

TEST_F(ReadLine, PeerCloseEndsWaitWithLastLine) {
    QTimer::singleShot(50, [&] {
        peer.write("bye");
        peer.close();
    });
    std::string line;
    s.ReadLine(5, line);
    EXPECT_EQ(line, "bye");
    EXPECT_TRUE(PumpUntil([&] { return closed; }));
}

TEST(ReadLineNotConnected, Raises) {
    TWSocket s;
    std::string line = "x";
    try {
        s.ReadLine(1, line);
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "ReadLine failed: not connected");
    }
    EXPECT_EQ(line, "");
}

// ReadLine inside the socket's own OnSessionConnected, directly and behind a SOCKS 5 proxy
// whose reply carries the greeting in the same write.
TEST(ReadLineInHandler, DirectConnection) {
    ScriptedPeer peer;
    TWSocket s;
    std::string greeting;
    s.OnSessionConnected = [&](QObject*, quint16 e) {
        ASSERT_EQ(e, 0);
        QTimer::singleShot(50, [&] { peer.write("220 ready\r\n"); });
        s.ReadLine(5, greeting);
    };
    s.SetAddr("127.0.0.1");
    s.SetRemotePort(std::to_string(peer.port()));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return !greeting.empty(); }));
    EXPECT_EQ(greeting, "220 ready\r\n");
}

TEST(ReadLineInHandler, GreetingBehindSocks5Reply) {
    ScriptedSocksProxy proxy;
    proxy.addStep({ScriptedSocksProxy::Socks5GreetingLength, {QByteArray("\x05\x00", 2)}, 0});
    proxy.addStep({ScriptedSocksProxy::Socks5RequestLength,
                   {QByteArray("\x05\x00\x00\x01\x7f\x00\x00\x01\x00\x15", 10) +
                    "220 via proxy\r\n331 more\r\n"},
                   0});
    TWSocket s;
    std::string first, second;
    bool done = false;
    s.OnSessionConnected = [&](QObject*, quint16 e) {
        ASSERT_EQ(e, 0);
        s.ReadLine(-2000, first);
        s.ReadLine(-2000, second);
        done = true;
    };
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxy.port()));
    s.SetAddr("127.0.0.1");
    s.SetRemotePort("21");
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(first, "220 via proxy\r\n");
    EXPECT_EQ(second, "331 more\r\n");
}
