// TCustomWSocket: construction, properties, error reports, event triggers and addresses.
// Connecting is in wsocket_connect.cpp, closing and the data path in wsocket_io.cpp, the
// hidden window and its messages in wsocket_events.cpp.

#include "net/wsocket_core.h"

#include "net/net_log.h"
#include "net/wsocket_resolve.h"
#include "net/wsocket_winsock.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::string TCustomWSocket::DottedOf(quint32 NetAddr) {
    in_addr A{};
    A.s_addr = NetAddr;
    return WSocket_inet_ntoa(A);
}

int TCustomWSocket::CloseSocketOf(TSocket S) {
    const int R = WSocket_closesocket(S);
    if (WindowHandle) RemovePostedMessages(WindowHandle, MsgSocketEvent);
    return R;
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
        CloseSocketOf(SocketHandle);
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
    qCDebug(lcNet, "error %d in %s: %s", Code, FunctionName.c_str(),
            WSocketErrorDesc(Code).c_str());
    if (Code == WSAECONNRESET || Code == WSAENOTCONN) {
        if (SocketHandle != INVALID_SOCKET) CloseSocketOf(SocketHandle);
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
