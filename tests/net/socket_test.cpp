// The socket core over loopback: connection events, receiving, the send queue, accept and
// Dup, UDP, pause, errors and background exceptions.

#include "net/wsocket.h"
#include "net/wsocket_winsock.h"
#include "net_test_util.h"
#include "support/test_support.h"

#include <QThread>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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
