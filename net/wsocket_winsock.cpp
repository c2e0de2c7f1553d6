#include "net/wsocket_winsock.h"

#include "net/wsocket_core.h"

#include <arpa/inet.h>
#include <cstring>
#include <string_view>

// Each wrapper looks its entry point up once, until the next unload.
#define PROC(Fn, Name)                                                                             \
    ([]() {                                                                                        \
        static const int Index = IndexOf(Name);                                                    \
        return reinterpret_cast<decltype(&Fn)>(Resolve(Index));                                    \
    }())

const char* const WSocketLibName = "wsock32.dll";
std::atomic<int> WSocketGCount{0};
bool WSocketGForced = false;

namespace {

bool Loaded = false;
TWSAData StartupData;

// The entry points the wrappers resolve, by name. Without a library to load, the address
// of a name is the native function standing for it.
struct TEntry {
    const char* Name;
    void* Address;
};

const TEntry Entries[] = {
    {"WSAStartup", reinterpret_cast<void*>(&WSocket_WSAStartup)},
    {"WSACleanup", reinterpret_cast<void*>(&WSocket_WSACleanup)},
    {"WSASetLastError", reinterpret_cast<void*>(&SocketApiSetLastError)},
    {"WSAGetLastError", reinterpret_cast<void*>(&SocketApiGetLastError)},
    {"WSACancelAsyncRequest", reinterpret_cast<void*>(&SocketApiCancelAsyncRequest)},
    {"WSAAsyncGetHostByName", reinterpret_cast<void*>(&SocketApiAsyncGetHostByName)},
    {"WSAAsyncGetHostByAddr", reinterpret_cast<void*>(&SocketApiAsyncGetHostByAddr)},
    {"WSAAsyncSelect", reinterpret_cast<void*>(&SocketApiAsyncSelect)},
    {"getservbyname", reinterpret_cast<void*>(&SocketApiGetServByName)},
    {"getprotobyname", reinterpret_cast<void*>(&SocketApiGetProtoByName)},
    {"gethostbyname", reinterpret_cast<void*>(&SocketApiGetHostByName)},
    {"gethostbyaddr", reinterpret_cast<void*>(&SocketApiGetHostByAddr)},
    {"gethostname", reinterpret_cast<void*>(&SocketApiGetHostName)},
    {"socket", reinterpret_cast<void*>(&SocketApiSocket)},
    {"shutdown", reinterpret_cast<void*>(&SocketApiShutdown)},
    {"setsockopt", reinterpret_cast<void*>(&SocketApiSetSockOpt)},
    {"getsockopt", reinterpret_cast<void*>(&SocketApiGetSockOpt)},
    {"sendto", reinterpret_cast<void*>(&SocketApiSendTo)},
    {"send", reinterpret_cast<void*>(&SocketApiSend)},
    {"recv", reinterpret_cast<void*>(&SocketApiRecv)},
    {"recvfrom", reinterpret_cast<void*>(&SocketApiRecvFrom)},
    {"ntohs", reinterpret_cast<void*>(&WSocket_ntohs)},
    {"ntohl", reinterpret_cast<void*>(&WSocket_ntohl)},
    {"listen", reinterpret_cast<void*>(&SocketApiListen)},
    {"ioctlsocket", reinterpret_cast<void*>(&SocketApiIoctlSocket)},
    {"inet_ntoa", reinterpret_cast<void*>(&SocketApiInetNtoa)},
    {"inet_addr", reinterpret_cast<void*>(&SocketApiInetAddr)},
    {"htons", reinterpret_cast<void*>(&WSocket_htons)},
    {"htonl", reinterpret_cast<void*>(&WSocket_htonl)},
    {"getsockname", reinterpret_cast<void*>(&SocketApiGetSockName)},
    {"getpeername", reinterpret_cast<void*>(&SocketApiGetPeerName)},
    {"connect", reinterpret_cast<void*>(&SocketApiConnect)},
    {"closesocket", reinterpret_cast<void*>(&SocketApiCloseSocket)},
    {"bind", reinterpret_cast<void*>(&SocketApiBind)},
    {"accept", reinterpret_cast<void*>(&SocketApiAccept)},
};

constexpr int EntryCount = int(sizeof(Entries) / sizeof(Entries[0]));

// The cached pointers, all cleared by an unload.
void* Pointers[EntryCount] = {};

int IndexOf(const char* Name) {
    for (int I = 0; I < EntryCount; ++I)
        if (std::string_view(Entries[I].Name) == Name) return I;
    return -1;
}

void* Resolve(int Index) {
    if (!Pointers[Index] || !Loaded) Pointers[Index] = WSocketGetProc(Entries[Index].Name);
    return Pointers[Index];
}

} // namespace

TWSocketProc WSocketGetProc(const std::string& ProcName) {
    if (!Loaded) {
        Loaded = true;
        const int R = WSocket_WSAStartup(0x0101, StartupData);
        if (R != 0) {
            Loaded = false;
            char Buf[256];
            std::snprintf(Buf, sizeof(Buf), "%s: WSAStartup error #%d", WSocketLibName, R);
            throw ESocketException(Buf);
        }
    }
    if (ProcName.empty()) return nullptr;
    for (const TEntry& E : Entries)
        if (ProcName == E.Name) return E.Address;
    throw ESocketException("Procedure " + ProcName + " not found in " + WSocketLibName +
                           " Error #" + std::to_string(WSAEINVAL));
}

void WSocketUnloadWinsock() {
    if (Loaded) {
        WSocket_WSACleanup();
        Loaded = false;
        for (void*& P : Pointers)
            P = nullptr;
    }
    WSocketGCount = 0;
    WSocketGForced = false;
}

void WSocketForceLoadWinsock() {
    if (!WSocketGForced) {
        WSocketGForced = true;
        ++WSocketGCount;
        WSocketGetProc("");
    }
}

void WSocketCancelForceLoadWinsock() {
    if (WSocketGForced) {
        WSocketGForced = false;
        if (--WSocketGCount <= 0) WSocketUnloadWinsock();
    }
}

bool WSocketIsLoaded() {
    return Loaded;
}

int WSocketCachedProcCount() {
    int N = 0;
    for (void* P : Pointers)
        N += P != nullptr;
    return N;
}

TWSAData WinsockInfo() {
    WSocketGetProc("");
    const TWSAData Copy = StartupData;
    if (WSocketGCount <= 0) WSocketUnloadWinsock();
    return Copy;
}

std::string WSocketErrorDesc(int ErrCode) {
    const char* Text = SocketErrorText(ErrCode);
    return Text ? Text : "Not a WinSock error";
}

int WSocket_WSAStartup(quint16 Version, TWSAData& Data) {
    Data = TWSAData{};
    Data.wVersion = Version;
    Data.wHighVersion = 0x0202;
    std::strncpy(Data.szDescription, "POSIX sockets", sizeof(Data.szDescription) - 1);
    std::strncpy(Data.szSystemStatus, "Running", sizeof(Data.szSystemStatus) - 1);
    Data.iMaxSockets = 0xFFFF;
    Data.iMaxUdpDg = 65467;
    return 0;
}

int WSocket_WSACleanup() {
    return 0;
}

void WSocket_WSASetLastError(int Error) {
    PROC(SocketApiSetLastError, "WSASetLastError")(Error);
}
int WSocket_WSAGetLastError() {
    return PROC(SocketApiGetLastError, "WSAGetLastError")();
}
int WSocket_WSACancelAsyncRequest(int Handle) {
    return PROC(SocketApiCancelAsyncRequest, "WSACancelAsyncRequest")(Handle);
}
int WSocket_WSAAsyncGetHostByName(HWND Window, UINT Msg, const std::string& Name,
                                  THostEnt* Buffer) {
    return PROC(SocketApiAsyncGetHostByName, "WSAAsyncGetHostByName")(Window, Msg, Name, Buffer);
}
int WSocket_WSAAsyncGetHostByAddr(HWND Window, UINT Msg, std::uint32_t Addr, THostEnt* Buffer) {
    return PROC(SocketApiAsyncGetHostByAddr, "WSAAsyncGetHostByAddr")(Window, Msg, Addr, Buffer);
}
int WSocket_WSAAsyncSelect(TSocket S, HWND Window, UINT Msg, long Events) {
    return PROC(SocketApiAsyncSelect, "WSAAsyncSelect")(S, Window, Msg, Events);
}
std::optional<TServEnt> WSocket_getservbyname(const char* Name, const char* Proto) {
    return PROC(SocketApiGetServByName, "getservbyname")(Name, Proto);
}
std::optional<TProtoEnt> WSocket_getprotobyname(const char* Name) {
    return PROC(SocketApiGetProtoByName, "getprotobyname")(Name);
}
std::optional<THostEnt> WSocket_gethostbyname(const char* Name) {
    return PROC(SocketApiGetHostByName, "gethostbyname")(Name);
}
std::optional<THostEnt> WSocket_gethostbyaddr(const void* Addr, int Len, int Type) {
    return PROC(SocketApiGetHostByAddr, "gethostbyaddr")(Addr, Len, Type);
}
int WSocket_gethostname(char* Name, int NameLen) {
    return PROC(SocketApiGetHostName, "gethostname")(Name, NameLen);
}
TSocket WSocket_socket(int Family, int Type, int Protocol) {
    return PROC(SocketApiSocket, "socket")(Family, Type, Protocol);
}
int WSocket_shutdown(TSocket S, int How) {
    return PROC(SocketApiShutdown, "shutdown")(S, How);
}
int WSocket_setsockopt(TSocket S, int Level, int OptName, const void* OptVal, int OptLen) {
    return PROC(SocketApiSetSockOpt, "setsockopt")(S, Level, OptName, OptVal, OptLen);
}
int WSocket_getsockopt(TSocket S, int Level, int OptName, void* OptVal, int* OptLen) {
    return PROC(SocketApiGetSockOpt, "getsockopt")(S, Level, OptName, OptVal, OptLen);
}
int WSocket_sendto(TSocket S, const void* Buf, int Len, int Flags, const sockaddr* To, int ToLen) {
    return PROC(SocketApiSendTo, "sendto")(S, Buf, Len, Flags, To, ToLen);
}
int WSocket_send(TSocket S, const void* Buf, int Len, int Flags) {
    return PROC(SocketApiSend, "send")(S, Buf, Len, Flags);
}
int WSocket_recv(TSocket S, void* Buf, int Len, int Flags) {
    return PROC(SocketApiRecv, "recv")(S, Buf, Len, Flags);
}
int WSocket_recvfrom(TSocket S, void* Buf, int Len, int Flags, sockaddr* From, int* FromLen) {
    return PROC(SocketApiRecvFrom, "recvfrom")(S, Buf, Len, Flags, From, FromLen);
}
quint16 WSocket_ntohs(quint16 V) {
    return ntohs(V);
}
quint32 WSocket_ntohl(quint32 V) {
    return ntohl(V);
}
int WSocket_listen(TSocket S, int Backlog) {
    return PROC(SocketApiListen, "listen")(S, Backlog);
}
int WSocket_ioctlsocket(TSocket S, long Cmd, unsigned long* Arg) {
    return PROC(SocketApiIoctlSocket, "ioctlsocket")(S, Cmd, Arg);
}
std::string WSocket_inet_ntoa(in_addr Addr) {
    return PROC(SocketApiInetNtoa, "inet_ntoa")(Addr);
}
quint32 WSocket_inet_addr(const char* Text) {
    return PROC(SocketApiInetAddr, "inet_addr")(Text);
}
quint16 WSocket_htons(quint16 V) {
    return htons(V);
}
quint32 WSocket_htonl(quint32 V) {
    return htonl(V);
}
int WSocket_getsockname(TSocket S, sockaddr* Name, int* NameLen) {
    return PROC(SocketApiGetSockName, "getsockname")(S, Name, NameLen);
}
int WSocket_getpeername(TSocket S, sockaddr* Name, int* NameLen) {
    return PROC(SocketApiGetPeerName, "getpeername")(S, Name, NameLen);
}
int WSocket_connect(TSocket S, const sockaddr* Addr, int AddrLen) {
    return PROC(SocketApiConnect, "connect")(S, Addr, AddrLen);
}
int WSocket_closesocket(TSocket S) {
    return PROC(SocketApiCloseSocket, "closesocket")(S);
}
int WSocket_bind(TSocket S, const sockaddr* Addr, int AddrLen) {
    return PROC(SocketApiBind, "bind")(S, Addr, AddrLen);
}
TSocket WSocket_accept(TSocket S, sockaddr* Addr, int* AddrLen) {
    return PROC(SocketApiAccept, "accept")(S, Addr, AddrLen);
}
