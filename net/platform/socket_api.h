#pragma once
// The system socket interface as the socket layer expects it: POSIX calls whose failures
// set a per-thread last error with the Winsock code of the errno, the asynchronous event
// selection to a window, and the asynchronous host and address look-ups.

#include "net/platform/hidden_window.h"
#include "net/platform/socket_errors.h"

#include <cstdint>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

using TSocket = int;
constexpr TSocket INVALID_SOCKET = -1; // all bits set
constexpr int SOCKET_ERROR = -1;

// Event bits of a socket notification (low word of the long parameter).
constexpr int FD_READ = 1;
constexpr int FD_WRITE = 2;
constexpr int FD_OOB = 4;
constexpr int FD_ACCEPT = 8;
constexpr int FD_CONNECT = 16;
constexpr int FD_CLOSE = 32;

// Option levels and names as the socket layer passes them; SocketApiSetSockOpt translates.
constexpr int WS_SOL_SOCKET = 65535;
constexpr int WS_IPPROTO_IP = 0;
constexpr int WS_IPPROTO_TCP = 6;
constexpr int WS_SO_REUSEADDR = 4;
constexpr int WS_SO_KEEPALIVE = 8;
constexpr int WS_SO_BROADCAST = 32;
constexpr int WS_SO_LINGER = 128;
constexpr int WS_SO_SNDBUF = 0x1001;
constexpr int WS_SO_RCVBUF = 0x1002;
constexpr int WS_SO_ERROR = 0x1007;
constexpr int WS_TCP_NODELAY = 1;
constexpr int WS_IP_MULTICAST_IF = 2;
constexpr int WS_IP_MULTICAST_TTL = 3;
constexpr int WS_IP_ADD_MEMBERSHIP = 5;
constexpr long WS_FIONREAD = 1074030207;
constexpr int WS_MSG_OOB = 1;
constexpr int WS_MSG_PEEK = 2;

// Winsock error codes used by name.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// A host record: name, aliases, address type, address length and the addresses (IPv4,
// network order).
struct THostEnt {
    std::string h_name;
    std::vector<std::string> h_aliases;
    int h_addrtype = AF_INET;
    int h_length = 4;
    std::vector<std::uint32_t> h_addr_list;
};

struct TServEnt {
    std::string s_name;
    int s_port = 0; // network order
    std::string s_proto;
};

struct TProtoEnt {
    std::string p_name;
    int p_proto = 0;
};

// Per-thread last socket error (Winsock codes).
int SocketApiGetLastError();
void SocketApiSetLastError(int Code);

// Thin calls; a failure stores the mapped errno as the last error.
TSocket SocketApiSocket(int Family, int Type, int Protocol);
int SocketApiCloseSocket(TSocket S);
int SocketApiShutdown(TSocket S, int How);
int SocketApiBind(TSocket S, const sockaddr* Addr, int AddrLen);
int SocketApiConnect(TSocket S, const sockaddr* Addr, int AddrLen);
int SocketApiListen(TSocket S, int Backlog);
TSocket SocketApiAccept(TSocket S, sockaddr* Addr, int* AddrLen);
int SocketApiSend(TSocket S, const void* Buf, int Len, int Flags);
int SocketApiSendTo(TSocket S, const void* Buf, int Len, int Flags, const sockaddr* To, int ToLen);
int SocketApiRecv(TSocket S, void* Buf, int Len, int Flags);
int SocketApiRecvFrom(TSocket S, void* Buf, int Len, int Flags, sockaddr* From, int* FromLen);
int SocketApiSetSockOpt(TSocket S, int Level, int OptName, const void* OptVal, int OptLen);
int SocketApiGetSockOpt(TSocket S, int Level, int OptName, void* OptVal, int* OptLen);
int SocketApiIoctlSocket(TSocket S, long Cmd, unsigned long* Arg);
int SocketApiGetSockName(TSocket S, sockaddr* Name, int* NameLen);
int SocketApiGetPeerName(TSocket S, sockaddr* Name, int* NameLen);
int SocketApiGetHostName(char* Name, int NameLen);
std::uint32_t SocketApiInetAddr(const char* Text); // INADDR_NONE on failure
std::string SocketApiInetNtoa(in_addr Addr);
std::optional<THostEnt> SocketApiGetHostByName(const char* Name);
std::optional<THostEnt> SocketApiGetHostByAddr(const void* Addr, int Len, int Type);
std::optional<TServEnt> SocketApiGetServByName(const char* Name, const char* Proto);
std::optional<TProtoEnt> SocketApiGetProtoByName(const char* Name);

// Posts socket notifications for S to Window as message Msg: word parameter S, long
// parameter event bits | error << 16. Connect once with its error; read while data waits;
// close once after the remaining data (or on a reset); write after the connect, after
// registration on a connected socket, and after a send stopped with would-block; accept
// while a connection waits. Events 0 stops all notifications. Makes S non-blocking.
int SocketApiAsyncSelect(TSocket S, HWND Window, UINT Msg, long Events);

// Asynchronous look-ups: a non-zero handle; the record is written to *Buffer, then
// (handle, error << 16) is posted to Window as Msg. Buffer must stay until then or a cancel.
int SocketApiAsyncGetHostByName(HWND Window, UINT Msg, const std::string& Name, THostEnt* Buffer);
int SocketApiAsyncGetHostByAddr(HWND Window, UINT Msg, std::uint32_t Addr, THostEnt* Buffer);
// 0 on success (no message will arrive), else SOCKET_ERROR with the last error set.
int SocketApiCancelAsyncRequest(int Handle);

// The number of descriptors the process has open (for leak checks).
int SocketApiOpenDescriptorCount();
