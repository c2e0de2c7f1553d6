// The socket calls themselves and the event selection that turns readiness into window
// messages; the look-ups are in socket_lookup.cpp, the error codes in socket_errors.cpp.

#include "net/platform/socket_api.h"

#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <unordered_map>

namespace {

thread_local int LastErrorCode = 0;

int Fail(int Errno) {
    LastErrorCode = WinsockErrorFromErrno(Errno);
    return SOCKET_ERROR;
}

// ---- Event selection -------------------------------------------------------------------

// One registration: lives in the thread that registered, as do its notifiers.
class TSelectEntry : public QObject {
public:
    TSocket Fd = INVALID_SOCKET;
    HWND Window = 0;
    UINT Msg = 0;
    long Events = 0;
    bool Datagram = false;
    bool Listening = false;
    bool ConnectPending = false;
    bool ClosePosted = false;
    bool ResetSeen = false;
    QSocketNotifier* ReadNote = nullptr;
    QSocketNotifier* WriteNote = nullptr;

    explicit TSelectEntry(TSocket S) : Fd(S) {
        ReadNote = new QSocketNotifier(S, QSocketNotifier::Read, this);
        WriteNote = new QSocketNotifier(S, QSocketNotifier::Write, this);
        ReadNote->setEnabled(false);
        WriteNote->setEnabled(false);
        connect(ReadNote, &QSocketNotifier::activated, this, [this] { Readable(); });
        connect(WriteNote, &QSocketNotifier::activated, this, [this] { Writable(); });
    }

    void Post(int Event, int Error) {
        if (Events & Event) PostMessage(Window, Msg, WPARAM(Fd), LPARAM((Error << 16) | Event));
    }

    // Read readiness is wanted again (after a recv or an accept).
    void RearmRead() {
        if (ConnectPending || ClosePosted) return;
        if (Listening)
            ReadNote->setEnabled((Events & FD_ACCEPT) != 0);
        else
            ReadNote->setEnabled((Events & (FD_READ | FD_CLOSE)) != 0);
    }

    void Readable() {
        // One notification per arrival: re-armed by the next recv or accept.
        ReadNote->setEnabled(false);
        if (Listening) {
            Post(FD_ACCEPT, 0);
            return;
        }
        if (Datagram) {
            Post(FD_READ, 0);
            return;
        }
        char Probe;
        const ssize_t N = ::recv(Fd, &Probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (N > 0) {
            Post(FD_READ, 0);
        } else if (N == 0) {
            ClosePosted = true;
            Post(FD_CLOSE, ResetSeen ? WSAECONNRESET : 0);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            RearmRead();
        } else {
            ClosePosted = true;
            Post(FD_CLOSE, WinsockErrorFromErrno(errno));
        }
    }

    void Writable() {
        WriteNote->setEnabled(false);
        if (ConnectPending) {
            ConnectPending = false;
            int Err = 0;
            socklen_t Len = sizeof(Err);
            if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &Err, &Len) != 0) Err = errno;
            const int Code = Err ? WinsockErrorFromErrno(Err) : 0;
            Post(FD_CONNECT, Code);
            if (Code == 0) {
                Post(FD_WRITE, 0);
                RearmRead();
            }
            return;
        }
        Post(FD_WRITE, 0);
    }
};

struct TSelectRegistry {
    std::mutex Lock;
    std::unordered_map<TSocket, TSelectEntry*> Entries;
    std::unordered_map<TSocket, int> ShutdownHow;     // 1: no sends, 2: both
    std::unordered_map<TSocket, bool> PendingConnect; // kept while notifications are off
};

TSelectRegistry& Selects() {
    static TSelectRegistry* R = new TSelectRegistry; // used until process end
    return *R;
}

TSelectEntry* FindEntry(TSocket S) {
    TSelectRegistry& R = Selects();
    std::lock_guard L(R.Lock);
    auto It = R.Entries.find(S);
    return It == R.Entries.end() ? nullptr : It->second;
}

// Only the thread that registered may touch the entry's notifiers.
TSelectEntry* FindLocalEntry(TSocket S) {
    TSelectEntry* E = FindEntry(S);
    return E && E->thread() == QThread::currentThread() ? E : nullptr;
}

void DropEntry(TSocket S) {
    TSelectEntry* E = nullptr;
    {
        TSelectRegistry& R = Selects();
        std::lock_guard L(R.Lock);
        auto It = R.Entries.find(S);
        if (It == R.Entries.end()) return;
        E = It->second;
        R.Entries.erase(It);
        if (E->ConnectPending) R.PendingConnect[S] = true;
    }
    E->ReadNote->setEnabled(false);
    E->WriteNote->setEnabled(false);
    if (E->thread() == QThread::currentThread())
        delete E;
    else
        E->deleteLater();
}

} // namespace

// ---- Calls ----------------------------------------------------------------------------------

int SocketApiGetLastError() {
    return LastErrorCode;
}
void SocketApiSetLastError(int Code) {
    LastErrorCode = Code;
}

TSocket SocketApiSocket(int Family, int Type, int Protocol) {
    const TSocket S = ::socket(Family, Type | SOCK_CLOEXEC, Protocol);
    if (S < 0) {
        Fail(errno);
        return INVALID_SOCKET;
    }
    return S;
}

int SocketApiCloseSocket(TSocket S) {
    if (S < 0) return Fail(EBADF);
    HWND Window = 0;
    UINT Msg = 0;
    if (TSelectEntry* E = FindEntry(S)) {
        Window = E->Window;
        Msg = E->Msg;
    }
    DropEntry(S);
    {
        TSelectRegistry& R = Selects();
        std::lock_guard L(R.Lock);
        R.ShutdownHow.erase(S);
        R.PendingConnect.erase(S);
    }
    // The number is free for reuse now: notifications still queued for it must not reach
    // whichever socket gets it next.
    if (Window) RemovePostedMessages(Window, Msg);
    if (::close(S) != 0 && errno != EINTR) return Fail(errno);
    return 0;
}

int SocketApiShutdown(TSocket S, int How) {
    if (::shutdown(S, How) != 0) return Fail(errno);
    TSelectRegistry& R = Selects();
    std::lock_guard L(R.Lock);
    if (How == SHUT_WR || How == SHUT_RDWR) R.ShutdownHow[S] = 1;
    return 0;
}

int SocketApiBind(TSocket S, const sockaddr* Addr, int AddrLen) {
    return ::bind(S, Addr, socklen_t(AddrLen)) == 0 ? 0 : Fail(errno);
}

int SocketApiConnect(TSocket S, const sockaddr* Addr, int AddrLen) {
    const int R = ::connect(S, Addr, socklen_t(AddrLen));
    const int Err = R == 0 ? 0 : errno;
    const bool Outcome = Err == ECONNREFUSED || Err == ENETUNREACH || Err == EHOSTUNREACH ||
                         Err == ETIMEDOUT || Err == ECONNRESET;
    if (Outcome) {
        // Loopback may refuse inside the call; the registered socket hears it as a
        // connect notification, as for any other asynchronous connect.
        if (TSelectEntry* E = FindLocalEntry(S); E && !E->Datagram) {
            E->ReadNote->setEnabled(false);
            E->WriteNote->setEnabled(false);
            E->Post(FD_CONNECT, WinsockErrorFromErrno(Err));
            return Fail(EINPROGRESS);
        }
    }
    if (R == 0 || Err == EINPROGRESS || Err == EAGAIN) {
        if (TSelectEntry* E = FindLocalEntry(S); E && !E->Datagram) {
            // The outcome comes with write readiness (immediately for a finished connect).
            E->ConnectPending = true;
            E->ClosePosted = false;
            E->ReadNote->setEnabled(false);
            E->WriteNote->setEnabled(true);
        }
    }
    return R == 0 ? 0 : Fail(Err);
}

int SocketApiListen(TSocket S, int Backlog) {
    if (::listen(S, Backlog) != 0) return Fail(errno);
    if (TSelectEntry* E = FindLocalEntry(S)) {
        E->Listening = true;
        E->WriteNote->setEnabled(false);
        E->RearmRead();
    }
    return 0;
}

TSocket SocketApiAccept(TSocket S, sockaddr* Addr, int* AddrLen) {
    socklen_t Len = AddrLen ? socklen_t(*AddrLen) : 0;
    const TSocket N = ::accept4(S, Addr, AddrLen ? &Len : nullptr, SOCK_CLOEXEC);
    const int Err = errno;
    if (TSelectEntry* E = FindLocalEntry(S)) E->RearmRead();
    if (N < 0) {
        Fail(Err);
        return INVALID_SOCKET;
    }
    if (AddrLen) *AddrLen = int(Len);
    return N;
}

namespace {
int SendFailed(TSocket S, int Err) {
    if (Err == EAGAIN || Err == EWOULDBLOCK) {
        // Write readiness is reported again once the network takes data.
        if (TSelectEntry* E = FindLocalEntry(S); E && !E->ConnectPending)
            E->WriteNote->setEnabled(true);
    } else if (Err == EPIPE) {
        TSelectRegistry& R = Selects();
        std::lock_guard L(R.Lock);
        if (R.ShutdownHow.count(S)) {
            LastErrorCode = WSAESHUTDOWN;
            return SOCKET_ERROR;
        }
    }
    return Fail(Err);
}
} // namespace

namespace {
// A short send means the network is full, as a would-block does: readiness is told later.
int SendDone(TSocket S, ssize_t N, int Len) {
    if (N < Len)
        if (TSelectEntry* E = FindLocalEntry(S); E && !E->ConnectPending)
            E->WriteNote->setEnabled(true);
    return int(N);
}
} // namespace

int SocketApiSend(TSocket S, const void* Buf, int Len, int Flags) {
    const ssize_t N = ::send(S, Buf, std::size_t(Len < 0 ? 0 : Len), Flags | MSG_NOSIGNAL);
    return N >= 0 ? SendDone(S, N, Len) : SendFailed(S, errno);
}

int SocketApiSendTo(TSocket S, const void* Buf, int Len, int Flags, const sockaddr* To, int ToLen) {
    const ssize_t N = ::sendto(S, Buf, std::size_t(Len < 0 ? 0 : Len), Flags | MSG_NOSIGNAL, To,
                               socklen_t(ToLen));
    return N >= 0 ? SendDone(S, N, Len) : SendFailed(S, errno);
}

int SocketApiRecv(TSocket S, void* Buf, int Len, int Flags) {
    if (Len == 0) {
        // A zero-length receive tells whether the connection is still open: it would block
        // while nothing is waiting, and succeeds at the end or with data waiting.
        char Probe;
        const ssize_t P = ::recv(S, &Probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (P < 0) return Fail(errno);
        return 0;
    }
    const ssize_t N = ::recv(S, Buf, std::size_t(Len < 0 ? 0 : Len), Flags);
    const int Err = errno;
    if (TSelectEntry* E = FindLocalEntry(S)) {
        if (N < 0 && Err == ECONNRESET) E->ResetSeen = true;
        E->RearmRead();
    }
    return N >= 0 ? int(N) : Fail(Err);
}

int SocketApiRecvFrom(TSocket S, void* Buf, int Len, int Flags, sockaddr* From, int* FromLen) {
    socklen_t L = FromLen ? socklen_t(*FromLen) : 0;
    const ssize_t N =
        ::recvfrom(S, Buf, std::size_t(Len < 0 ? 0 : Len), Flags, From, FromLen ? &L : nullptr);
    const int Err = errno;
    if (TSelectEntry* E = FindLocalEntry(S)) E->RearmRead();
    if (N < 0) return Fail(Err);
    if (FromLen) *FromLen = int(L);
    return int(N);
}

namespace {
bool TranslateOption(int Level, int OptName, int& L, int& O) {
    if (Level == WS_SOL_SOCKET) {
        L = SOL_SOCKET;
        switch (OptName) {
        case WS_SO_REUSEADDR:
            O = SO_REUSEADDR;
            return true;
        case WS_SO_KEEPALIVE:
            O = SO_KEEPALIVE;
            return true;
        case WS_SO_BROADCAST:
            O = SO_BROADCAST;
            return true;
        case WS_SO_LINGER:
            O = SO_LINGER;
            return true;
        case WS_SO_SNDBUF:
            O = SO_SNDBUF;
            return true;
        case WS_SO_RCVBUF:
            O = SO_RCVBUF;
            return true;
        case WS_SO_ERROR:
            O = SO_ERROR;
            return true;
        default:
            return false;
        }
    }
    if (Level == WS_IPPROTO_IP) {
        L = IPPROTO_IP;
        switch (OptName) {
        case WS_IP_MULTICAST_IF:
            O = IP_MULTICAST_IF;
            return true;
        case WS_IP_MULTICAST_TTL:
            O = IP_MULTICAST_TTL;
            return true;
        case WS_IP_ADD_MEMBERSHIP:
            O = IP_ADD_MEMBERSHIP;
            return true;
        default:
            return false;
        }
    }
    if (Level == WS_IPPROTO_TCP && OptName == WS_TCP_NODELAY) {
        L = IPPROTO_TCP;
        O = TCP_NODELAY;
        return true;
    }
    return false;
}
} // namespace

int SocketApiSetSockOpt(TSocket S, int Level, int OptName, const void* OptVal, int OptLen) {
    int L = 0, O = 0;
    if (!TranslateOption(Level, OptName, L, O)) return Fail(ENOPROTOOPT);
    if (L == SOL_SOCKET && O == SO_LINGER) {
        // Two 16-bit fields: on/off and seconds.
        if (OptLen < 4 || !OptVal) return Fail(EFAULT);
        quint16 Fields[2];
        std::memcpy(Fields, OptVal, 4);
        const linger Lg{Fields[0] != 0 ? 1 : 0, int(Fields[1])};
        return ::setsockopt(S, L, O, &Lg, sizeof(Lg)) == 0 ? 0 : Fail(errno);
    }
    if (L == SOL_SOCKET || L == IPPROTO_TCP || O == IP_MULTICAST_TTL) {
        // Booleans and counts come as 4-byte values (-1 for true).
        int V = 0;
        if (OptLen >= 4 && OptVal)
            std::memcpy(&V, OptVal, 4);
        else if (OptLen >= 1 && OptVal)
            V = *static_cast<const unsigned char*>(OptVal);
        if (O != SO_SNDBUF && O != SO_RCVBUF && O != IP_MULTICAST_TTL) V = V != 0 ? 1 : 0;
        return ::setsockopt(S, L, O, &V, sizeof(V)) == 0 ? 0 : Fail(errno);
    }
    return ::setsockopt(S, L, O, OptVal, socklen_t(OptLen)) == 0 ? 0 : Fail(errno);
}

int SocketApiGetSockOpt(TSocket S, int Level, int OptName, void* OptVal, int* OptLen) {
    int L = 0, O = 0;
    if (!TranslateOption(Level, OptName, L, O)) return Fail(ENOPROTOOPT);
    if (!OptVal || !OptLen) return Fail(EFAULT);
    if (L == SOL_SOCKET && O == SO_LINGER) {
        linger Lg{};
        socklen_t Len = sizeof(Lg);
        if (::getsockopt(S, L, O, &Lg, &Len) != 0) return Fail(errno);
        if (*OptLen < 4) return Fail(EFAULT);
        const quint16 Fields[2] = {quint16(Lg.l_onoff), quint16(Lg.l_linger)};
        std::memcpy(OptVal, Fields, 4);
        *OptLen = 4;
        return 0;
    }
    int V = 0;
    socklen_t Len = sizeof(V);
    if (::getsockopt(S, L, O, &V, &Len) != 0) return Fail(errno);
    if (O == SO_ERROR) V = WinsockErrorFromErrno(V);
    if (*OptLen < 4) return Fail(EFAULT);
    std::memcpy(OptVal, &V, 4);
    *OptLen = 4;
    return 0;
}

int SocketApiIoctlSocket(TSocket S, long Cmd, unsigned long* Arg) {
    if (!Arg) return Fail(EFAULT);
    if (Cmd == WS_FIONREAD) {
        int N = 0;
        if (::ioctl(S, FIONREAD, &N) != 0) return Fail(errno);
        *Arg = static_cast<unsigned long>(N);
        return 0;
    }
    constexpr long WS_FIONBIO = static_cast<long>(0x8004667EUL);
    if (Cmd == WS_FIONBIO) {
        const int Flags = ::fcntl(S, F_GETFL, 0);
        if (Flags < 0) return Fail(errno);
        const int New = *Arg ? (Flags | O_NONBLOCK) : (Flags & ~O_NONBLOCK);
        return ::fcntl(S, F_SETFL, New) == 0 ? 0 : Fail(errno);
    }
    return Fail(EINVAL);
}

int SocketApiGetSockName(TSocket S, sockaddr* Name, int* NameLen) {
    socklen_t L = NameLen ? socklen_t(*NameLen) : 0;
    if (::getsockname(S, Name, &L) != 0) return Fail(errno);
    if (NameLen) *NameLen = int(L);
    return 0;
}

int SocketApiGetPeerName(TSocket S, sockaddr* Name, int* NameLen) {
    socklen_t L = NameLen ? socklen_t(*NameLen) : 0;
    if (::getpeername(S, Name, &L) != 0) return Fail(errno);
    if (NameLen) *NameLen = int(L);
    return 0;
}

int SocketApiGetHostName(char* Name, int NameLen) {
    if (!Name || NameLen <= 0) return Fail(EFAULT);
    if (::gethostname(Name, std::size_t(NameLen)) != 0) return Fail(errno);
    Name[NameLen - 1] = 0;
    return 0;
}

std::uint32_t SocketApiInetAddr(const char* Text) {
    return Text ? ::inet_addr(Text) : INADDR_NONE;
}

std::string SocketApiInetNtoa(in_addr Addr) {
    char Buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &Addr, Buf, sizeof(Buf));
    return Buf;
}

int SocketApiAsyncSelect(TSocket S, HWND Window, UINT Msg, long Events) {
    const int Flags = ::fcntl(S, F_GETFL, 0);
    if (Flags < 0 || ::fcntl(S, F_SETFL, Flags | O_NONBLOCK) != 0) return Fail(errno);
    if (Events == 0) {
        DropEntry(S);
        return 0;
    }
    TSelectEntry* E = FindEntry(S);
    if (E && E->thread() != QThread::currentThread()) {
        DropEntry(S); // registered from another thread before: start afresh here
        E = nullptr;
    }
    if (!E) {
        E = new TSelectEntry(S); // owned by the registry until the close or mask 0
        TSelectRegistry& R = Selects();
        std::lock_guard L(R.Lock);
        R.Entries[S] = E;
    }
    E->Window = Window;
    E->Msg = Msg;
    E->Events = Events;
    int Type = 0, Accepting = 0;
    socklen_t Len = sizeof(Type);
    ::getsockopt(S, SOL_SOCKET, SO_TYPE, &Type, &Len);
    Len = sizeof(Accepting);
    ::getsockopt(S, SOL_SOCKET, SO_ACCEPTCONN, &Accepting, &Len);
    E->Datagram = Type == SOCK_DGRAM;
    E->Listening = Accepting != 0;
    E->ClosePosted = false;
    {
        TSelectRegistry& R = Selects();
        std::lock_guard L(R.Lock);
        if (R.PendingConnect.erase(S)) E->ConnectPending = true;
    }
    if (E->ConnectPending) {
        E->WriteNote->setEnabled(true);
        return 0;
    }
    sockaddr_storage Peer{};
    socklen_t PeerLen = sizeof(Peer);
    const bool Connected = ::getpeername(S, reinterpret_cast<sockaddr*>(&Peer), &PeerLen) == 0;
    if (E->Listening) {
        E->WriteNote->setEnabled(false);
        E->RearmRead();
    } else if (E->Datagram || Connected) {
        // As on registration of a connected socket: data waiting and writability are told.
        E->RearmRead();
        E->WriteNote->setEnabled((Events & FD_WRITE) != 0);
    } else {
        // A fresh stream socket: nothing to tell until connect or listen.
        E->ReadNote->setEnabled(false);
        E->WriteNote->setEnabled(false);
    }
    return 0;
}

int SocketApiOpenDescriptorCount() {
    DIR* D = ::opendir("/proc/self/fd");
    if (!D) return -1;
    int N = 0;
    while (const dirent* E = ::readdir(D))
        if (E->d_name[0] != '.') ++N;
    ::closedir(D);
    return N - 1; // the directory's own descriptor
}
