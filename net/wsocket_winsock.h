#pragma once
// Socket library loading, the wrappers every system socket call goes through, and the
// English texts of the socket error codes.
//
// On this platform there is no library to load: the loaded state, its counter and the
// forced-load state are kept, and loading always succeeds.

#include "net/platform/socket_api.h"

#include <atomic>
#include <string>

struct TWSAData {
    quint16 wVersion = 0;
    quint16 wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    quint16 iMaxSockets = 0;
    quint16 iMaxUdpDg = 0;
    const char* lpVendorInfo = nullptr;
};

extern const char* const WSocketLibName; // "wsock32.dll"
extern std::atomic<int> WSocketGCount;
extern bool WSocketGForced;

using TWSocketProc = void*;
// Loads the library on first use; an empty name only loads.
TWSocketProc WSocketGetProc(const std::string& ProcName);
void WSocketForceLoadWinsock();
void WSocketCancelForceLoadWinsock();
void WSocketUnloadWinsock();
bool WSocketIsLoaded();
// Number of entry points resolved since the last load.
int WSocketCachedProcCount();
TWSAData WinsockInfo();

std::string WSocketErrorDesc(int ErrCode);

int WSocket_WSAStartup(quint16 Version, TWSAData& Data);
int WSocket_WSACleanup();
void WSocket_WSASetLastError(int Error);
int WSocket_WSAGetLastError();
int WSocket_WSACancelAsyncRequest(int Handle);
int WSocket_WSAAsyncGetHostByName(HWND Window, UINT Msg, const std::string& Name, THostEnt* Buffer);
int WSocket_WSAAsyncGetHostByAddr(HWND Window, UINT Msg, std::uint32_t Addr, THostEnt* Buffer);
int WSocket_WSAAsyncSelect(TSocket S, HWND Window, UINT Msg, long Events);
std::optional<TServEnt> WSocket_getservbyname(const char* Name, const char* Proto);
std::optional<TProtoEnt> WSocket_getprotobyname(const char* Name);
std::optional<THostEnt> WSocket_gethostbyname(const char* Name);
std::optional<THostEnt> WSocket_gethostbyaddr(const void* Addr, int Len, int Type);
int WSocket_gethostname(char* Name, int NameLen);
TSocket WSocket_socket(int Family, int Type, int Protocol);
int WSocket_shutdown(TSocket S, int How);
int WSocket_setsockopt(TSocket S, int Level, int OptName, const void* OptVal, int OptLen);
int WSocket_getsockopt(TSocket S, int Level, int OptName, void* OptVal, int* OptLen);
int WSocket_sendto(TSocket S, const void* Buf, int Len, int Flags, const sockaddr* To, int ToLen);
int WSocket_send(TSocket S, const void* Buf, int Len, int Flags);
int WSocket_recv(TSocket S, void* Buf, int Len, int Flags);
int WSocket_recvfrom(TSocket S, void* Buf, int Len, int Flags, sockaddr* From, int* FromLen);
quint16 WSocket_ntohs(quint16 V);
quint32 WSocket_ntohl(quint32 V);
int WSocket_listen(TSocket S, int Backlog);
int WSocket_ioctlsocket(TSocket S, long Cmd, unsigned long* Arg);
std::string WSocket_inet_ntoa(in_addr Addr);
quint32 WSocket_inet_addr(const char* Text);
quint16 WSocket_htons(quint16 V);
quint32 WSocket_htonl(quint32 V);
int WSocket_getsockname(TSocket S, sockaddr* Name, int* NameLen);
int WSocket_getpeername(TSocket S, sockaddr* Name, int* NameLen);
int WSocket_connect(TSocket S, const sockaddr* Addr, int AddrLen);
int WSocket_closesocket(TSocket S);
int WSocket_bind(TSocket S, const sockaddr* Addr, int AddrLen);
TSocket WSocket_accept(TSocket S, sockaddr* Addr, int* AddrLen);
