// TLS over the socket classes against a Python TLS peer on loopback, with the certificates of
// testsupport::TestCerts.

#include "net/wsocket.h"
#include "support/test_certs.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <memory>
#include <string>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

std::string Pattern(std::size_t N) {
    std::string S(N, '\0');
    for (std::size_t I = 0; I < N; ++I)
        S[I] = char(I % 251);
    return S;
}

// The Python peer with one certificate and one behaviour; keeps everything it printed.
class TlsPeer {
public:
    explicit TlsPeer(const QString& Cert, const QString& Mode = "echo",
                     const QStringList& Extra = {}) {
        const testsupport::TestCerts& C = testsupport::TestCerts::Get();
        Proc = std::make_unique<testsupport::ServerProcess>(
            "/usr/bin/python3",
            QStringList{testsupport::SourceDir() + "/tests/net/tls_peer.py", "--cert", C.Pem(Cert),
                        "--key", C.Key(Cert), "--mode", Mode} +
                Extra);
        const QRegularExpression PortLine("port (\\d+)");
        PumpUntil([&] { return PortLine.match(Log()).hasMatch(); }, 10000);
        Port = PortLine.match(Text).captured(1).toStdString();
    }
    const QString& Log() {
        Text += Proc->output();
        return Text;
    }
    bool WaitFor(const QString& Line, int TimeoutMs = 5000) {
        return PumpUntil([&] { return Log().contains(Line + "\n"); }, TimeoutMs);
    }
    std::string Port;

private:
    std::unique_ptr<testsupport::ServerProcess> Proc;
    QString Text;
};

// A TLS client socket that records what it is told.
struct Client {
    explicit Client(const std::string& Port, const std::string& Host = "localhost") {
        S.SetAddr("127.0.0.1");
        S.SetRemotePort(Port);
        S.SetSslEnable(true);
        S.SetSslHostName(Host);
        S.OnSslHandshakeDone = [this](QObject*, quint16 E) {
            ++Handshakes;
            HandshakeError = E;
        };
        S.OnDataAvailable = [this](QObject*, quint16) {
            char Buf[8192]; // less than a record: the rest must be offered again
            const int N = S.Receive(Buf, sizeof Buf);
            if (N > 0)
                Got.append(Buf, std::size_t(N));
            else
                ++EmptyReads;
        };
        S.OnDataSent = [this](QObject*, quint16) { ++Sent; };
        S.OnSessionClosed = [this](QObject*, quint16 E) {
            ++Closes;
            CloseError = E;
        };
    }
    bool Handshake() {
        S.Connect();
        return PumpUntil([&] { return Handshakes > 0; }, 10000) && HandshakeError == 0;
    }
    bool Echo(const std::string& Data, int TimeoutMs = 5000) {
        const std::size_t Want = Got.size() + Data.size();
        S.SendStr(Data);
        return PumpUntil([&] { return Got.size() >= Want; }, TimeoutMs);
    }

    TWSocket S;
    std::string Got;
    int Handshakes = 0;
    quint16 HandshakeError = 0;
    int EmptyReads = 0;
    int Sent = 0;
    int Closes = 0;
    quint16 CloseError = 0;
};

class SslVersions : public ::testing::TestWithParam<const char*> {
protected:
    TSslVersion Version() const {
        return std::string(GetParam()) == "1.2" ? sslVersionTls12 : sslVersionTls13;
    }
    QStringList Only() const { return {"--min", GetParam(), "--max", GetParam()}; }
};

} // namespace

// A megabyte each way, queued while the handshake still runs: both directions block and
// resume, every OnDataAvailable has decrypted bytes, the close sends close_notify.
TEST_P(SslVersions, EchoMegabyteAndCloseNotify) {
    TlsPeer Peer("srv", "echo", Only());
    Client C(Peer.Port);
    const std::string Data = Pattern(1 << 20);
    bool QueuedEarly = false;
    C.S.OnSessionConnected = [&](QObject*, quint16 E) {
        ASSERT_EQ(E, 0);
        QueuedEarly = C.Handshakes == 0;
        C.S.SendStr(Data);
    };
    C.S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return C.Got.size() >= Data.size() || C.Closes > 0; }, 30000))
        << C.Got.size() << " bytes back";
    EXPECT_TRUE(QueuedEarly);
    EXPECT_EQ(C.HandshakeError, 0);
    EXPECT_TRUE(C.S.SslPeerVerified()) << C.S.SslVerifyText();
    EXPECT_EQ(C.S.SslVersion(), std::string("TLSv") + GetParam());
    EXPECT_TRUE(C.Got == Data);
    EXPECT_EQ(C.EmptyReads, 0);
    EXPECT_GE(C.Sent, 1);
    C.S.Close();
    EXPECT_TRUE(Peer.WaitFor("close_notify")) << Peer.Log().toStdString();
    PumpFor(100);
    EXPECT_EQ(C.Closes, 1);
}

// The newest session of one connection resumes on the next; TLS 1.3 tickets come after the
// handshake and count as well.
TEST_P(SslVersions, SessionResumes) {
    TlsPeer Peer("srv", "echo", Only());
    Client First(Peer.Port);
    ASSERT_TRUE(First.Handshake());
    ASSERT_TRUE(First.Echo("ticket please"));
    EXPECT_FALSE(First.S.SslSessionReused());
    const TSslSession Session = First.S.SslSession();
    ASSERT_TRUE(Session);
    First.S.Close();

    Client Second(Peer.Port);
    Second.S.SetSslSession(Session);
    ASSERT_TRUE(Second.Handshake());
    EXPECT_TRUE(Second.S.SslSessionReused());
    EXPECT_TRUE(Second.S.SslPeerVerified()) << Second.S.SslVerifyText();
    EXPECT_TRUE(Second.Echo("again"));
    EXPECT_TRUE(Peer.WaitFor("handshake TLSv" + QString(GetParam()) + " reused=1"))
        << Peer.Log().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Tls, SslVersions, ::testing::Values("1.2", "1.3"));

// Untrusted and mismatched certificates are reported with their reason; the handshake still
// completes, so the caller decides.
TEST(SslVerify, ReasonsAndCertificate) {
    struct Case {
        const char* Cert;
        const char* Host;
        const char* Reason; // empty: verified
    };
    for (const Case& K :
         {Case{"srv", "localhost", ""}, Case{"srv", "127.0.0.1", ""},
          Case{"self", "localhost", "self"}, Case{"other", "localhost", "hostname mismatch"},
          Case{"other", "127.0.0.1", "IP address mismatch"}}) {
        SCOPED_TRACE(std::string(K.Cert) + " as " + K.Host);
        TlsPeer Peer(K.Cert);
        Client C(Peer.Port, K.Host);
        ASSERT_TRUE(C.Handshake()) << C.S.SslErrorText();
        EXPECT_EQ(C.S.SslPeerVerified(), *K.Reason == 0);
        EXPECT_NE(C.S.SslVerifyText().find(K.Reason), std::string::npos) << C.S.SslVerifyText();
        EXPECT_TRUE(C.Echo("still talking"));
    }

    TlsPeer Peer("self");
    Client C(Peer.Port);
    ASSERT_TRUE(C.Handshake());
    const TSslCertInfo& Info = C.S.SslPeerCert();
    EXPECT_EQ(Info.Sha256, testsupport::TestCerts::Get().Fingerprint("self").toStdString());
    EXPECT_EQ(Info.Subject, "O=Self Signed,CN=localhost");
    EXPECT_EQ(Info.Issuer, Info.Subject);
    EXPECT_LT(Info.NotBefore, Info.NotAfter);
}

// Explicit TLS after a plain exchange, with line mode reading the decrypted lines.
TEST(SslStartTls, LineModeAfterHandshake) {
    TlsPeer Peer("srv", "starttls");
    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetRemotePort(Peer.Port);
    S.SetSslHostName("localhost");
    S.SetLineMode(true);
    std::vector<std::string> Lines;
    quint16 HandshakeError = 1;
    S.OnSslHandshakeDone = [&](QObject*, quint16 E) { HandshakeError = E; };
    S.OnDataAvailable = [&](QObject*, quint16) {
        Lines.push_back(S.ReceiveStr());
        if (Lines.back() == "GO\r\n") S.StartSslHandshake();
    };
    S.OnSessionConnected = [&](QObject*, quint16) { S.SendStr("STARTTLS\r\n"); };
    S.Connect();
    ASSERT_TRUE(PumpUntil([&] { return S.SslEstablished(); }));
    EXPECT_EQ(HandshakeError, 0);
    S.SendStr("one\r\ntwo\r\nthr");
    S.SendStr("ee\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Lines.size() >= 4; }));
    EXPECT_EQ(Lines, (std::vector<std::string>{"GO\r\n", "one\r\n", "two\r\n", "three\r\n"}));
}

// The peer ends the stream with or without close_notify: every byte before it arrives and
// OnSessionClosed comes once.
TEST(SslPeerClose, MidStream) {
    for (const char* Mode : {"burst", "burst-notify"}) {
        SCOPED_TRACE(Mode);
        TlsPeer Peer("srv", Mode, {"--burst", "300000"});
        Client C(Peer.Port);
        C.S.Connect();
        ASSERT_TRUE(PumpUntil([&] { return C.Closes > 0; }, 10000));
        PumpFor(200);
        EXPECT_EQ(C.Closes, 1);
        EXPECT_EQ(C.Got.size(), 300000u);
        EXPECT_TRUE(C.Got == Pattern(300000));
        const bool Notify = std::string(Mode) == "burst-notify";
        EXPECT_EQ(C.S.SslCloseNotifyReceived(), Notify);
        if (Notify) {
            EXPECT_TRUE(Peer.WaitFor("close_notify answered")) << Peer.Log().toStdString();
        }
    }
}

// No common protocol version: the handshake fails with a reason and the connection closes once.
TEST(SslHandshake, FailureClosesOnce) {
    TlsPeer Peer("srv", "echo", {"--min", "1.3"});
    Client C(Peer.Port);
    C.S.SetSslMaxVersion(sslVersionTls12);
    EXPECT_FALSE(C.Handshake());
    EXPECT_EQ(C.HandshakeError, SslErrHandshake);
    ASSERT_TRUE(PumpUntil([&] { return C.Closes > 0; }));
    PumpFor(100);
    EXPECT_EQ(C.Closes, 1);
    EXPECT_EQ(C.CloseError, SslErrHandshake);
    EXPECT_FALSE(C.S.SslErrorText().empty());
}

// Through a SOCKS 5 proxy the proxy's handshake stays plain and TLS runs end to end over it.
TEST(SslSocks, HandshakeThroughProxy) {
    const quint16 ProxyPort = testsupport::FreePort();
    testsupport::ServerProcess Proxy("microsocks",
                                     {"-i", "127.0.0.1", "-p", QString::number(ProxyPort)});
    ASSERT_TRUE(testsupport::WaitForListener(ProxyPort));
    TlsPeer Peer("srv");
    Client C(Peer.Port);
    C.S.SetSocksServer("127.0.0.1");
    C.S.SetSocksPort(std::to_string(ProxyPort));
    ASSERT_TRUE(C.Handshake()) << C.S.SslErrorText();
    EXPECT_TRUE(C.S.SslPeerVerified()) << C.S.SslVerifyText();
    EXPECT_TRUE(C.Echo(Pattern(100000)));
    EXPECT_TRUE(C.Got == Pattern(100000));
}
