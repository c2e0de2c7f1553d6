// Host, service and protocol look-ups: the blocking ones through the C library, the
// asynchronous ones through QHostInfo with the answer posted to a window.

#include "net/platform/socket_api.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QPointer>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <unordered_map>

namespace {

int ResolverError(int Eai) {
    switch (Eai) {
    case EAI_NONAME:
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA:
        return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
#endif
    case EAI_SYSTEM:
        return WinsockErrorFromErrno(errno);
    default:
        return WSANO_RECOVERY;
    }
}

struct TLookup {
    QPointer<QObject> Context; // owns the pending Qt callback
    int QtId = -1;
    std::weak_ptr<std::atomic_bool> Revoked; // set once the completion was posted
};

struct TLookupRegistry {
    std::mutex Lock;
    std::unordered_map<int, TLookup> Lookups;
    int Next = 1;
};

TLookupRegistry& Lookups() {
    static TLookupRegistry* R = new TLookupRegistry; // used until process end
    return *R;
}

int NewLookupHandle(TLookupRegistry& R) {
    int H = R.Next++;
    if (R.Next <= 0) R.Next = 1;
    return H;
}

int StartLookup(HWND Window, UINT Msg, const QString& Query, bool Reverse, std::uint32_t Addr,
                THostEnt* Buffer) {
    TLookupRegistry& R = Lookups();
    auto* Context = new QObject; // deleted with the completion or by the cancel
    int Handle;
    {
        std::lock_guard L(R.Lock);
        Handle = NewLookupHandle(R);
        // Forget completions that were delivered long ago.
        for (auto It = R.Lookups.begin(); It != R.Lookups.end();) {
            if (!It->second.Context && It->second.Revoked.expired())
                It = R.Lookups.erase(It);
            else
                ++It;
        }
        R.Lookups[Handle].Context = Context;
    }
    const int QtId = QHostInfo::lookupHost(
        Query, Context, [Handle, Window, Msg, Reverse, Addr, Buffer, Context](const QHostInfo& I) {
            int Error = 0;
            THostEnt Rec;
            if (I.error() == QHostInfo::HostNotFound) {
                Error = WSAHOST_NOT_FOUND;
            } else if (I.error() != QHostInfo::NoError) {
                Error = WSATRY_AGAIN;
            } else if (Reverse) {
                Rec.h_name = I.hostName().toStdString();
                if (Rec.h_name.empty() || QHostAddress(I.hostName()).protocol() !=
                                              QAbstractSocket::UnknownNetworkLayerProtocol)
                    Error = WSAHOST_NOT_FOUND; // no name, only the address came back
                Rec.h_addr_list.push_back(Addr);
            } else {
                Rec.h_name = I.hostName().toStdString();
                for (const QHostAddress& A : I.addresses()) {
                    bool Ok = false;
                    const quint32 V4 = A.toIPv4Address(&Ok);
                    if (Ok && A.protocol() == QAbstractSocket::IPv4Protocol) {
                        const std::uint32_t Net = htonl(V4);
                        bool Seen = false;
                        for (const std::uint32_t X : Rec.h_addr_list)
                            Seen = Seen || X == Net;
                        if (!Seen) Rec.h_addr_list.push_back(Net);
                    }
                }
                if (Rec.h_addr_list.empty()) Error = WSANO_DATA;
            }
            if (Error == 0) *Buffer = std::move(Rec);
            auto Revoked = std::make_shared<std::atomic_bool>(false);
            {
                TLookupRegistry& Reg = Lookups();
                std::lock_guard L(Reg.Lock);
                auto It = Reg.Lookups.find(Handle);
                if (It != Reg.Lookups.end()) {
                    It->second.Revoked = Revoked;
                    It->second.Context = nullptr;
                }
            }
            PostRevocableMessage(Window, Msg, WPARAM(Handle), LPARAM(Error << 16), Revoked);
            Context->deleteLater();
        });
    {
        std::lock_guard L(R.Lock);
        auto It = R.Lookups.find(Handle);
        if (It != R.Lookups.end()) It->second.QtId = QtId;
    }
    return Handle;
}

} // namespace

// ---- Blocking look-ups ----------------------------------------------------------------------

std::optional<THostEnt> SocketApiGetHostByName(const char* Name) {
    addrinfo Hints{};
    Hints.ai_family = AF_INET;
    Hints.ai_socktype = SOCK_STREAM;
    Hints.ai_flags = AI_CANONNAME;
    addrinfo* Res = nullptr;
    const int R = ::getaddrinfo(Name, nullptr, &Hints, &Res);
    if (R != 0) {
        SocketApiSetLastError(ResolverError(R));
        return std::nullopt;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> Guard(Res, ::freeaddrinfo);
    THostEnt H;
    H.h_name = Res->ai_canonname ? Res->ai_canonname : Name;
    for (const addrinfo* A = Res; A; A = A->ai_next) {
        if (A->ai_family != AF_INET) continue;
        const std::uint32_t V = reinterpret_cast<const sockaddr_in*>(A->ai_addr)->sin_addr.s_addr;
        bool Seen = false;
        for (const std::uint32_t X : H.h_addr_list)
            Seen = Seen || X == V;
        if (!Seen) H.h_addr_list.push_back(V);
    }
    if (H.h_addr_list.empty()) {
        SocketApiSetLastError(WSANO_DATA);
        return std::nullopt;
    }
    return H;
}

std::optional<THostEnt> SocketApiGetHostByAddr(const void* Addr, int Len, int Type) {
    if (!Addr || Len != 4 || Type != AF_INET) {
        SocketApiSetLastError(10047);
        return std::nullopt;
    }
    sockaddr_in Sin{};
    Sin.sin_family = AF_INET;
    std::memcpy(&Sin.sin_addr, Addr, 4);
    char Host[NI_MAXHOST] = {};
    const int R = ::getnameinfo(reinterpret_cast<const sockaddr*>(&Sin), sizeof(Sin), Host,
                                sizeof(Host), nullptr, 0, NI_NAMEREQD);
    if (R != 0) {
        SocketApiSetLastError(ResolverError(R));
        return std::nullopt;
    }
    THostEnt H;
    H.h_name = Host;
    H.h_addr_list.push_back(Sin.sin_addr.s_addr);
    return H;
}

std::optional<TServEnt> SocketApiGetServByName(const char* Name, const char* Proto) {
    servent Buf{};
    servent* Res = nullptr;
    char Data[4096];
    if (::getservbyname_r(Name, (Proto && *Proto) ? Proto : nullptr, &Buf, Data, sizeof(Data),
                          &Res) != 0 ||
        !Res) {
        SocketApiSetLastError(WSANO_DATA);
        return std::nullopt;
    }
    return TServEnt{Res->s_name ? Res->s_name : "", Res->s_port, Res->s_proto ? Res->s_proto : ""};
}

std::optional<TProtoEnt> SocketApiGetProtoByName(const char* Name) {
    protoent Buf{};
    protoent* Res = nullptr;
    char Data[4096];
    if (::getprotobyname_r(Name, &Buf, Data, sizeof(Data), &Res) != 0 || !Res) {
        SocketApiSetLastError(WSANO_DATA);
        return std::nullopt;
    }
    return TProtoEnt{Res->p_name ? Res->p_name : "", Res->p_proto};
}

// ---- Asynchronous look-ups --------------------------------------------------------------

int SocketApiAsyncGetHostByName(HWND Window, UINT Msg, const std::string& Name, THostEnt* Buffer) {
    if (!Buffer || Name.empty()) {
        SocketApiSetLastError(WSAEINVAL);
        return 0;
    }
    return StartLookup(Window, Msg, QString::fromLatin1(Name.c_str()), false, 0, Buffer);
}

int SocketApiAsyncGetHostByAddr(HWND Window, UINT Msg, std::uint32_t Addr, THostEnt* Buffer) {
    if (!Buffer) {
        SocketApiSetLastError(WSAEINVAL);
        return 0;
    }
    in_addr A{};
    A.s_addr = Addr;
    return StartLookup(Window, Msg, QString::fromStdString(SocketApiInetNtoa(A)), true, Addr,
                       Buffer);
}

int SocketApiCancelAsyncRequest(int Handle) {
    TLookupRegistry& R = Lookups();
    TLookup Entry;
    {
        std::lock_guard L(R.Lock);
        auto It = R.Lookups.find(Handle);
        if (It == R.Lookups.end()) {
            SocketApiSetLastError(WSAEINVAL);
            return SOCKET_ERROR;
        }
        Entry = It->second;
        R.Lookups.erase(It);
    }
    if (auto Revoked = Entry.Revoked.lock()) {
        Revoked->store(true); // completed: its message is still queued and now dropped
        return 0;
    }
    if (Entry.Context) {
        if (Entry.QtId >= 0) QHostInfo::abortHostLookup(Entry.QtId);
        delete Entry.Context.data(); // no callback can come any more
        return 0;
    }
    SocketApiSetLastError(WSAEALREADY);
    return SOCKET_ERROR;
}
