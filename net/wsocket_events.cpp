// TCustomWSocket's hidden window: message dispatch, the message pump, moving between threads,
// and the asynchronous look-ups whose answers arrive as messages.

#include "net/net_log.h"
#include "net/wsocket_core.h"
#include "net/wsocket_resolve.h"
#include "net/wsocket_winsock.h"

#include <QCoreApplication>

const char* const XSocketWindowClassName = "XSocketWindowClass";

namespace {

LRESULT XSocketWindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto* Obj = static_cast<QObject*>(GetWindowLongPtr(Window, 0));
    auto* Socket = dynamic_cast<TCustomWSocket*>(Obj);
    if (!Socket) return DefWindowProc(Window, Msg, WParam, LParam);
    TMessage M{Msg, WParam, LParam, 0};
    Socket->WndProc(M); // may destroy Socket (message 1029): M is ours
    return M.Result;
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
    qCDebug(lcNet, "exception while handling a message: %s", E.what());
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
        if (Error != 0)
            qCDebug(lcNet, "connect to %s port %s failed: error %d, %s", FAddr.c_str(),
                    FPort.c_str(), int(Error), WSocketErrorDesc(Error).c_str());
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
        if (Error != 0)
            qCDebug(lcNet, "connection closed: error %d, %s", int(Error),
                    WSocketErrorDesc(Error).c_str());
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
    } else {
        qCDebug(lcNet, "host look-up failed: error %d, %s", int(Error),
                WSocketErrorDesc(Error).c_str());
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
    } else {
        qCDebug(lcNet, "address look-up failed: error %d, %s", int(Error),
                WSocketErrorDesc(Error).c_str());
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
