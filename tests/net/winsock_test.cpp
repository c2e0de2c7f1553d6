// Loader states, wrappers and error texts.

#include "net/platform/socket_api.h"
#include "net/wsocket.h"
#include "net/wsocket_winsock.h"
#include "support/test_support.h"

#include <cerrno>
#include <gtest/gtest.h>

TEST(Winsock, ErrorTexts) {
    EXPECT_EQ(WSocketErrorDesc(10061), "Connection refused");
    EXPECT_EQ(WSocketErrorDesc(12345), "Not a WinSock error");
    EXPECT_EQ(WSocketErrorDesc(0), "No Error");
    EXPECT_EQ(WSocketErrorDesc(10054), "Connection reset by peer");
    EXPECT_EQ(WSocketErrorDesc(10057), "Socket is not connected");
    EXPECT_EQ(WSocketErrorDesc(10058), "Can't send after socket shutdown");
    EXPECT_EQ(WSocketErrorDesc(10069), "Disc quota exceeded");
    EXPECT_EQ(WSocketErrorDesc(10092), "WinSock DLL cannot support this application");
    EXPECT_EQ(WSocketErrorDesc(11001), "Host not found");
    EXPECT_EQ(WSocketErrorDesc(11004), "No Data");
    EXPECT_EQ(WSocketErrorDesc(10072), "Not a WinSock error") << "gap in the table";
    EXPECT_EQ(WSocketErrorDesc(-1), "Not a WinSock error");
}

TEST(Winsock, ErrnoMapsToWinsockCodes) {
    EXPECT_EQ(WinsockErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WinsockErrorFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(WinsockErrorFromErrno(EINPROGRESS), 10035);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WinsockErrorFromErrno(EPIPE), 10054);
    EXPECT_EQ(WinsockErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(WinsockErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WinsockErrorFromErrno(EBADF), 10009);
    EXPECT_EQ(WinsockErrorFromErrno(ENOTSOCK), 10038);
    EXPECT_EQ(WinsockErrorFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(WinsockErrorFromErrno(EINVAL), 10022);
}

TEST(Winsock, WrappersSetTheLastError) {
    char C;
    EXPECT_EQ(WSocket_recv(-1, &C, 1, 0), -1);
    EXPECT_EQ(WSocket_WSAGetLastError(), 10009);
    WSocket_WSASetLastError(10061);
    EXPECT_EQ(WSocket_WSAGetLastError(), 10061);
    EXPECT_EQ(WSocket_inet_addr("1.2.3.4"), WSocket_htonl(0x01020304));
    EXPECT_EQ(WSocket_inet_addr("nonsense"), INADDR_NONE);
    in_addr A{};
    A.s_addr = WSocket_htonl(0x7F000001);
    EXPECT_EQ(WSocket_inet_ntoa(A), "127.0.0.1");
    EXPECT_EQ(WSocket_ntohs(WSocket_htons(0x1234)), 0x1234);
}

TEST(Winsock, LoadedOnFirstUseAndUnloadedWithTheLastSocket) {
    WSocketUnloadWinsock();
    ASSERT_FALSE(WSocketIsLoaded());
    {
        TWSocket S;
        EXPECT_FALSE(WSocketIsLoaded()) << "creating a socket loads nothing";
        EXPECT_EQ(WSocketGCount.load(), 1);
        S.SetAddr("127.0.0.1");
        S.SetRemotePort(std::to_string(testsupport::FreePort()));
        S.Connect();
        EXPECT_TRUE(WSocketIsLoaded());
        EXPECT_GT(WSocketCachedProcCount(), 0);
    }
    EXPECT_EQ(WSocketGCount.load(), 0);
    EXPECT_FALSE(WSocketIsLoaded());
    EXPECT_EQ(WSocketCachedProcCount(), 0) << "every pointer cleared";
    // The next call loads again.
    EXPECT_EQ(WSocket_WSAGetLastError(), WSocket_WSAGetLastError());
    EXPECT_TRUE(WSocketIsLoaded());
    WSocketUnloadWinsock();
}

TEST(Winsock, ForcedLoadCountsAsOneSocket) {
    WSocketUnloadWinsock();
    WSocketForceLoadWinsock();
    EXPECT_TRUE(WSocketIsLoaded());
    EXPECT_EQ(WSocketGCount.load(), 1);
    WSocketForceLoadWinsock();
    EXPECT_EQ(WSocketGCount.load(), 1) << "a second forced load changes nothing";
    {
        TWSocket S;
        EXPECT_EQ(WSocketGCount.load(), 2);
    }
    WSocketCancelForceLoadWinsock();
    EXPECT_FALSE(WSocketIsLoaded());
    EXPECT_EQ(WSocketGCount.load(), 0);
    const TWSAData Info = WinsockInfo();
    EXPECT_EQ(Info.wVersion, 0x0101);
    EXPECT_FALSE(WSocketIsLoaded()) << "WinsockInfo unloads again when no socket lives";
}

TEST(Winsock, MissingEntryPoint) {
    try {
        WSocketGetProc("NoSuchFunction");
        FAIL() << "no exception";
    } catch (const ESocketException& E) {
        EXPECT_EQ(std::string(E.what()).rfind("Procedure NoSuchFunction not found in wsock32.dll"
                                              " Error #",
                                              0),
                  0u)
            << E.what();
    }
    EXPECT_NE(WSocketGetProc("send"), nullptr);
    WSocketUnloadWinsock();
}
