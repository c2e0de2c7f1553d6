// SOCKS 4, 4A and 5 client: through microsocks for SOCKS 5 and a scripted proxy for exact
// requests, every reply code and malformed replies.

#include "net/wsocket.h"
#include "socks_peers.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QRandomGenerator>
#include <functional>
#include <string>
#include <vector>

using socktest::EchoServer;
using socktest::Microsocks;
using socktest::ProxyEnd;
using socktest::ProxyStep;
using socktest::ScriptedSocksProxy;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

QByteArray Bytes(std::initializer_list<int> b) {
    QByteArray r;
    for (const int v : b)
        r.append(char(v));
    return r;
}

QByteArray PortBytes(quint16 p) {
    return Bytes({p >> 8, p & 0xff});
}

// Records every event of a socket in order, as short texts.
struct Recorder {
    std::vector<std::string> events;
    QByteArray data;
    int socksErrorCode = 0;
    std::string socksErrorMsg;
    int connectedCode = -1;
    int closedCode = -1;
    bool closed = false;

    void attach(TWSocket& s) {
        s.OnSocksConnected = [this](QObject*, quint16 e) {
            events.push_back("socks-connected " + std::to_string(e));
        };
        s.OnSocksError = [this](QObject*, int e, const std::string& m) {
            socksErrorCode = e;
            socksErrorMsg = m;
            events.push_back("socks-error " + std::to_string(e) + " " + m);
        };
        s.OnSocksAuthState = [this](QObject*, TSocksAuthState a) {
            events.push_back("auth " + std::to_string(int(a)));
        };
        s.OnSessionConnected = [this](QObject*, quint16 e) {
            connectedCode = e;
            events.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](QObject*, quint16 e) {
            closedCode = e;
            closed = true;
            events.push_back("closed " + std::to_string(e));
        };
        s.OnDataAvailable = [this, &s](QObject*, quint16) {
            const std::string got = s.ReceiveStr();
            data.append(got.data(), qsizetype(got.size()));
        };
    }
};

// A socket pointed at a proxy on loopback, destination 127.0.0.1:destPort.
void PointAtProxy(TWSocket& s, quint16 proxyPort, const std::string& level, quint16 destPort,
                  const std::string& addr = "127.0.0.1") {
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort(std::to_string(proxyPort));
    s.SetSocksLevel(level);
    s.SetAddr(addr);
    s.SetRemotePort(std::to_string(destPort));
}

} // namespace

// ---- properties ----------------------------------------------------------------------------

TEST(SocksProperties, LevelValuesAndDefaults) {
    TWSocket s;
    EXPECT_EQ(s.SocksLevel(), "5");
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksAuthentication(), socksNoAuthentication);
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    s.SetSocksLevel("4");
    EXPECT_EQ(s.SocksLevel(), "4");
    try {
        s.SetSocksLevel("6");
        FAIL() << "level 6 accepted";
    } catch (const ESocketException& e) {
        EXPECT_STREQ(e.what(), "Invalid socks level. Must be 4, 4A or 5.");
    }
    EXPECT_EQ(s.SocksLevel(), "4");
    s.SetSocksServer("  proxy.example  ");
    EXPECT_EQ(s.SocksServer(), "proxy.example");
    s.SetSocksPort(" 1080 ");
    EXPECT_EQ(s.SocksPort(), "1080");
}

TEST(SocksProperties, OnlyTcpThroughProxyAndNoListen) {
    ScriptedSocksProxy proxy;
    for (const char* proto : {"udp", "UDP"}) {
        TWSocket s;
        PointAtProxy(s, proxy.port(), "5", 9);
        s.SetProto(proto);
        try {
            s.Connect();
            FAIL() << "connect with " << proto << " accepted";
        } catch (const ESocketException& e) {
            EXPECT_STREQ(e.what(), "tcp is the only protocol supported thru socks server");
        }
        EXPECT_EQ(s.State(), wsClosed);
    }
    TWSocket l;
    l.SetSocksServer("127.0.0.1");
    l.SetAddr("127.0.0.1");
    l.SetRemotePort("0");
    EXPECT_THROW(l.Listen(), ESocketException);
    PumpFor(100);
    EXPECT_EQ(proxy.connections(), 0);
}

// A proxy address that does not answer: OnSocksConnected and OnSessionConnected carry the
// connect error, then the base close reports 0.
TEST(SocksProperties, ProxyUnreachable) {
    const quint16 deadPort = testsupport::FreePort();
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, deadPort, "5", 9);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
    ASSERT_EQ(r.events.size(), 3u);
    EXPECT_EQ(r.events[0], "socks-connected 10061");
    EXPECT_EQ(r.events[1], "connected 10061");
    EXPECT_EQ(r.events[2], "closed 0");
}

// ---- SOCKS 5 through microsocks -------------------------------------------------------------

class Socks5Microsocks : public ::testing::Test {
protected:
    EchoServer echo;
};

TEST_F(Socks5Microsocks, NoAuthDataBothWays) {
    Microsocks proxy;
    ASSERT_TRUE(proxy.started()) << "microsocks did not start";
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", echo.port());
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.connectedCode >= 0; }));
    ASSERT_EQ(r.connectedCode, 0);
    EXPECT_EQ(r.events.front(), "socks-connected 0");
    EXPECT_EQ(s.State(), wsConnected);

    // Large enough to go out in many blocks and come back in many reads.
    QByteArray payload(200 * 1024, Qt::Uninitialized);
    for (char& c : payload)
        c = char(QRandomGenerator::global()->bounded(256));
    EXPECT_EQ(s.Send(payload.constData(), int(payload.size())), int(payload.size()));
    ASSERT_TRUE(PumpUntil([&] { return r.data.size() >= payload.size(); }, 15000));
    EXPECT_EQ(r.data, payload);
    EXPECT_EQ(echo.received(), payload);
    EXPECT_EQ(echo.connections(), 1);

    s.Close();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(r.closedCode, 0);
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPort(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
}

TEST_F(Socks5Microsocks, UserPasswordAuth) {
    Microsocks proxy("alice", "s3cret");
    ASSERT_TRUE(proxy.started());
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", echo.port());
    s.SetSocksUsercode("alice");
    s.SetSocksPassword("s3cret");
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.connectedCode >= 0; }));
    ASSERT_EQ(r.connectedCode, 0);
    const std::vector<std::string> expected{"socks-connected 0", "auth 0", "auth 1", "connected 0"};
    EXPECT_EQ(r.events, expected);
    s.SendStr("ping through auth");
    ASSERT_TRUE(PumpUntil([&] { return r.data.size() >= 17; }));
    EXPECT_EQ(r.data, QByteArray("ping through auth"));
    s.Close();
    // The credentials and the method survive a close; server, port and level do not.
    EXPECT_EQ(s.SocksUsercode(), "alice");
    EXPECT_EQ(s.SocksPassword(), "s3cret");
    EXPECT_EQ(s.SocksAuthentication(), socksAuthenticateUsercode);
    EXPECT_EQ(s.SocksServer(), "");
}

TEST_F(Socks5Microsocks, WrongPasswordFails) {
    Microsocks proxy("alice", "s3cret");
    ASSERT_TRUE(proxy.started());
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", echo.port());
    s.SetSocksUsercode("alice");
    s.SetSocksPassword("wrong");
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
    EXPECT_NE(r.connectedCode, 0);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(echo.connections(), 0);
    if (r.socksErrorCode != 0) {
        EXPECT_EQ(r.socksErrorCode, 20015);
        EXPECT_EQ(r.socksErrorMsg, "socks authentication failed");
        EXPECT_EQ(r.connectedCode, 20015);
        EXPECT_EQ(r.closedCode, 20015);
    } else {
        // The proxy hung up during authentication.
        EXPECT_NE(std::find(r.events.begin(), r.events.end(), "auth 2"), r.events.end());
    }
}

TEST_F(Socks5Microsocks, NoAuthOfferedToAuthProxy) {
    Microsocks proxy("alice", "s3cret");
    ASSERT_TRUE(proxy.started());
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", echo.port());
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
    EXPECT_EQ(r.socksErrorCode, 20003);
    EXPECT_EQ(r.socksErrorMsg, "authentification method not acceptable");
    EXPECT_EQ(r.connectedCode, 20003);
    EXPECT_EQ(r.closedCode, 20003);
}

// ---- SOCKS 5 byte sequences and malformed replies (scripted proxy) --------------------------

namespace {

QByteArray Socks5Request(const QByteArray& host, quint16 port) {
    return Bytes({5, 1, 0, 3, int(host.size())}) + host + PortBytes(port);
}

// Greeting answered with method 0, then the request answered with `reply`.
void Script5(ScriptedSocksProxy& proxy, QList<QByteArray> reply, int gapMs = 0) {
    proxy.addStep({ScriptedSocksProxy::Socks5GreetingLength, {Bytes({5, 0})}, 0});
    proxy.addStep({ScriptedSocksProxy::Socks5RequestLength, std::move(reply), gapMs});
}

} // namespace

TEST(Socks5Scripted, RequestBytesAndDomainReplyWithDataBehind) {
    ScriptedSocksProxy proxy;
    // Address type 3 with a 9-byte name: complete at 16 bytes; three bytes of data follow in
    // the same write and must reach the application.
    const QByteArray reply =
        Bytes({5, 0, 0, 3, 9}) + QByteArray("localhost") + PortBytes(4242) + "XYZ";
    Script5(proxy, {reply});
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", 2121, "ftp.example.org");
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.data.size() >= 3; }));
    ASSERT_EQ(proxy.messages().size(), 2);
    EXPECT_EQ(proxy.messages()[0], Bytes({5, 1, 0}));
    EXPECT_EQ(proxy.messages()[1], Socks5Request("ftp.example.org", 2121));
    EXPECT_EQ(r.connectedCode, 0);
    EXPECT_EQ(r.data, QByteArray("XYZ"));
    const std::vector<std::string> expected{"socks-connected 0", "connected 0"};
    EXPECT_EQ(r.events, expected);
}

TEST(Socks5Scripted, DottedAddressGoesAsNameAndSplitReply) {
    ScriptedSocksProxy proxy;
    const QByteArray reply = Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0x10, 0x92});
    QList<QByteArray> chunks;
    for (const char c : reply)
        chunks.append(QByteArray(1, c));
    chunks.append("after");
    Script5(proxy, chunks, 30);
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", 80, "10.1.2.3");
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.data.size() >= 5; }));
    EXPECT_EQ(proxy.messages()[1], Socks5Request("10.1.2.3", 80));
    EXPECT_EQ(r.connectedCode, 0);
    EXPECT_EQ(r.data, QByteArray("after"));
}

TEST(Socks5Scripted, RelayedDataBothWays) {
    EchoServer echo;
    ScriptedSocksProxy proxy;
    Script5(proxy, {Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 0})});
    proxy.setEnd(ProxyEnd::Relay, echo.port());
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", echo.port());
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.connectedCode == 0; }));
    s.SendStr("hello echo");
    ASSERT_TRUE(PumpUntil([&] { return r.data.size() >= 10; }));
    EXPECT_EQ(r.data, QByteArray("hello echo"));

    // The proxy settings are fixed while the connection lasts.
    const std::vector<std::pair<std::function<void()>, const char*>> setters{
        {[&] { s.SetSocksServer("10.0.0.1"); }, "Can't change socks server if not closed"},
        {[&] { s.SetSocksPort("1081"); }, "Can't change socks port if not closed"},
        {[&] { s.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
    };
    for (const auto& [set, text] : setters) {
        try {
            set();
            ADD_FAILURE() << "no exception for: " << text;
        } catch (const ESocketException& e) {
            EXPECT_STREQ(e.what(), text);
        }
    }
    EXPECT_EQ(s.SocksServer(), "127.0.0.1");
    EXPECT_EQ(s.SocksLevel(), "5");
}

// Early bytes behind the reply feed line mode like bytes from the network.
TEST(Socks5Scripted, EarlyBytesInLineMode) {
    ScriptedSocksProxy proxy;
    Script5(proxy, {Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 21}) + "l1\r\nl2\r\npa", "rt\r\n"}, 50);
    TWSocket s;
    std::vector<std::string> lines;
    s.SetLineMode(true);
    s.OnDataAvailable = [&](QObject*, quint16) { lines.push_back(s.ReceiveStr()); };
    PointAtProxy(s, proxy.port(), "5", 21);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return lines.size() >= 3; }));
    EXPECT_EQ(lines, (std::vector<std::string>{"l1\r\n", "l2\r\n", "part\r\n"}));
}

TEST(Socks5Scripted, EveryReplyCode) {
    const std::vector<std::pair<int, std::string>> cases{
        {1, "general SOCKS server failure"}, {2, "connection not allowed by ruleset"},
        {3, "network unreachable"},          {4, "host unreachable"},
        {5, "connection refused"},           {6, "time to live expired"},
        {7, "command not supported"},        {8, "address type not supported"},
        {9, "unassigned error #9"},          {255, "unassigned error #255"}};
    for (size_t i = 0; i < cases.size(); ++i) {
        const int code = cases[i].first;
        SCOPED_TRACE("reply code " + std::to_string(code));
        ScriptedSocksProxy proxy;
        Script5(proxy, {Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0})});
        TWSocket s;
        Recorder r;
        r.attach(s);
        PointAtProxy(s, proxy.port(), "5", 21);
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
        const int expected = code <= 8 ? 20003 + code : 20012;
        const std::vector<std::string> events{
            "socks-connected 0", "socks-error " + std::to_string(expected) + " " + cases[i].second,
            "connected " + std::to_string(expected), "closed " + std::to_string(expected)};
        EXPECT_EQ(r.events, events);
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(s.SocksServer(), "");
    }
}

TEST(Socks5Scripted, MalformedReplies) {
    struct Case {
        const char* name;
        QByteArray methodReply;
        QByteArray connectReply;
        int code;
        const char* text;
    };
    const std::vector<Case> cases{
        {"wrong version in method reply", Bytes({4, 0}), {}, 20002, "socks version error"},
        {"method not offered",
         Bytes({5, 0xff}),
         {},
         20003,
         "authentification method not acceptable"},
        {"wrong version in connect reply", Bytes({5, 0}), Bytes({4, 0, 0, 1}), 20002,
         "socks version error"},
        {"address type 4", Bytes({5, 0}), Bytes({5, 0, 0, 4, 0}) + QByteArray(17, '\0'), 20011,
         "address type not supported"},
        {"address type 7", Bytes({5, 0}), Bytes({5, 0, 0, 7, 0}), 20011,
         "address type not supported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSocksProxy proxy;
        proxy.addStep({ScriptedSocksProxy::Socks5GreetingLength, {c.methodReply}, 0});
        if (!c.connectReply.isEmpty())
            proxy.addStep({ScriptedSocksProxy::Socks5RequestLength, {c.connectReply}, 0});
        TWSocket s;
        Recorder r;
        r.attach(s);
        PointAtProxy(s, proxy.port(), "5", 21);
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
        EXPECT_EQ(r.socksErrorCode, c.code);
        EXPECT_EQ(r.socksErrorMsg, c.text);
        EXPECT_EQ(r.connectedCode, c.code);
        EXPECT_EQ(r.closedCode, c.code);
        EXPECT_TRUE(r.data.isEmpty());
    }
}

// A bound name longer than the reply buffer is skipped, not overrun; data behind it arrives.
TEST(Socks5Scripted, LongBoundNameInReply) {
    ScriptedSocksProxy proxy;
    const QByteArray name(200, 'n');
    Script5(proxy, {Bytes({5, 0, 0, 3, 200}) + name + PortBytes(1), QByteArray("tail")}, 30);
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", 21);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.data.size() >= 4; }));
    EXPECT_EQ(r.connectedCode, 0);
    EXPECT_EQ(r.data, QByteArray("tail"));
}

TEST(Socks5Scripted, AuthenticationRequestAndFailures) {
    struct Case {
        const char* name;
        QByteArray authReply;
        int code;
        const char* text;
    };
    const std::vector<Case> cases{
        {"status 1", Bytes({1, 1}), 20015, "socks authentication failed"},
        {"wrong version", Bytes({5, 0}), 20002, "socks version error"},
        {"too long", Bytes({1, 0, 0}), 20001, "too much data availaible"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSocksProxy proxy;
        proxy.addStep({ScriptedSocksProxy::Socks5GreetingLength, {Bytes({5, 2})}, 0});
        proxy.addStep({ScriptedSocksProxy::Socks5AuthLength, {c.authReply}, 0});
        TWSocket s;
        Recorder r;
        r.attach(s);
        PointAtProxy(s, proxy.port(), "5", 21);
        s.SetSocksUsercode("user");
        s.SetSocksPassword("pw");
        s.SetSocksAuthentication(socksAuthenticateUsercode);
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
        ASSERT_EQ(proxy.messages().size(), 2);
        EXPECT_EQ(proxy.messages()[0], Bytes({5, 1, 2}));
        EXPECT_EQ(proxy.messages()[1], Bytes({1, 4}) + "user" + Bytes({2}) + "pw");
        const std::vector<std::string> events{
            "socks-connected 0", "auth 0", "socks-error " + std::to_string(c.code) + " " + c.text,
            "connected " + std::to_string(c.code), "closed " + std::to_string(c.code)};
        EXPECT_EQ(r.events, events);
    }
}

TEST(Socks5Scripted, ProxyClosesDuringAuthentication) {
    ScriptedSocksProxy proxy;
    proxy.addStep({ScriptedSocksProxy::Socks5GreetingLength, {Bytes({5, 2})}, 0});
    proxy.addStep({ScriptedSocksProxy::Socks5AuthLength, {}, 0});
    proxy.setEnd(ProxyEnd::Close);
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", 21);
    s.SetSocksUsercode("u");
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
    const std::vector<std::string> events{"socks-connected 0", "auth 0", "auth 2", "closed 0"};
    EXPECT_EQ(r.events, events);
}

TEST(Socks5Scripted, MethodZeroAfterOfferingAuth) {
    ScriptedSocksProxy proxy;
    Script5(proxy, {Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0})});
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "5", 21);
    s.SetSocksAuthentication(socksAuthenticateUsercode);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.connectedCode >= 0; }));
    const std::vector<std::string> events{"socks-connected 0", "auth 3", "connected 0"};
    EXPECT_EQ(r.events, events);
}

// Requests that do not fit the 128-byte buffers are refused before anything is sent.
TEST(Socks5Scripted, OversizedRequestsRefused) {
    ScriptedSocksProxy proxy;
    {
        TWSocket s;
        PointAtProxy(s, proxy.port(), "5", 21, std::string(122, 'h'));
        try {
            s.Connect();
            ADD_FAILURE() << "122-byte host name accepted";
        } catch (const ESocketException& e) {
            EXPECT_STREQ(e.what(), "connect: Socks host name too long: at most 121 bytes");
        }
        EXPECT_EQ(s.State(), wsClosed);
    }
    {
        TWSocket s;
        PointAtProxy(s, proxy.port(), "5", 21, std::string(121, 'h'));
        s.SetSocksUsercode(std::string(100, 'u'));
        s.SetSocksPassword(std::string(26, 'p'));
        s.SetSocksAuthentication(socksAuthenticateUsercode);
        EXPECT_THROW(s.Connect(), ESocketException);
    }
    {
        TWSocket s;
        PointAtProxy(s, proxy.port(), "4A", 21, std::string(60, 'h'));
        s.SetSocksUsercode(std::string(59, 'u'));
        EXPECT_THROW(s.Connect(), ESocketException);
    }
    {
        TWSocket s;
        PointAtProxy(s, proxy.port(), "4", 21);
        s.SetSocksUsercode(std::string(120, 'u'));
        EXPECT_THROW(s.Connect(), ESocketException);
    }
    PumpFor(100);
    EXPECT_EQ(proxy.connections(), 0);

    // The largest requests that fit go out whole.
    Script5(proxy, {Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0})});
    TWSocket s;
    Recorder r;
    r.attach(s);
    const std::string host(121, 'h');
    PointAtProxy(s, proxy.port(), "5", 21, host);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.connectedCode >= 0; }));
    EXPECT_EQ(r.connectedCode, 0);
    EXPECT_EQ(proxy.messages()[1], Socks5Request(QByteArray::fromStdString(host), 21));
}

// ---- SOCKS 4 and 4A (scripted proxy) --------------------------------------------------------

namespace {

QByteArray Socks4Reply(int code) {
    return Bytes({0, code, 0, 0, 0, 0, 0, 0});
}

} // namespace

TEST(Socks4, RequestBytes) {
    struct Case {
        const char* level;
        const char* user;
        QByteArray expected;
    };
    const std::vector<Case> cases{
        {"4", "bob", Bytes({4, 1, 0x08, 0xae, 127, 0, 0, 1}) + "bob" + Bytes({0})},
        {"4", "", Bytes({4, 1, 0x08, 0xae, 127, 0, 0, 1, 0})},
        {"4A", "", Bytes({4, 1, 0x08, 0xae, 0, 0, 0, 1, 0}) + "127.0.0.1" + Bytes({0})},
        {"4a", "bob",
         Bytes({4, 1, 0x08, 0xae, 0, 0, 0, 1}) + "bob" + Bytes({0}) + "127.0.0.1" + Bytes({0})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.level) + " user '" + c.user + "'");
        ScriptedSocksProxy proxy;
        proxy.addStep({ScriptedSocksProxy::Socks4RequestLength, {Socks4Reply(90)}, 0});
        TWSocket s;
        Recorder r;
        r.attach(s);
        PointAtProxy(s, proxy.port(), c.level, 2222);
        s.SetSocksUsercode(c.user);
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return r.connectedCode >= 0; }));
        EXPECT_EQ(r.connectedCode, 0);
        ASSERT_EQ(proxy.messages().size(), 1);
        EXPECT_EQ(proxy.messages()[0], c.expected);
        const std::vector<std::string> events{"socks-connected 0", "connected 0"};
        EXPECT_EQ(r.events, events);
    }
}

TEST(Socks4, EveryReplyCode) {
    const std::vector<std::tuple<int, int, std::string>> cases{
        {91, 20016, "request rejected or failed"}, {92, 20008, "connection refused"},
        {93, 20015, "authentification failed"},    {94, 20012, "unassigned error #94"},
        {0, 20012, "unassigned error #0"},
    };
    for (const char* level : {"4", "4A"}) {
        for (const auto& [reply, code, text] : cases) {
            SCOPED_TRACE(std::string(level) + " reply " + std::to_string(reply));
            ScriptedSocksProxy proxy;
            proxy.addStep({ScriptedSocksProxy::Socks4RequestLength, {Socks4Reply(reply)}, 0});
            TWSocket s;
            Recorder r;
            r.attach(s);
            PointAtProxy(s, proxy.port(), level, 21);
            s.Connect();
            ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
            const std::vector<std::string> events{
                "socks-connected 0", "socks-error " + std::to_string(code) + " " + text,
                "connected " + std::to_string(code), "closed " + std::to_string(code)};
            EXPECT_EQ(r.events, events);
            EXPECT_EQ(s.State(), wsClosed);
            EXPECT_EQ(s.SocksLevel(), "5");
        }
    }
}

TEST(Socks4, GrantedWithRelayAndDataBehindReply) {
    EchoServer echo;
    ScriptedSocksProxy proxy;
    proxy.addStep({ScriptedSocksProxy::Socks4RequestLength, {Socks4Reply(90) + "early bytes"}, 0});
    proxy.setEnd(ProxyEnd::Relay, echo.port());
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "4A", echo.port());
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.data.size() >= 11; }));
    EXPECT_EQ(r.data, QByteArray("early bytes"));
    s.SendStr("round trip");
    ASSERT_TRUE(PumpUntil([&] { return r.data.size() >= 21; }));
    EXPECT_EQ(r.data, QByteArray("early bytesround trip"));
    EXPECT_EQ(echo.received(), QByteArray("round trip"));
}

TEST(Socks4, SplitReply) {
    ScriptedSocksProxy proxy;
    QList<QByteArray> chunks{Bytes({0}), Bytes({90, 0}), Bytes({0, 0}), Bytes({0, 0, 0}),
                             QByteArray("data")};
    proxy.addStep({ScriptedSocksProxy::Socks4RequestLength, chunks, 30});
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "4", 21);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.data.size() >= 4; }));
    EXPECT_EQ(r.connectedCode, 0);
    EXPECT_EQ(r.data, QByteArray("data"));
}

TEST(Socks4, WrongVersionByte) {
    ScriptedSocksProxy proxy;
    proxy.addStep({ScriptedSocksProxy::Socks4RequestLength, {Bytes({4, 90, 0, 0, 0, 0, 0, 0})}, 0});
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "4", 21);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
    EXPECT_EQ(r.socksErrorCode, 20002);
    EXPECT_EQ(r.socksErrorMsg, "socks version error");
    EXPECT_EQ(r.connectedCode, 20002);
    EXPECT_EQ(r.closedCode, 20002);
}

// A reply cut short by the proxy's close never counts as connected.
TEST(Socks4, ShortReplyThenClose) {
    ScriptedSocksProxy proxy;
    proxy.addStep({ScriptedSocksProxy::Socks4RequestLength, {Bytes({0, 90, 0, 0, 0})}, 0});
    proxy.setEnd(ProxyEnd::Close);
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "4", 21);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
    const std::vector<std::string> events{"socks-connected 0", "closed 0"};
    EXPECT_EQ(r.events, events);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_TRUE(r.data.isEmpty());
}

// Defaults come back with a close, so a second connection needs the proxy set again; the same
// socket object can then run a second handshake.
TEST(Socks4, SecondConnectAfterClose) {
    ScriptedSocksProxy proxy1, proxy2;
    proxy1.addStep({ScriptedSocksProxy::Socks4RequestLength, {Socks4Reply(91)}, 0});
    proxy2.addStep({ScriptedSocksProxy::Socks4RequestLength, {Socks4Reply(90)}, 0});
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy1.port(), "4", 21);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
    EXPECT_EQ(r.closedCode, 20016);
    EXPECT_EQ(s.SocksServer(), "");
    r = Recorder{};
    r.attach(s);
    PointAtProxy(s, proxy2.port(), "4", 21);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.connectedCode >= 0; }));
    EXPECT_EQ(r.connectedCode, 0);
}

// A SOCKS 4 destination that does not resolve: nothing is sent, and the failure arrives the
// same three ways as every other handshake failure. ("a..b" fails inside the resolver, with no
// query leaving the machine.)
TEST(Socks4, UnresolvableDestination) {
    ScriptedSocksProxy proxy;
    proxy.addStep({ScriptedSocksProxy::Socks4RequestLength, {Socks4Reply(90)}, 0});
    TWSocket s;
    Recorder r;
    r.attach(s);
    PointAtProxy(s, proxy.port(), "4", 21, "a..b");
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.closed; }));
    EXPECT_EQ(r.socksErrorCode, 20017);
    EXPECT_EQ(r.socksErrorMsg.rfind("ESocketException ", 0), 0u) << r.socksErrorMsg;
    EXPECT_EQ(r.connectedCode, 20017);
    EXPECT_EQ(r.closedCode, 20017);
    PumpFor(50);
    EXPECT_TRUE(proxy.received().isEmpty());
}

// Bytes behind a SOCKS 5 reply reach a handler that reads two bytes at a time, all of them,
// before anything else arrives from the network.
TEST(Socks5Scripted, PendingBytesReadInSmallPieces) {
    ScriptedSocksProxy proxy;
    Script5(proxy, {Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 21}) + "abcdefg"});
    TWSocket s;
    QByteArray got;
    int connected = -1;
    s.OnSessionConnected = [&](QObject*, quint16 e) { connected = e; };
    s.OnDataAvailable = [&](QObject*, quint16) {
        char buf[2];
        const int n = s.Receive(buf, 2);
        if (n > 0) got.append(buf, n);
    };
    PointAtProxy(s, proxy.port(), "5", 21);
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return got.size() >= 7; }));
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(got, QByteArray("abcdefg"));
}
