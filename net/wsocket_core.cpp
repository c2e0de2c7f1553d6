#include "net/wsocket_core.h"

#include "net/wsocket_resolve.h"
#include "net/wsocket_winsock.h"

#include <QCoreApplication>
#include <cstdarg>
#include <cstdio>
#include <cstring>

const char* const XSocketWindowClassName = "XSocketWindowClass";

namespace {

std::string DottedOf(quint32 NetAddr) {
    in_addr A{};
    A.s_addr = NetAddr;
    return WSocket_inet_ntoa(A);
}

LRESULT XSocketWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto* Obj = static_cast<QObject*>(GetWindowLongPtr(Window, 0));
    auto* Socket = dynamic_cast<TCustomWSocket*>(Obj);
    if (!Socket) return DefWindowProc(Window, Msg, WParam, LParam);
    TMessage M{Msg, WParam, LParam, 0};
    Socket->WndProc(M); // may destroy Socket (message 1029): M is ours
    return M.Result;
}

// Closes a descriptor and drops the notifications still queued for it: the number may be
// reused at once, and a late message must not look like news about the next connection.
int CloseSocketOf(HWND Window, TSocket S) {
    const int R = WSocket_closesocket(S);
    if (Window) RemovePostedMessages(Window, MsgSocketEvent);
    return R;
}

// Waiting loops sleep at most this long between rounds.
constexpr int WaitSliceMs = 20;

} // namespace

HWND XSocketAllocateHWnd(QObject* Obj) {
    if (!IsWindowClassRegistered(XSocketWindowClassName) &&
        !RegisterWindowClass(XSocketWindowClassName, XSocketWindowProc, 4) &&
        !IsWindowClassRegistered(XSocketWindowClassName))
        return 0;
    const HWND W = CreateClassWindow(XSocketWindowClassName);
    if (W && Obj) SetWindowLongPtr(W, 0, Obj);
    return W;
}

bool XSocketDeallocateHWnd(HWND Window) {
    return DestroyWindow(Window);
}

void WSocketUnregisterClass() {
    UnregisterWindowClass(XSocketWindowClassName);
}

HWND AllocateHWnd(TWndMethod Method) {
    return AllocateHiddenWindow(std::move(Method));
}

void DeallocateHWnd(HWND Window) {
    DeallocateHiddenWindow(Window);
}

// ---- Construction ------------------------------------------------------------------------

TCustomWSocket::TCustomWSocket(QObject* AOwner) : QObject(AOwner) {
    AllocateSocketHWnd();
    SendBlockSize = 1460;
    FMultiCastIpTTL = 1;
    AssignDefaultValue();
    ++WSocketGCount;
}

TCustomWSocket::~TCustomWSocket() {
    Destroying = true;
    // Handlers often capture objects that die before their socket: none runs from here on.
    OnDataAvailable = nullptr;
    OnDataSent = nullptr;
    OnSendData = nullptr;
    OnSessionClosed = nullptr;
    OnSessionAvailable = nullptr;
    OnSessionConnected = nullptr;
    OnChangeState = nullptr;
    OnDnsLookupDone = nullptr;
    OnError = nullptr;
    OnBgException = nullptr;
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    if (FState != wsClosed) {
        try {
            Close();
        } catch (...) {
        }
    }
    if (SocketHandle != INVALID_SOCKET) {
        // Left open by a failed operation: never leak the descriptor.
        CloseSocketOf(WindowHandle, SocketHandle);
        SocketHandle = INVALID_SOCKET;
    }
    if (--WSocketGCount < 1) {
        WSocketUnloadWinsock();
        WSocketGCount = 0;
    }
    DeleteBufferedData();
    DeallocateSocketHWnd();
    if (WSocketGCount < 1) WSocketUnregisterClass();
}

void TCustomWSocket::AssignDefaultValue() {
    std::memset(&RemoteSin, 0, sizeof(RemoteSin));
    RemoteSin.sin_family = AF_INET;
    AddrFamily = AF_INET;
    AddrAssigned = false;
    AddrResolved = false;
    PortAssigned = false;
    PortResolved = false;
    LocalPortResolved = false;
    LocalPortNum = 0;
    FProto = "tcp";
    ProtoAssigned = true;
    ProtoResolved = false;
    ProtoNum = 6;
    SocketType = 1;
    FLocalPort = "0";
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    SocketHandle = INVALID_SOCKET;
    SelectEvents = 0;
    FState = wsClosed;
    AllSent = true;
    Paused = false;
    FReadCount = 0;
    CloseReported = false;
}

// ---- Hidden window and dispatch ------------------------------------------------------------

void TCustomWSocket::AllocateSocketHWnd() {
    WindowHandle = XSocketAllocateHWnd(this);
    OwnerThreadId = CurrentThreadId();
    if (!WindowHandle) RaiseException("Cannot create a hidden window for TWSocket");
}

void TCustomWSocket::DeallocateSocketHWnd() {
    if (!WindowHandle) return;
    SetWindowLongPtr(WindowHandle, 0, nullptr); // late messages find no object
    if (XSocketDeallocateHWnd(WindowHandle)) WindowHandle = 0;
}

void TCustomWSocket::WndProc(TMessage& MsgRec) {
    try {
        switch (MsgRec.Msg) {
        case MsgSocketEvent:
            WMASyncSelect(MsgRec);
            break;
        case MsgHostByNameDone:
            WMAsyncGetHostByName(MsgRec);
            break;
        case MsgHostByAddrDone:
            WMAsyncGetHostByAddr(MsgRec);
            break;
        case MsgCloseDelayed:
            WMCloseDelayed(MsgRec);
            break;
        case MsgRelease:
            WMRelease(MsgRec); // this object is gone now
            return;
        case MsgTestException:
            throw ESocketException("Test exception in WSocket");
        default:
            MsgRec.Result = DefWindowProc(WindowHandle, MsgRec.Msg, MsgRec.WParam, MsgRec.LParam);
            break;
        }
    } catch (const std::exception& E) {
        HandleBackGroundException(E);
    }
}

void TCustomWSocket::HandleBackGroundException(const std::exception& E) {
    bool CanClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, CanClose);
        } catch (...) {
        }
    }
    if (CanClose) {
        try {
            Abort();
        } catch (...) {
        }
    }
}

void TCustomWSocket::WMASyncSelect(TMessage& Msg) {
    if (TSocket(Msg.WParam) != SocketHandle || Paused) return;
    const int Events = int(Msg.LParam & 0xFFFF);
    const quint16 Error = quint16((Msg.LParam >> 16) & 0xFFFF);
    if (Events & FD_CONNECT) {
        if (FState != wsConnected) {
            ChangeState(wsConnected);
            TriggerSessionConnected(Error);
            if (Error != 0 && FState != wsClosed) Close();
        }
    }
    if (Events & FD_READ) {
        if (FState != wsConnected) {
            ChangeState(wsConnected);
            TriggerSessionConnected(Error);
        }
        ASyncReceive(Error, FComponentOptions);
    }
    if (Events & FD_WRITE) {
        TryToSend();
        if (AllSent) TriggerDataSent(Error);
    }
    if (Events & FD_ACCEPT) TriggerSessionAvailable(Error);
    if ((Events & FD_CLOSE) && FState != wsConnecting) {
        ASyncReceive(0, FComponentOptions.Without(wsoNoReceiveLoop));
        if (!CloseReported) {
            CloseReported = true;
            TriggerSessionClosed(Error);
        }
        if (FState != wsClosed) Close();
    }
}

void TCustomWSocket::WMCloseDelayed(TMessage&) {
    Close();
}

void TCustomWSocket::WMRelease(TMessage&) {
    delete this;
}

// ---- Message pump ------------------------------------------------------------------------

void TCustomWSocket::MessagePump() {
    if (FMultiThreaded)
        ProcessMessages();
    else
        QCoreApplication::processEvents();
}

bool TCustomWSocket::ProcessMessage() {
    bool QuitSeen = false;
    const bool Any = PeekAndDispatch(QuitSeen);
    if (QuitSeen) Terminated = true;
    return Any;
}

void TCustomWSocket::ProcessMessages() {
    while (ProcessMessage()) {
    }
}

void TCustomWSocket::MessageLoop() {
    RunMessageLoop();
    Terminated = true;
}

void TCustomWSocket::WaitPump() {
    MessagePump();
    WaitForEvents(WaitSliceMs);
}

void TCustomWSocket::ThreadDetach() {
    if (CurrentThreadId() != OwnerThreadId) {
        RaiseException("Cannot detach from other thread");
        return;
    }
    if (SocketHandle != INVALID_SOCKET)
        WSocket_WSAAsyncSelect(SocketHandle, WindowHandle, MsgSocketEvent, 0);
    DeallocateSocketHWnd();
}

void TCustomWSocket::ThreadAttach() {
    if (WindowHandle) {
        RaiseException("Cannot attach when not detached");
        return;
    }
    AllocateSocketHWnd();
    if (SocketHandle != INVALID_SOCKET && WindowHandle)
        WSocket_WSAAsyncSelect(SocketHandle, WindowHandle, MsgSocketEvent, SelectEvents);
}

// ---- Properties ----------------------------------------------------------------------------

void TCustomWSocket::SetAddr(const std::string& Value) {
    if (AddrAssigned && Value == FAddr) return;
    if (FState != wsClosed) {
        RaiseException("Cannot change Addr if not closed");
        return;
    }
    FAddr = WSocketTrim(Value);
    AddrAssigned = !FAddr.empty();
    if (AddrAssigned) AddrResolved = false;
}

void TCustomWSocket::SetRemotePort(const std::string& Value) {
    if (PortAssigned && Value == FPort) return;
    if (FState != wsClosed) {
        RaiseException("Cannot change Port if not closed");
        return;
    }
    FPort = WSocketTrim(Value);
    PortAssigned = !FPort.empty();
    if (PortAssigned) PortResolved = false;
}

void TCustomWSocket::SetProto(const std::string& Value) {
    if (ProtoAssigned && Value == FProto) return;
    if (FState != wsClosed) {
        RaiseException("Cannot change Proto if not closed");
        return;
    }
    FProto = WSocketTrim(Value);
    ProtoAssigned = !FProto.empty();
    if (ProtoAssigned) ProtoResolved = false;
}

void TCustomWSocket::SetLocalPort(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseException("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPort = Value;
    LocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseException("Cannot change LocalAddr if not closed");
        return;
    }
    FLocalAddr = Value.empty() ? std::string("0.0.0.0") : Value;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value) {
    switch (Value) {
    case wsSendNormal:
        FSendFlags = 0;
        break;
    case wsSendUrgent:
        FSendFlags = WS_MSG_OOB;
        break;
    default:
        RaiseException("Invalid SendFlags");
        break;
    }
}

TSocketSendFlags TCustomWSocket::GetSendFlags() {
    switch (FSendFlags) {
    case 0:
        return wsSendNormal;
    case WS_MSG_OOB:
        return wsSendUrgent;
    default:
        RaiseException("Invalid internal SendFlags");
        return wsSendNormal;
    }
}

int TCustomWSocket::BufferedByteCount() const {
    int N = 0;
    for (const auto& B : SendQueue) {
        int Len = 0;
        B->Peek(Len);
        N += Len;
    }
    return N;
}

// ---- Errors ----------------------------------------------------------------------------

void TCustomWSocket::SocketError(const std::string& FunctionName) {
    const int Code = WSocket_WSAGetLastError();
    const std::string Line = "Error " + std::to_string(Code) + " in function " + FunctionName +
                             "\r\n" + WSocketErrorDesc(Code);
    if (Code == WSAECONNRESET || Code == WSAENOTCONN) {
        if (SocketHandle != INVALID_SOCKET) CloseSocketOf(WindowHandle, SocketHandle);
        SocketHandle = INVALID_SOCKET;
        if (FState != wsClosed) TriggerSessionClosed(quint16(Code));
        ChangeState(wsClosed);
    }
    FLastError = Code;
    RaiseException(Line);
}

void TCustomWSocket::RaiseException(const std::string& Msg) {
    if (OnError)
        TriggerError();
    else
        throw ESocketException(Msg);
}

void TCustomWSocket::RaiseExceptionFmt(const char* Fmt, ...) {
    char Buf[1024];
    va_list Args;
    va_start(Args, Fmt);
    std::vsnprintf(Buf, sizeof(Buf), Fmt, Args);
    va_end(Args);
    RaiseException(Buf);
}

// ---- Triggers ------------------------------------------------------------------------------

bool TCustomWSocket::TriggerDataAvailable(quint16 Error) {
    if (!OnDataAvailable) return false;
    OnDataAvailable(this, Error);
    return true;
}

void TCustomWSocket::TriggerSessionAvailable(quint16 Error) {
    if (OnSessionAvailable) OnSessionAvailable(this, Error);
}

void TCustomWSocket::TriggerSessionConnected(quint16 Error) {
    if (OnSessionConnected) OnSessionConnected(this, Error);
}

void TCustomWSocket::TriggerSessionClosed(quint16 Error) {
    if (OnSessionClosed) OnSessionClosed(this, Error);
}

void TCustomWSocket::TriggerDataSent(quint16 Error) {
    if (OnDataSent) OnDataSent(this, Error);
}

void TCustomWSocket::TriggerSendData(int BytesSent) {
    if (OnSendData) OnSendData(this, BytesSent);
}

void TCustomWSocket::TriggerChangeState(TSocketState OldState, TSocketState NewState) {
    if (OnChangeState) OnChangeState(this, OldState, NewState);
}

void TCustomWSocket::TriggerDNSLookupDone(quint16 Error) {
    if (OnDnsLookupDone) OnDnsLookupDone(this, Error);
}

void TCustomWSocket::TriggerError() {
    if (OnError) OnError(this);
}

void TCustomWSocket::ChangeState(TSocketState NewState) {
    const TSocketState Old = FState;
    FState = NewState;
    TriggerChangeState(Old, NewState);
}

// ---- Connecting, listening, accepting ----------------------------------------------------

bool TCustomWSocket::SetLingerOption() {
    if (FLingerOnOff == wsLingerNoSet) return true;
    if (SocketHandle == INVALID_SOCKET) {
        RaiseException("Cannot set linger option at this time");
        return false;
    }
    const quint16 Linger[2] = {quint16(FLingerOnOff), quint16(FLingerTimeout)};
    if (WSocket_setsockopt(SocketHandle, WS_SOL_SOCKET, WS_SO_LINGER, Linger, 4) != 0) {
        SocketError("setsockopt(SO_LINGER)");
        return false;
    }
    return true;
}

bool TCustomWSocket::BindSocket() {
    sockaddr_in Local{};
    Local.sin_family = AF_INET;
    Local.sin_port = WSocket_htons(LocalPortNum);
    Local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    if (WSocket_bind(SocketHandle, reinterpret_cast<const sockaddr*>(&Local), sizeof(Local)) != 0) {
        RaiseExceptionFmt("winsock.bind failed, error #%d", WSocket_WSAGetLastError());
        return false;
    }
    int Len = sizeof(Local);
    if (WSocket_getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&Local), &Len) != 0) {
        RaiseExceptionFmt("winsock.getsockname failed, error #%d", WSocket_WSAGetLastError());
        return false;
    }
    LocalPortNum = WSocket_ntohs(Local.sin_port);
    FLocalPort = std::to_string(LocalPortNum);
    return true;
}

void TCustomWSocket::Connect() {
    if (SocketHandle != INVALID_SOCKET && FState != wsClosed) {
        RaiseException("Connect: Socket already in use");
        return;
    }
    if (!PortAssigned) {
        RaiseException("Connect: No Port Specified");
        return;
    }
    if (!AddrAssigned) {
        RaiseException("Connect: No IP Address Specified");
        return;
    }
    if (!ProtoAssigned) {
        RaiseException("Connect: No Protocol Specified");
        return;
    }
    try {
        if (!ProtoResolved) {
            ProtoNum = WSocketResolveProto(FProto);
            SocketType = ProtoNum == 6 ? 1 : ProtoNum == 17 ? 2 : 3;
            ProtoResolved = true;
        }
        if (!PortResolved) {
            PortNum = quint16(WSocketResolvePort(FPort, FProto));
            RemoteSin.sin_port = WSocket_htons(PortNum);
            PortResolved = true;
        }
        if (!LocalPortResolved) {
            LocalPortNum = quint16(WSocketResolvePort(FLocalPort, FProto));
            LocalPortResolved = true;
        }
        if (!AddrResolved) {
            RemoteSin.sin_addr.s_addr = WSocketResolveHost(FAddr);
            AddrResolved = true;
        }
    } catch (const std::exception& E) {
        RaiseException(std::string("connect: ") + E.what());
        return;
    }

    DeleteBufferedData();
    SocketHandle = WSocket_socket(AddrFamily, SocketType, ProtoNum);
    if (SocketHandle == INVALID_SOCKET) {
        SocketError("Connect (socket)");
        return;
    }
    ChangeState(wsOpened);
    if (FState != wsOpened) {
        WSocket_WSASetLastError(WSAEINVAL);
        SocketError("Connect (Invalid operation in OnChangeState)");
        return;
    }

    if (SocketType == 2) {
        if (!BindSocket()) return;
        if (FMultiCast) {
            if (FMultiCastIpTTL != 1) {
                const int Ttl = FMultiCastIpTTL;
                if (WSocket_setsockopt(SocketHandle, WS_IPPROTO_IP, WS_IP_MULTICAST_TTL, &Ttl, 4) !=
                    0) {
                    SocketError("setsockopt(IP_MULTICAST_TTL)");
                    return;
                }
            }
            if (FLocalAddr != "0.0.0.0") {
                in_addr If{};
                If.s_addr = WSocketResolveHost(FLocalAddr);
                if (WSocket_setsockopt(SocketHandle, WS_IPPROTO_IP, WS_IP_MULTICAST_IF, &If,
                                       sizeof(If)) != 0) {
                    SocketError("setsockopt(IP_MULTICAST_IF)");
                    return;
                }
            }
        }
        if (RemoteSin.sin_addr.s_addr == INADDR_BROADCAST) {
            const int On = 1;
            if (WSocket_setsockopt(SocketHandle, WS_SOL_SOCKET, WS_SO_BROADCAST, &On, 4) != 0) {
                SocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        }
    } else {
        const int True = -1;
        if (WSocket_setsockopt(SocketHandle, WS_SOL_SOCKET, WS_SO_REUSEADDR, &True, 4) != 0) {
            SocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if (FComponentOptions.Contains(wsoTcpNoDelay) &&
            WSocket_setsockopt(SocketHandle, WS_IPPROTO_TCP, WS_TCP_NODELAY, &True, 4) != 0) {
            SocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
            return;
        }
        if (!SetLingerOption()) return;
        if (WSocket_setsockopt(SocketHandle, WS_SOL_SOCKET, WS_SO_KEEPALIVE, &True, 4) != 0) {
            SocketError("setsockopt(SO_KEEPALIVE)");
            return;
        }
        if ((LocalPortNum != 0 || FLocalAddr != "0.0.0.0") && !BindSocket()) return;
    }

    SelectEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
    if (WSocket_WSAAsyncSelect(SocketHandle, WindowHandle, MsgSocketEvent, SelectEvents) != 0) {
        SocketError("WSAAsyncSelect");
        return;
    }

    if (SocketType == 2) {
        ChangeState(wsConnected);
        TriggerSessionConnected(0);
        return;
    }
    if (WSocket_connect(SocketHandle, reinterpret_cast<const sockaddr*>(&RemoteSin),
                        sizeof(RemoteSin)) == 0 ||
        WSocket_WSAGetLastError() == WSAEWOULDBLOCK) {
        ChangeState(wsConnecting);
        return;
    }
    FLastError = WSocket_WSAGetLastError();
    SocketError("Connect");
}

void TCustomWSocket::Listen() {
    const char* Missing = !PortAssigned    ? "listen: port not assigned"
                          : !ProtoAssigned ? "listen: protocol not assigned"
                          : !AddrAssigned  ? "listen: address not assigned"
                                           : nullptr;
    if (Missing) {
        WSocket_WSASetLastError(WSAEINVAL);
        SocketError(Missing);
        return;
    }
    try {
        if (!ProtoResolved) {
            ProtoNum = WSocketResolveProto(FProto);
            SocketType = ProtoNum == 17 ? 2 : 1;
            ProtoResolved = true;
        }
        if (!PortResolved) {
            PortNum = quint16(WSocketResolvePort(FPort, FProto));
            RemoteSin.sin_port = WSocket_htons(PortNum);
            PortResolved = true;
        }
        if (!AddrResolved) {
            RemoteSin.sin_addr.s_addr = WSocketResolveHost(FAddr);
            AddrResolved = true;
        }
    } catch (const std::exception& E) {
        RaiseException(std::string("listen: ") + E.what());
        return;
    }

    DeleteBufferedData();
    SocketHandle = WSocket_socket(AddrFamily, SocketType, ProtoNum);
    if (SocketHandle == INVALID_SOCKET) {
        SocketError("socket");
        return;
    }
    // Failures before the first state change leave the state closed, where Close does
    // nothing: the descriptor is released here before the report.
    const auto FailUnbound = [this](const char* Function) {
        const int Code = WSocket_WSAGetLastError();
        CloseSocketOf(WindowHandle, SocketHandle);
        SocketHandle = INVALID_SOCKET;
        WSocket_WSASetLastError(Code);
        SocketError(Function);
    };
    if (SocketType == 2 && FReuseAddr) {
        const int True = -1;
        if (WSocket_setsockopt(SocketHandle, WS_SOL_SOCKET, WS_SO_REUSEADDR, &True, 4) != 0) {
            FailUnbound("setsockopt(SO_REUSEADDR)");
            return;
        }
    }
    if (WSocket_bind(SocketHandle, reinterpret_cast<const sockaddr*>(&RemoteSin),
                     sizeof(RemoteSin)) != 0) {
        FailUnbound("Bind");
        return;
    }
    ChangeState(wsBound);

    if (SocketType == 2 && FMultiCast) {
        struct {
            quint32 Group;
            quint32 Interface;
        } Mreq{};
        Mreq.Group = WSocket_inet_addr(FMultiCastAddrStr.c_str());
        Mreq.Interface = WSocketResolveHost(FAddr);
        if (WSocket_setsockopt(SocketHandle, WS_IPPROTO_IP, WS_IP_ADD_MEMBERSHIP, &Mreq,
                               sizeof(Mreq)) != 0) {
            SocketError("setsockopt(IP MULTICAST)");
            return;
        }
    }

    if (SocketType == 1) {
        if (WSocket_listen(SocketHandle, 5) != 0) {
            SocketError("Listen");
            return;
        }
        ChangeState(wsListening);
    } else if (SocketType == 2 || SocketType == 3) {
        ChangeState(wsListening);
        ChangeState(wsConnected);
        TriggerSessionConnected(0);
    } else {
        SocketError("Listen: unexpected protocol.");
        return;
    }

    SelectEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
    if (SocketHandle != INVALID_SOCKET &&
        WSocket_WSAAsyncSelect(SocketHandle, WindowHandle, MsgSocketEvent, SelectEvents) != 0)
        SocketError("WSAASyncSelect");
}

TSocket TCustomWSocket::Accept() {
    if (FState != wsListening) {
        WSocket_WSASetLastError(WSAEINVAL);
        SocketError("not a listening socket");
        return INVALID_SOCKET;
    }
    int Len = sizeof(RemoteSin);
    AcceptedSocket = WSocket_accept(SocketHandle, reinterpret_cast<sockaddr*>(&RemoteSin), &Len);
    if (AcceptedSocket == INVALID_SOCKET) {
        SocketError("Accept");
        return INVALID_SOCKET;
    }
    return AcceptedSocket;
}

void TCustomWSocket::Dup(TSocket NewSocket) {
    if (NewSocket == 0 || NewSocket == INVALID_SOCKET) {
        WSocket_WSASetLastError(WSAEINVAL);
        SocketError("Dup");
        return;
    }
    if (FState != wsClosed) {
        const TSocket Old = SocketHandle;
        SocketHandle = INVALID_SOCKET;
        if (Old != INVALID_SOCKET && CloseSocketOf(WindowHandle, Old) != 0) {
            SocketError("Dup (closesocket)");
            return;
        }
        ChangeState(wsClosed);
    }
    SocketHandle = NewSocket;
    CloseReported = false; // a new connection reports its own close
    if (!SetLingerOption()) return;
    SelectEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
    if (WSocket_WSAAsyncSelect(SocketHandle, WindowHandle, MsgSocketEvent, SelectEvents) != 0) {
        SocketError("WSAAsyncSelect");
        return;
    }
    ChangeState(wsConnected);
}

// ---- Closing ------------------------------------------------------------------------------

void TCustomWSocket::Close() {
    InternalClose(true, 0);
}

void TCustomWSocket::InternalClose(bool bShut, quint16 Error) {
    if (SocketHandle == INVALID_SOCKET) {
        if (FState != wsClosed) {
            ChangeState(wsClosed);
            AssignDefaultValue();
        }
        return;
    }
    if (FState == wsClosed) return;
    if (bShut) Shutdown(1);
    int R = CloseSocketOf(WindowHandle, SocketHandle);
    while (R != 0 && WSocket_WSAGetLastError() == WSAEWOULDBLOCK) {
        MessagePump();
        R = CloseSocketOf(WindowHandle, SocketHandle);
    }
    if (R != 0 && WSocket_WSAGetLastError() != WSANOTINITIALISED) {
        SocketHandle = INVALID_SOCKET;
        SocketError("Disconnect (closesocket)");
        return;
    }
    SocketHandle = INVALID_SOCKET;
    ChangeState(wsClosed);
    if (!Destroying && !CloseReported) {
        CloseReported = true;
        TriggerSessionClosed(Error);
    }
    // A handler that opened a new connection keeps it.
    if (SocketHandle != INVALID_SOCKET) return;
    try {
        AssignDefaultValue();
    } catch (...) {
    }
}

void TCustomWSocket::CloseDelayed() {
    PostMessage(WindowHandle, MsgCloseDelayed, 0, 0);
}

void TCustomWSocket::Release() {
    PostMessage(WindowHandle, MsgRelease, 0, 0);
}

void TCustomWSocket::Abort() {
    CancelDnsLookup();
    DeleteBufferedData();
    if (FState == wsConnected && ProtoNum == 6) {
        FLingerOnOff = wsLingerOff;
        SetLingerOption();
    }
    InternalClose(false, 0);
}

void TCustomWSocket::Shutdown(int How) {
    if (SocketHandle != INVALID_SOCKET) WSocket_shutdown(SocketHandle, How);
}

void TCustomWSocket::Pause() {
    Paused = true;
    if (SocketHandle != INVALID_SOCKET)
        WSocket_WSAAsyncSelect(SocketHandle, WindowHandle, MsgSocketEvent, 0);
}

void TCustomWSocket::Resume() {
    Paused = false;
    if (SocketHandle != INVALID_SOCKET)
        WSocket_WSAAsyncSelect(SocketHandle, WindowHandle, MsgSocketEvent, SelectEvents);
}

void TCustomWSocket::WaitForClose() {
    while (SocketHandle != INVALID_SOCKET && FState != wsClosed) {
        MessagePump();
        if (SocketHandle == INVALID_SOCKET) break;
        unsigned long Count = 0;
        if (WSocket_ioctlsocket(SocketHandle, WS_FIONREAD, &Count) != 0) break;
        if (Count > 0) TriggerDataAvailable(0);
        if (SocketHandle == INVALID_SOCKET) break;
        char Probe;
        if (WSocket_recv(SocketHandle, &Probe, 0, 0) >= 0 ||
            WSocket_WSAGetLastError() != WSAEWOULDBLOCK)
            break;
        WaitPump();
    }
}

// ---- Receiving ----------------------------------------------------------------------------

int TCustomWSocket::DoRecv(void* Buffer, int BufferSize, int Flags) {
    return WSocket_recv(SocketHandle, Buffer, BufferSize, Flags);
}

int TCustomWSocket::DoRecvFrom(TSocket S, void* Buffer, int BufferSize, int Flags,
                               sockaddr_in& From, int& FromLen) {
    return WSocket_recvfrom(S, Buffer, BufferSize, Flags, reinterpret_cast<sockaddr*>(&From),
                            &FromLen);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize) {
    const int R = DoRecv(Buffer, BufferSize, 0);
    if (R < 0)
        FLastError = WSocket_WSAGetLastError();
    else
        FReadCount += R;
    return R;
}

int TCustomWSocket::PeekData(void* Buffer, int BufferSize) {
    const int R = DoRecv(Buffer, BufferSize, WS_MSG_PEEK);
    if (R < 0) FLastError = WSocket_WSAGetLastError();
    return R;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen) {
    const int R = DoRecvFrom(SocketHandle, Buffer, BufferSize, 0, From, FromLen);
    if (R < 0)
        FLastError = WSocket_WSAGetLastError();
    else
        FReadCount += R;
    return R;
}

std::string TCustomWSocket::ReceiveStr() {
    int Count = GetRcvdCount();
    if (Count < 0) return {};
    if (Count == 0) Count = 255;
    std::string S(std::size_t(Count), '\0');
    const int R = Receive(S.data(), Count);
    if (R <= 0) return {};
    S.resize(std::size_t(R));
    return S;
}

int TCustomWSocket::GetRcvdCount() {
    unsigned long Count = 0;
    if (WSocket_ioctlsocket(SocketHandle, WS_FIONREAD, &Count) != 0) {
        SocketError("ioctlSocket");
        return -1;
    }
    return int(Count);
}

void TCustomWSocket::ASyncReceive(quint16 Error, TWSocketOptions Options) {
    try {
        for (;;) {
            FLastError = 0;
            if (!TriggerDataAvailable(Error)) {
                char Scratch[1024];
                if (DoRecv(Scratch, sizeof(Scratch), 0) < 0) {
                    const int Code = WSocket_WSAGetLastError();
                    if (Code == WSAEWOULDBLOCK) {
                        FLastError = 0;
                        break;
                    }
                    FLastError = Code;
                }
            }
            if (Options.Contains(wsoNoReceiveLoop) || FLastError != 0) break;
            if (SocketHandle == INVALID_SOCKET) break; // closed by the handler
            unsigned long Count = 0;
            if (WSocket_ioctlsocket(SocketHandle, WS_FIONREAD, &Count) != 0) {
                FLastError = WSocket_WSAGetLastError();
                break;
            }
            if (Count == 0) break;
        }
    } catch (...) {
        // A handler's exception ends this receive loop and goes no further.
    }
}

// ---- Sending ------------------------------------------------------------------------------

void TCustomWSocket::PutDataInSendBuffer(const void* Data, int Len) {
    if (Len < 1) return;
    if (SendQueue.empty()) SendQueue.push_back(std::make_unique<TBuffer>(SendBlockSize));
    const char* P = static_cast<const char*>(Data);
    int Left = Len;
    for (;;) {
        const int N = SendQueue.back()->Write(P, Left);
        P += N;
        Left -= N;
        if (Left <= 0) break;
        SendQueue.push_back(std::make_unique<TBuffer>(SendBlockSize));
    }
}

void TCustomWSocket::PutStringInSendBuffer(const std::string& Str) {
    PutDataInSendBuffer(Str.data(), int(Str.size()));
}

void TCustomWSocket::DeleteBufferedData() {
    SendQueue.clear();
}

int TCustomWSocket::RealSend(const void* Data, int Len) {
    int R;
    if (SocketType == 2)
        R = WSocket_sendto(SocketHandle, Data, Len, FSendFlags,
                           reinterpret_cast<const sockaddr*>(&RemoteSin), sizeof(RemoteSin));
    else
        R = WSocket_send(SocketHandle, Data, Len, FSendFlags);
    if (R > 0) TriggerSendData(R);
    return R;
}

void TCustomWSocket::TryToSend() {
    if (SocketHandle == INVALID_SOCKET || SendQueue.empty()) return;
    for (;;) {
        TBuffer& Block = *SendQueue.front();
        int Len = 0;
        const char* P = Block.Peek(Len);
        if (Len <= 0) {
            if (SendQueue.size() == 1) {
                AllSent = true;
                break;
            }
            SendQueue.pop_front();
            continue;
        }
        const int Count = RealSend(P, Len);
        if (Count == 0) break;
        if (Count < 0) {
            const int Code = WSocket_WSAGetLastError();
            if (Code == WSAECONNRESET || Code == WSAENOTSOCK || Code == WSAENOTCONN ||
                Code == WSAEINVAL || Code == WSAECONNABORTED) {
                CloseReported = true;
                Close();
                TriggerSessionClosed(quint16(Code));
            } else if (Code != WSAEWOULDBLOCK) {
                SocketError("TryToSend failed");
            }
            break;
        }
        Block.Remove(Count);
        if (Count < Len) break;
    }
}

int TCustomWSocket::Send(const void* Data, int Len) {
    if (FState != wsConnected) {
        WSocket_WSASetLastError(WSAENOTCONN);
        SocketError("Send");
        return -1;
    }
    if (Len <= 0) return 0; // nothing to queue, nothing to report
    AllSent = false;
    PutDataInSendBuffer(Data, Len);
    TryToSend();
    if (AllSent && SocketHandle != INVALID_SOCKET)
        PostMessage(WindowHandle, MsgSocketEvent, WPARAM(SocketHandle), FD_WRITE);
    return Len;
}

int TCustomWSocket::SendStr(const std::string& Str) {
    if (Str.empty()) return 0;
    return Send(Str.data(), int(Str.size()));
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len) {
    const int R = WSocket_sendto(SocketHandle, Data, Len, FSendFlags,
                                 reinterpret_cast<const sockaddr*>(&Dest), DestLen);
    if (R > 0) TriggerSendData(R);
    return R;
}

void TCustomWSocket::Flush() {
    while (SocketHandle != INVALID_SOCKET && !AllSent) {
        TryToSend();
        if (AllSent) break;
        WaitPump();
    }
}

// ---- Name resolution ------------------------------------------------------------------------

void TCustomWSocket::DnsLookup(const std::string& HostName) {
    if (HostName.empty()) {
        RaiseException("DNS lookup: invalid host name.");
        TriggerDNSLookupDone(WSAEINVAL);
        return;
    }
    if (DnsLookupHandle != 0) {
        WSocket_WSACancelAsyncRequest(DnsLookupHandle);
        DnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    if (WSocketIsDottedIP(HostName)) {
        const std::string Dotted = WSocketTrim(HostName);
        const quint32 A = WSocket_inet_addr(Dotted.c_str());
        if (A != INADDR_NONE || Dotted == "255.255.255.255") {
            FDnsResult = DottedOf(A);
            FDnsResultList.push_back(FDnsResult);
            TriggerDNSLookupDone(0);
            return;
        }
    }
    if (!WindowHandle) {
        RaiseException("DnsLookup: Window not assigned");
        return;
    }
    DnsEarlyReply = false;
    DnsLookupHandle =
        WSocket_WSAAsyncGetHostByName(WindowHandle, MsgHostByNameDone, HostName, &DnsLookupBuffer);
    if (DnsLookupHandle == 0) {
        RaiseExceptionFmt("%s: can't start DNS lookup, error #%d", HostName.c_str(),
                          WSocket_WSAGetLastError());
        return;
    }
    if (DnsEarlyReply) {
        DnsEarlyReply = false;
        WMAsyncGetHostByName(DnsEarlyMessage);
    }
}

void TCustomWSocket::WMAsyncGetHostByName(TMessage& Msg) {
    if (DnsLookupHandle == 0) {
        // The completion overtook the start call: handled when the handle is known.
        DnsEarlyMessage = Msg;
        DnsEarlyReply = true;
        return;
    }
    if (int(Msg.WParam) != DnsLookupHandle) return;
    DnsLookupHandle = 0;
    const quint16 Error = quint16((Msg.LParam >> 16) & 0xFFFF);
    if (Error == 0) {
        for (const quint32 A : DnsLookupBuffer.h_addr_list)
            FDnsResultList.push_back(DottedOf(A));
        if (!FDnsResultList.empty()) FDnsResult = FDnsResultList.front();
    }
    TriggerDNSLookupDone(Error);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& HostAddr) {
    if (HostAddr.empty() || HostAddr.size() >= 257) {
        RaiseException("ReverseDnsLookup: Invalid host name.");
        TriggerDNSLookupDone(WSAEINVAL);
        return;
    }
    if (DnsLookupHandle != 0) {
        WSocket_WSACancelAsyncRequest(DnsLookupHandle);
        DnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.clear();
    const quint32 A = WSocket_inet_addr(HostAddr.c_str());
    if (!WindowHandle) {
        RaiseException("ReverseDnsLookup: Window not assigned");
        return;
    }
    DnsLookupHandle =
        WSocket_WSAAsyncGetHostByAddr(WindowHandle, MsgHostByAddrDone, A, &DnsLookupBuffer);
    if (DnsLookupHandle == 0)
        RaiseExceptionFmt("%s: can't start DNS lookup, error #%d", HostAddr.c_str(),
                          WSocket_WSAGetLastError());
}

void TCustomWSocket::WMAsyncGetHostByAddr(TMessage& Msg) {
    if (DnsLookupHandle == 0 || int(Msg.WParam) != DnsLookupHandle) return;
    DnsLookupHandle = 0;
    const quint16 Error = quint16((Msg.LParam >> 16) & 0xFFFF);
    if (Error == 0) {
        FDnsResult = DnsLookupBuffer.h_name;
        FDnsResultList.assign(1, FDnsResult);
    }
    TriggerDNSLookupDone(Error);
}

void TCustomWSocket::CancelDnsLookup() {
    if (DnsLookupHandle == 0) return;
    if (WSocket_WSACancelAsyncRequest(DnsLookupHandle) != 0) {
        DnsLookupHandle = 0;
        SocketError("WSACancelAsyncRequest");
        return;
    }
    DnsLookupHandle = 0;
    if (!Destroying) TriggerDNSLookupDone(WSAEINTR);
}

// ---- Addresses ---------------------------------------------------------------------------

std::string TCustomWSocket::GetPeerAddr() {
    if (FState != wsConnected) return "error";
    if (SocketType == 2)
        return DottedOf(RemoteSin.sin_addr.s_addr); // a datagram socket has no system peer
    sockaddr_in Peer{};
    int Len = sizeof(Peer);
    if (WSocket_getpeername(SocketHandle, reinterpret_cast<sockaddr*>(&Peer), &Len) != 0) {
        SocketError("GetPeerName");
        return "error";
    }
    return DottedOf(Peer.sin_addr.s_addr);
}

std::string TCustomWSocket::GetPeerPort() {
    if (FState != wsConnected) return "error";
    if (SocketType == 2) return std::to_string(WSocket_ntohs(RemoteSin.sin_port));
    sockaddr_in Peer{};
    int Len = sizeof(Peer);
    if (WSocket_getpeername(SocketHandle, reinterpret_cast<sockaddr*>(&Peer), &Len) != 0) {
        SocketError("GetPeerPort");
        return "error";
    }
    return std::to_string(WSocket_ntohs(Peer.sin_port));
}

int TCustomWSocket::GetPeerName(sockaddr_in& Name, int NameLen) {
    if (FState != wsConnected) return -1;
    int Len = NameLen;
    return WSocket_getpeername(SocketHandle, reinterpret_cast<sockaddr*>(&Name), &Len);
}

std::string TCustomWSocket::GetXAddr() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
    sockaddr_in Local{};
    int Len = sizeof(Local);
    if (WSocket_getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&Local), &Len) != 0)
        return "error";
    return DottedOf(Local.sin_addr.s_addr);
}

std::string TCustomWSocket::GetXPort() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
    sockaddr_in Local{};
    int Len = sizeof(Local);
    if (WSocket_getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&Local), &Len) != 0)
        return "error";
    return std::to_string(WSocket_ntohs(Local.sin_port));
}

int TCustomWSocket::GetSockName(sockaddr_in& Name, int& NameLen) {
    return WSocket_getsockname(SocketHandle, reinterpret_cast<sockaddr*>(&Name), &NameLen);
}

// ---- Time values ---------------------------------------------------------------------------

bool TCustomWSocket::TimerIsSet(const timeval& T) {
    return T.tv_sec != 0 || T.tv_usec != 0;
}

void TCustomWSocket::TimerClear(timeval& T) {
    T.tv_sec = 0;
    T.tv_usec = 0;
}

bool TCustomWSocket::TimerCmp(const timeval& A, const timeval& B, bool Equal) {
    const bool Same = A.tv_sec == B.tv_sec && A.tv_usec == B.tv_usec;
    return Equal ? Same : !Same;
}
