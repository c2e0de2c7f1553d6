// TCustomWSocket: opening a connection, listening, accepting and taking over an accepted one.

#include "net/net_log.h"
#include "net/wsocket_core.h"
#include "net/wsocket_resolve.h"
#include "net/wsocket_winsock.h"

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
        const int Code = WSocket_WSAGetLastError();
        qCDebug(lcNet, "bind to %s port %u failed: error %d, %s", FLocalAddr.c_str(),
                unsigned(LocalPortNum), Code, WSocketErrorDesc(Code).c_str());
        RaiseExceptionFmt("winsock.bind failed, error #%d", Code);
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
        qCDebug(lcNet, "connect to %s port %s: %s", FAddr.c_str(), FPort.c_str(), E.what());
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
        qCDebug(lcNet, "listen on %s port %s: %s", FAddr.c_str(), FPort.c_str(), E.what());
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
        CloseSocketOf(SocketHandle);
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
        if (Old != INVALID_SOCKET && CloseSocketOf(Old) != 0) {
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
