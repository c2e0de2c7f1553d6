// Long runs and hostile peers: descriptors never leak, a reset never kills the program.

#include "net/platform/socket_api.h"
#include "net/wsocket.h"
#include "net_test_util.h"
#include "support/test_support.h"

#include <arpa/inet.h>
#include <csignal>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace nettest;
using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {
volatile std::sig_atomic_t PipeSignals = 0;
void CountPipe(int) {
    PipeSignals = PipeSignals + 1;
}
} // namespace

TEST(Robustness, TwoThousandConnectCloseCyclesLeakNoDescriptor) {
    const int Before = SocketApiOpenDescriptorCount();
    {
        TLoopbackServer Server;
        Server.ReleaseOnClose = true;
        const std::string Port = Server.Port();
        TWSocket C;
        int Connected = 0, Closed = 0;
        C.OnSessionConnected = [&](QObject*, quint16 E) { Connected += E == 0; };
        C.OnSessionClosed = [&](QObject*, quint16) { ++Closed; };
        for (int I = 0; I < 2000; ++I) {
            C.SetAddr("127.0.0.1");
            C.SetRemotePort(Port);
            C.SetLingerOnOff(I % 2 ? wsLingerOff : wsLingerOn);
            C.Connect();
            ASSERT_TRUE(PumpUntil([&] { return C.State() == wsConnected; })) << I;
            if (I % 3 == 0) C.SendStr("x");
            if (I % 5 == 0)
                C.Abort();
            else
                C.Close();
        }
        EXPECT_EQ(Connected, 2000);
        EXPECT_EQ(Closed, 2000);
        ASSERT_TRUE(PumpUntil([&] { return Server.PeerCloses == Server.Accepted; }, 20000));
        PumpFor(50);
        EXPECT_EQ(Server.Accepted, 2000);
    }
    PumpFor(50);
    EXPECT_EQ(SocketApiOpenDescriptorCount(), Before);
}

TEST(Robustness, PeerResetMidSendClosesOnceWith10054WithoutSigpipe) {
    struct sigaction Old {};
    struct sigaction Count {};
    Count.sa_handler = CountPipe;
    sigemptyset(&Count.sa_mask);
    sigaction(SIGPIPE, &Count, &Old);
    PipeSignals = 0;

    const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof(A));
    ::listen(Fd, 1);
    socklen_t L = sizeof(A);
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &L);

    TWSocket S;
    S.SetAddr("127.0.0.1");
    S.SetRemotePort(std::to_string(ntohs(A.sin_port)));
    std::vector<int> Closes;
    S.OnSessionClosed = [&](QObject*, quint16 E) { Closes.push_back(E); };
    bool Bg = false;
    S.OnBgException = [&](QObject*, const std::exception&, bool&) { Bg = true; };
    // Keep feeding so that a send is always in progress when the reset comes.
    const std::string Block(256 * 1024, 'r');
    S.OnDataSent = [&](QObject*, quint16) {
        if (S.State() == wsConnected) S.Send(Block.data(), int(Block.size()));
    };
    S.Connect();
    int Peer = -1;
    ASSERT_TRUE(PumpUntil([&] {
        pollfd P{Fd, POLLIN, 0};
        if (::poll(&P, 1, 0) == 1) Peer = ::accept(Fd, nullptr, nullptr);
        return Peer >= 0;
    }));
    ASSERT_TRUE(PumpUntil([&] { return S.BufferedByteCount() > 0; }));
    char Buf[65536];
    ::recv(Peer, Buf, sizeof(Buf), 0);
    const linger Hard{1, 0};
    ::setsockopt(Peer, SOL_SOCKET, SO_LINGER, &Hard, sizeof(Hard));
    ::close(Peer); // unread data and linger 0: a reset
    ASSERT_TRUE(PumpUntil([&] { return S.State() == wsClosed; }, 10000));
    PumpFor(100);
    ASSERT_EQ(Closes.size(), 1u);
    EXPECT_EQ(Closes[0], 10054);
    EXPECT_FALSE(Bg);
    EXPECT_EQ(PipeSignals, 0);
    ::close(Fd);
    sigaction(SIGPIPE, &Old, nullptr);
}

TEST(Robustness, FailedListenReleasesItsDescriptor) {
    TLoopbackServer Server;
    const int Before = SocketApiOpenDescriptorCount();
    TWSocket Second;
    for (int I = 0; I < 20; ++I) {
        Second.SetAddr("127.0.0.1");
        Second.SetRemotePort(Server.Port());
        try {
            Second.Listen();
            FAIL() << "the port is taken";
        } catch (const ESocketException& E) {
            EXPECT_STREQ(E.what(), "Error 10048 in function Bind\r\nAddress already in use");
        }
        EXPECT_EQ(Second.State(), wsClosed);
    }
    EXPECT_EQ(SocketApiOpenDescriptorCount(), Before);
}
