// The socket core over loopback: connection events, receiving, the send queue, accept and
// Dup, UDP, pause, errors and background exceptions.

#include "net/wsocket.h"
#include "net/wsocket_winsock.h"
#include "net_test_util.h"
#include "support/test_support.h"

#include <QLoggingCategory>
#include <QPointer>
#include <QThread>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace nettest;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

// A plain blocking server socket on 127.0.0.1 (the peer the component talks to).
class TRawServer {
public:
    TRawServer() {
        Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
        ::listen(Fd, 5);
        socklen_t L = sizeof(A);
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);
        PortNum = ntohs(A.sin_port);
    }
    ~TRawServer() {
        if (Client >= 0) ::close(Client);
        ::close(Fd);
    }
    // Accepts the pending connection (pumping events meanwhile).
    bool AcceptOne() {
        PumpUntil([this] {
            pollfd P{Fd, POLLIN, 0};
            return ::poll(&P, 1, 0) == 1;
        });
        Client = ::accept(Fd, nullptr, nullptr);
        return Client >= 0;
    }
    std::string Port() const { return std::to_string(PortNum); }
    int Fd = -1;
    int Client = -1;
    int PortNum = 0;
};

std::vector<std::string> NetMessages;

void KeepNetMessages(QtMsgType, const QMessageLogContext& Context, const QString& Text) {
    if (Context.category && std::string_view(Context.category) == "imglift.net")
        NetMessages.push_back(Text.toStdString());
}

std::unique_ptr<TWSocket> Client(const std::string& Port) {
    auto S = std::make_unique<TWSocket>();
    S->SetAddr("127.0.0.1");
    S->SetRemotePort(Port);
    S->SetProto("tcp");
    return S;
}

} // namespace

TEST(SocketCore, SuccessfulConnectEventsInOrder) {
    TRawServer Server;
    auto S = Client(Server.Port());
    TEventLog Log;
    Watch(*S, Log);
    S->Connect();
    EXPECT_EQ(S->State(), wsConnecting);
    EXPECT_EQ(Log.Joined(), "state closed>opened;state opened>connecting;");
    ASSERT_TRUE(Server.AcceptOne());
    ASSERT_TRUE(PumpUntil([&] { return Log.Has("sent 0"); }));
    EXPECT_EQ(Log.Joined(), "state closed>opened;state opened>connecting;"
                            "state connecting>connected;connected 0;sent 0;");
    EXPECT_EQ(S->PeerAddr(), "127.0.0.1");
    EXPECT_EQ(S->PeerPort(), Server.Port());
    EXPECT_EQ(S->GetXAddr(), "127.0.0.1");
    EXPECT_NE(S->GetXPort(), "error");
}

TEST(SocketCore, RefusedConnectReportsThroughEvents) {
    const std::string Port = std::to_string(testsupport::FreePort());
    auto S = Client(Port);
    TEventLog Log;
    Watch(*S, Log);
    S->Connect();
    ASSERT_TRUE(PumpUntil([&] { return Log.Has("closed 0"); }));
    PumpFor(50);
    EXPECT_EQ(Log.Joined(), "state closed>opened;state opened>connecting;"
                            "state connecting>connected;connected 10061;"
                            "state connected>closed;closed 0;");
    EXPECT_EQ(S->State(), wsClosed);
}

TEST(SocketCore, RefusedConnectIsLoggedOnceWithCodeAndText) {
    NetMessages.clear();
    QLoggingCategory::setFilterRules("imglift.net.debug=true");
    const QtMessageHandler Previous = qInstallMessageHandler(KeepNetMessages);
    auto S = Client(std::to_string(testsupport::FreePort()));
    bool Closed = false;
    S->OnSessionClosed = [&Closed](QObject*, quint16) { Closed = true; };
    S->Connect();
    const bool Done = PumpUntil([&] { return Closed; });
    qInstallMessageHandler(Previous);
    QLoggingCategory::setFilterRules(QString());
    ASSERT_TRUE(Done);
    ASSERT_EQ(NetMessages.size(), 1u);
    EXPECT_NE(NetMessages[0].find("port " + S->Port()), std::string::npos) << NetMessages[0];
    EXPECT_NE(NetMessages[0].find("error 10061, Connection refused"), std::string::npos)
        << NetMessages[0];
}

TEST(SocketCore, SendReceiveAndPeerCloseWithDataStillReadable) {
    TRawServer Server;
    auto S = Client(Server.Port());
    TEventLog Log;
    Watch(*S, Log);
    std::string Got;
    S->OnDataAvailable = [&](QObject*, quint16 E) {
        Log.Add("data " + std::to_string(E));
        const std::string Part = S->ReceiveStr();
        Got += Part;
    };
    S->Connect();
    ASSERT_TRUE(Server.AcceptOne());
    ASSERT_TRUE(PumpUntil([&] { return S->State() == wsConnected; }));

    EXPECT_EQ(S->SendStr("hello"), 5);
    char Buf[16] = {};
    ASSERT_EQ(::recv(Server.Client, Buf, sizeof(Buf), 0), 5);
    EXPECT_EQ(std::string(Buf, 5), "hello");

    // The peer writes and closes at once: the data comes first, then one close.
    ::send(Server.Client, "world!", 6, 0);
    ::close(Server.Client);
    Server.Client = -1;
    ASSERT_TRUE(PumpUntil([&] { return Log.Has("closed 0"); }));
    PumpFor(50);
    EXPECT_EQ(Got, "world!");
    EXPECT_EQ(Log.Count("closed 0"), 1);
    EXPECT_EQ(S->State(), wsClosed);
    const auto Data = std::find(Log.Events.begin(), Log.Events.end(), "data 0");
    const auto Closed = std::find(Log.Events.begin(), Log.Events.end(), "closed 0");
    EXPECT_LT(Data, Closed);
    EXPECT_EQ(S->ReadCount(), 0) << "reset by the close";
}

TEST(SendQueue, FourThousandBytesGoAsThreeBlocksAndDataSentComesLater) {
    TLoopbackServer Server;
    auto S = Client(Server.Port());
    TEventLog Log;
    Watch(*S, Log);
    std::vector<int> Sends;
    S->OnSendData = [&](QObject*, int N) { Sends.push_back(N); };
    S->Connect();
    ASSERT_TRUE(PumpUntil([&] { return Log.Has("sent 0"); }));
    Log.Events.clear();

    const std::string Data(4000, 'z');
    EXPECT_EQ(S->Send(Data.data(), int(Data.size())), 4000);
    EXPECT_EQ(Sends, (std::vector<int>{1460, 1460, 1080}));
    EXPECT_FALSE(Log.Has("sent 0")) << "OnDataSent never inside Send";
    ASSERT_TRUE(PumpUntil([&] { return Log.Has("sent 0"); }));
    EXPECT_EQ(Log.Count("sent 0"), 1);
    ASSERT_TRUE(PumpUntil([&] { return Server.Received.size() == 4000; }));
    EXPECT_EQ(Server.Received, Data);

    EXPECT_EQ(S->Send(Data.data(), 0), 0);
    EXPECT_EQ(S->SendStr(""), 0);
    EXPECT_EQ(S->BufferedByteCount(), 0);
}

TEST(SendQueue, WouldBlockAndResumptionUnderASlowReader) {
    TRawServer Server;
    auto S = Client(Server.Port());
    S->SetLingerOnOff(wsLingerOff);
    int DataSent = 0;
    S->OnDataSent = [&](QObject*, quint16) { ++DataSent; };
    S->Connect();
    ASSERT_TRUE(Server.AcceptOne());
    ASSERT_TRUE(PumpUntil([&] { return DataSent == 1; }));

    // Far more than the kernel buffers hold: the rest waits in the queue.
    std::string Data(8 << 20, '\0');
    for (std::size_t I = 0; I < Data.size(); ++I)
        Data[I] = char((I * 7 + I / 4096) & 0xFF);
    EXPECT_EQ(S->Send(Data.data(), int(Data.size())), int(Data.size()));
    PumpFor(50);
    EXPECT_GT(S->BufferedByteCount(), 0) << "the reader has not read yet";
    EXPECT_EQ(DataSent, 1);

    // The reader drains slowly in its own thread; write readiness resumes the queue.
    std::string Got;
    std::thread Reader([&] {
        char Buf[65536];
        while (Got.size() < Data.size()) {
            const ssize_t N = ::recv(Server.Client, Buf, sizeof(Buf), 0);
            if (N <= 0) break;
            Got.append(Buf, std::size_t(N));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const bool Ok = PumpUntil([&] { return DataSent == 2; }, 60000);
    Reader.join();
    ASSERT_TRUE(Ok) << Got.size();
    EXPECT_TRUE(Got == Data);

    EXPECT_TRUE(S->IsAllSent());
}

TEST(SendQueue, FlushWaitsUntilTheQueueIsEmpty) {
    TLoopbackServer Server;
    auto S = Client(Server.Port());
    S->Connect();
    ASSERT_TRUE(PumpUntil([&] { return S->State() == wsConnected; }));
    const std::string Data(3 << 20, 'f');
    S->Send(Data.data(), int(Data.size()));
    S->Flush();
    EXPECT_TRUE(S->IsAllSent());
    EXPECT_EQ(S->BufferedByteCount(), 0);
    ASSERT_TRUE(PumpUntil([&] { return Server.Received.size() == Data.size(); }));
}

TEST(SendQueue, SendWhileConnectingFailsWith10057AndCloses) {
    TRawServer Server;
    auto S = Client(Server.Port());
    TEventLog Log;
    Watch(*S, Log);
    S->Connect();
    ASSERT_EQ(S->State(), wsConnecting);
    std::string Msg;
    try {
        S->SendStr("too early");
    } catch (const ESocketException& E) {
        Msg = E.what();
    }
    EXPECT_EQ(Msg, "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(S->State(), wsClosed);
    EXPECT_EQ(S->LastError(), 10057);
    EXPECT_TRUE(Log.Has("closed 10057"));
    EXPECT_EQ(S->GetSocketHandle(), INVALID_SOCKET);

    // Routed to OnError instead: Send returns -1.
    auto T = Client(Server.Port());
    int Errors = 0;
    T->OnError = [&](QObject*) { ++Errors; };
    EXPECT_EQ(T->SendStr("x"), -1);
    EXPECT_EQ(Errors, 1);
    EXPECT_EQ(T->LastError(), 10057);
}

TEST(SendQueue, SendFlags) {
    TWSocket S;
    EXPECT_EQ(S.GetSendFlags(), wsSendNormal);
    S.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(S.SendFlags(), wsSendUrgent);
    S.SetSendFlags(wsSendNormal);
    EXPECT_EQ(S.SendFlags(), wsSendNormal);
    try {
        S.SetSendFlags(static_cast<TSocketSendFlags>(5));
        FAIL();
    } catch (const ESocketException& E) {
        EXPECT_STREQ(E.what(), "Invalid SendFlags");
    }
}

TEST(SocketCore, AcceptAndDup) {
    TLoopbackServer Server;
    TEventLog ListenLog;
    EXPECT_EQ(Server.Listener.State(), wsListening);
    EXPECT_NE(Server.Port(), "0");
    EXPECT_NE(Server.Port(), "error");
    auto S = Client(Server.Port());
    S->Connect();
    ASSERT_TRUE(PumpUntil([&] { return Server.Peers.size() == 1; }));
    TWSocket& Peer = *Server.Peers[0];
    EXPECT_EQ(Peer.State(), wsConnected);
    EXPECT_EQ(Peer.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(Peer.PeerPort(), S->GetXPort());
    EXPECT_EQ(Peer.GetXPort(), Server.Port());
    Peer.SendStr("from peer");
    std::string Got;
    S->OnDataAvailable = [&](QObject*, quint16) { Got += S->ReceiveStr(); };
    ASSERT_TRUE(PumpUntil([&] { return Got == "from peer"; }));
    S->SendStr("to peer");
    ASSERT_TRUE(PumpUntil([&] { return Server.Received == "to peer"; }));
    S->Close();
    ASSERT_TRUE(PumpUntil([&] { return Server.PeerCloses == 1; }));
    EXPECT_EQ(Peer.State(), wsClosed);

    // Dup of nothing and Accept on a socket that does not listen.
    TWSocket Other;
    EXPECT_THROW(Other.Dup(INVALID_SOCKET), ESocketException);
    try {
        Other.Accept();
        FAIL();
    } catch (const ESocketException& E) {
        EXPECT_EQ(std::string(E.what()),
                  "Error 10022 in function not a listening socket\r\nInvalid argument");
    }
    int Errors = 0;
    Other.OnError = [&](QObject*) { ++Errors; };
    EXPECT_EQ(Other.Accept(), INVALID_SOCKET);
    EXPECT_EQ(Errors, 1);
}

TEST(SocketCore, UdpRoundTrip) {
    TWSocket Server;
    Server.SetProto("udp");
    Server.SetAddr("127.0.0.1");
    Server.SetRemotePort("0");
    TEventLog ServerLog;
    Watch(Server, ServerLog);
    std::string ServerGot;
    sockaddr_in From{};
    Server.OnDataAvailable = [&](QObject*, quint16) {
        char Buf[2048];
        int FromLen = sizeof(From);
        const int N = Server.ReceiveFrom(Buf, sizeof(Buf), From, FromLen);
        if (N > 0) {
            ServerGot.assign(Buf, std::size_t(N));
            Server.SendTo(From, FromLen, "pong", 4);
        }
    };
    Server.Listen();
    EXPECT_EQ(ServerLog.Joined(),
              "state closed>bound;state bound>listening;state listening>connected;connected 0;");
    const std::string Port = Server.GetXPort();

    TWSocket C;
    C.SetProto("udp");
    C.SetAddr("127.0.0.1");
    C.SetRemotePort(Port);
    TEventLog Log;
    Watch(C, Log);
    std::string Got;
    C.OnDataAvailable = [&](QObject*, quint16) {
        char Buf[64];
        sockaddr_in F{};
        int L = sizeof(F);
        const int N = C.ReceiveFrom(Buf, sizeof(Buf), F, L);
        if (N > 0) Got.assign(Buf, std::size_t(N));
    };
    C.Connect();
    EXPECT_EQ(Log.Joined(), "state closed>opened;state opened>connected;connected 0;")
        << "a datagram socket is connected at once";
    EXPECT_NE(C.LocalPort(), "0") << "bound to the port the system chose";
    EXPECT_EQ(C.SendStr("ping"), 4);
    ASSERT_TRUE(PumpUntil([&] { return Got == "pong"; }));
    EXPECT_EQ(ServerGot, "ping");
    EXPECT_EQ(C.ReadCount(), 4);
    EXPECT_EQ(C.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(C.PeerPort(), Port);
}

TEST(SocketCore, UdpBroadcastOptionIsSet) {
    TWSocket C;
    C.SetProto("udp");
    C.SetAddr("255.255.255.255");
    C.SetRemotePort("9");
    C.Connect();
    EXPECT_EQ(C.State(), wsConnected);
    int On = 0, Len = 4;
    ASSERT_EQ(WSocket_getsockopt(C.GetSocketHandle(), WS_SOL_SOCKET, WS_SO_BROADCAST, &On, &Len),
              0);
    EXPECT_NE(On, 0);
}

TEST(SocketCore, PauseDropsNotificationsAndResumeRestartsThem) {
    TRawServer Server;
    auto S = Client(Server.Port());
    std::string Got;
    S->OnDataAvailable = [&](QObject*, quint16) { Got += S->ReceiveStr(); };
    S->Connect();
    ASSERT_TRUE(Server.AcceptOne());
    ASSERT_TRUE(PumpUntil([&] { return S->State() == wsConnected; }));
    S->Pause();
    EXPECT_TRUE(S->IsPaused());
    ::send(Server.Client, "abc", 3, 0);
    PumpFor(100);
    EXPECT_EQ(Got, "") << "paused: no data events";
    S->Resume();
    ASSERT_TRUE(PumpUntil([&] { return Got == "abc"; }));
}

TEST(SocketCore, ExceptionInSessionConnectedReachesBgException) {
    TLoopbackServer Server;
    for (const bool KeepOpen : {false, true}) {
        auto S = Client(Server.Port());
        std::string Seen;
        bool Closed = false;
        S->OnSessionConnected = [](QObject*, quint16) { throw std::runtime_error("boom"); };
        S->OnSessionClosed = [&](QObject*, quint16) { Closed = true; };
        S->OnBgException = [&](QObject* Sender, const std::exception& E, bool& CanClose) {
            EXPECT_EQ(Sender, S.get());
            Seen = E.what();
            if (KeepOpen) CanClose = false;
        };
        S->Connect();
        ASSERT_TRUE(PumpUntil([&] { return !Seen.empty(); }));
        PumpFor(30);
        EXPECT_EQ(Seen, "boom");
        if (KeepOpen) {
            EXPECT_EQ(S->State(), wsConnected);
            EXPECT_FALSE(Closed);
        } else {
            EXPECT_EQ(S->State(), wsClosed) << "aborted";
            EXPECT_TRUE(Closed);
        }
    }
}

TEST(SocketCore, ExceptionInDataAvailableEndsTheLoopQuietly) {
    TRawServer Server;
    auto S = Client(Server.Port());
    int Calls = 0;
    bool Bg = false;
    S->OnDataAvailable = [&](QObject*, quint16) {
        ++Calls;
        char B[2];
        S->Receive(B, 2);
        throw std::runtime_error("handler failed");
    };
    S->OnBgException = [&](QObject*, const std::exception&, bool&) { Bg = true; };
    S->Connect();
    ASSERT_TRUE(Server.AcceptOne());
    ASSERT_TRUE(PumpUntil([&] { return S->State() == wsConnected; }));
    ::send(Server.Client, "abcdef", 6, 0);
    ASSERT_TRUE(PumpUntil([&] { return Calls >= 1; }));
    PumpFor(30);
    EXPECT_FALSE(Bg) << "swallowed by the receive loop";
    EXPECT_EQ(S->State(), wsConnected);
}

namespace {
// Records the sizes the receive path asks for.
class TRecordingSocket : public TWSocket {
public:
    std::vector<int> Sizes;

protected:
    int DoRecv(void* Buffer, int BufferSize, int Flags) override {
        Sizes.push_back(BufferSize);
        return TWSocket::DoRecv(Buffer, BufferSize, Flags);
    }
};
} // namespace

TEST(SocketCore, WithoutDataHandlerDataIsDiscardedIn1024BytePieces) {
    TRawServer Server;
    TRecordingSocket S;
    S.SetAddr("127.0.0.1");
    S.SetRemotePort(Server.Port());
    S.Connect();
    ASSERT_TRUE(Server.AcceptOne());
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsConnected; }));
    const std::string Data(3000, 'd');
    ::send(Server.Client, Data.data(), Data.size(), 0);
    ASSERT_TRUE(PumpUntil([&] {
        unsigned long N = 1;
        WSocket_ioctlsocket(S.GetSocketHandle(), WS_FIONREAD, &N);
        return N == 0 && !S.Sizes.empty();
    }));
    for (const int Size : S.Sizes)
        EXPECT_EQ(Size, 1024);
    EXPECT_GE(S.Sizes.size(), 3u);
}

TEST(Properties, SettersAndDefaults) {
    TLoopbackServer Server;
    auto S = Client(Server.Port());
    EXPECT_EQ(S->State(), wsClosed);
    EXPECT_EQ(S->LocalAddr(), "0.0.0.0");
    EXPECT_EQ(S->LocalPort(), "0");
    EXPECT_EQ(S->Proto(), "tcp");
    EXPECT_EQ(S->LingerOnOff(), wsLingerOn);
    EXPECT_EQ(S->MultiCastIpTTL(), 1);
    EXPECT_EQ(S->PeerAddr(), "error");
    EXPECT_EQ(S->PeerPort(), "error");
    EXPECT_EQ(S->GetXPort(), "error");
    S->SetLocalAddr("");
    EXPECT_EQ(S->LocalAddr(), "0.0.0.0");
    S->SetAddr("  127.0.0.1 ");
    EXPECT_EQ(S->Addr(), "127.0.0.1") << "stored trimmed";

    S->Connect();
    ASSERT_TRUE(PumpUntil([&] { return S->State() == wsConnected; }));
    S->SetAddr("127.0.0.1"); // same value: nothing
    S->SetRemotePort(Server.Port());
    S->SetProto("tcp");
    const auto Thrown = [&](const std::function<void()>& F) {
        try {
            F();
        } catch (const ESocketException& E) {
            return std::string(E.what());
        }
        return std::string();
    };
    EXPECT_EQ(Thrown([&] { S->SetAddr("127.0.0.2"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(Thrown([&] { S->SetRemotePort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(Thrown([&] { S->SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(Thrown([&] { S->SetLocalPort("5"); }), "Cannot change LocalPort if not closed");
    EXPECT_EQ(Thrown([&] { S->SetLocalAddr("1.2.3.4"); }), "Cannot change LocalAddr if not closed");
    EXPECT_EQ(Thrown([&] { S->Connect(); }), "Connect: Socket already in use");
    S->Close();
    EXPECT_EQ(S->State(), wsClosed);
    EXPECT_EQ(S->Addr(), "127.0.0.1") << "readable after a close";
    EXPECT_EQ(Thrown([&] { S->Connect(); }), "Connect: No Port Specified")
        << "Addr and Port must be set again";

    TWSocket Fresh;
    EXPECT_EQ(Thrown([&] { Fresh.Connect(); }), "Connect: No Port Specified");
    Fresh.SetRemotePort("21");
    EXPECT_EQ(Thrown([&] { Fresh.Connect(); }), "Connect: No IP Address Specified");
    Fresh.SetAddr("127.0.0.1");
    Fresh.SetProto("");
    EXPECT_EQ(Thrown([&] { Fresh.Connect(); }), "Connect: No Protocol Specified");
    EXPECT_EQ(Thrown([&] { Fresh.Listen(); }),
              "Error 10022 in function listen: protocol not assigned\r\nInvalid argument");
}

TEST(SocketCore, CloseDelayedAndReleaseFromInsideHandlers) {
    TLoopbackServer Server;
    auto* S = new TWSocket; // destroyed by its own Release
    S->SetAddr("127.0.0.1");
    S->SetRemotePort(Server.Port());
    bool Closed = false;
    QPointer<QObject> Alive(S);
    S->OnSessionConnected = [S](QObject*, quint16) { S->CloseDelayed(); };
    S->OnSessionClosed = [&Closed, S](QObject*, quint16) {
        Closed = true;
        // Messages still queued for it must never reach the freed object.
        PostMessage(S->GetWindowHandle(), MsgSocketEvent, WPARAM(S->GetSocketHandle()), FD_READ);
        S->Release();
        PostMessage(S->GetWindowHandle(), MsgTestException, 0, 0);
    };
    S->Connect();
    ASSERT_TRUE(PumpUntil([&] { return Alive.isNull(); }));
    EXPECT_TRUE(Closed);
    PumpFor(30);
}

TEST(SocketCore, WaitForCloseReturnsWhenThePeerCloses) {
    TRawServer Server;
    auto S = Client(Server.Port());
    std::string Got;
    S->OnDataAvailable = [&](QObject*, quint16) { Got += S->ReceiveStr(); };
    S->Connect();
    ASSERT_TRUE(Server.AcceptOne());
    ASSERT_TRUE(PumpUntil([&] { return S->State() == wsConnected; }));
    ::send(Server.Client, "last words", 10, 0);
    ::shutdown(Server.Client, SHUT_WR);
    S->WaitForClose();
    EXPECT_EQ(Got, "last words") << "what was readable came first";
    ASSERT_TRUE(PumpUntil([&] { return S->State() == wsClosed; }));
}

// A handler of OnSessionClosed that connects again after a local Close keeps its new
// connection (the defaults are not reset over it).
TEST(SocketCore, ReconnectFromInsideSessionClosed) {
    TLoopbackServer Server;
    const std::string Port = Server.Port();
    auto S = Client(Port);
    int Closes = 0;
    S->OnSessionClosed = [&](QObject*, quint16) {
        if (++Closes > 1) return;
        S->SetAddr("127.0.0.1");
        S->SetRemotePort(Port);
        S->Connect();
    };
    S->Connect();
    ASSERT_TRUE(PumpUntil([&] { return Server.Peers.size() == 1 && S->State() == wsConnected; }));
    S->Close();
    EXPECT_EQ(Closes, 1);
    EXPECT_NE(S->GetSocketHandle(), INVALID_SOCKET);
    EXPECT_EQ(S->State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return Server.Peers.size() == 2 && S->State() == wsConnected; }));
    S->SendStr("still here");
    ASSERT_TRUE(PumpUntil([&] { return Server.Received == "still here"; }));
}

namespace {
// Hands completion messages to the look-up handler directly.
class TLookupProbe : public TWSocket {
public:
    void Deliver(int Handle, int Error) {
        TMessage M{MsgHostByNameDone, WPARAM(Handle), LPARAM(Error << 16), 0};
        WMAsyncGetHostByName(M);
    }
    bool EarlyReply() const { return DnsEarlyReply; }
};
} // namespace

TEST(DnsLookupGuard, StrayCompletionIsKeptNotReported) {
    TLookupProbe S;
    std::vector<int> Done;
    S.OnDnsLookupDone = [&](QObject*, quint16 E) { Done.push_back(E); };
    S.Deliver(4711, 0); // no look-up known yet: kept for the start call
    EXPECT_TRUE(S.EarlyReply());
    EXPECT_TRUE(Done.empty());
    S.DnsLookup("localhost");
    EXPECT_FALSE(S.EarlyReply()) << "a new look-up forgets it";
    ASSERT_TRUE(PumpUntil([&] { return !Done.empty(); }));
    PumpFor(50);
    EXPECT_EQ(Done, std::vector<int>{0});
    EXPECT_EQ(S.DnsResult(), "127.0.0.1");
}
