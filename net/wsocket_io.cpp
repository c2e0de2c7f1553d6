// TCustomWSocket: closing, receiving and sending with its send queue.

#include "net/wsocket_core.h"
#include "net/wsocket_winsock.h"

#include <string>

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
    int R = CloseSocketOf(SocketHandle);
    while (R != 0 && WSocket_WSAGetLastError() == WSAEWOULDBLOCK) {
        MessagePump();
        R = CloseSocketOf(SocketHandle);
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
