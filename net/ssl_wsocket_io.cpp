// The TLS layer's data path: decrypting what arrives, encrypting what is sent, and the
// messages that drive both when the network was not ready.

#include "net/ssl_wsocket.h"

#include "net/net_log.h"
#include "net/ssl_wsocket_p.h"
#include "net/wsocket_winsock.h"

#include <algorithm>
#include <openssl/err.h>
#include <openssl/ssl.h>

// ---- Receiving ----------------------------------------------------------------------------

bool TCustomSslWSocket::TriggerDataAvailable(quint16 Error) {
    switch (SslState) {
    case sslNone:
        return TCustomSocksWSocket::TriggerDataAvailable(Error);
    case sslHandshake:
        if (Error != 0) {
            FSslErrorText = "Error " + std::to_string(Error) + ": " + WSocketErrorDesc(Error);
            HandshakeFailed(Error);
        } else {
            DriveHandshake();
        }
        return true;
    case sslFailed: {
        char Scratch[4096]; // the connection is about to close: what comes is dropped
        RawRecv(Scratch, sizeof Scratch);
        return true;
    }
    case sslEstablished:
    case sslShutdownSent:
        break;
    }
    if (Error != 0) return TCustomSocksWSocket::TriggerDataAvailable(Error);
    const unsigned Conn = SslConn;
    bool Result = true;
    if (SslDataReady()) Result = TCustomSocksWSocket::TriggerDataAvailable(0);
    if (SslWriteWantsRead && Conn == SslConn && FState == wsConnected) {
        SslWriteWantsRead = false; // a write waited for this read
        TryToSend();
        if (AllSent && Conn == SslConn && FState == wsConnected)
            TCustomSocksWSocket::TriggerDataSent(0);
    }
    return Result;
}

bool TCustomSslWSocket::SslDataReady() {
    if (!Ssl || (SslState != sslEstablished && SslState != sslShutdownSent)) return false;
    if (SSL_pending(Ssl.get()) > 0) return true;
    char Probe;
    ERR_clear_error();
    const int N = SSL_peek(Ssl.get(), &Probe, 1);
    if (N > 0) return true;
    ReadFailed(N);
    return false;
}

int TCustomSslWSocket::ReadFailed(int Ret) {
    const int E = SSL_get_error(Ssl.get(), Ret);
    switch (E) {
    case SSL_ERROR_WANT_READ:
        WSocket_WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_WANT_WRITE:
        SslReadWantsWrite = true; // retried on the next write notification
        WSocket_WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        // close_notify: the peer sends nothing more; answer it and close.
        if (!FSslCloseNotifyReceived) {
            FSslCloseNotifyReceived = true;
            PostSsl(sslPeerClosed);
        }
        return 0;
    default:
        break;
    }
    const unsigned long First = ERR_peek_error();
    if (ERR_GET_LIB(First) == ERR_LIB_SSL &&
        ERR_GET_REASON(First) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        // The stream ended without close_notify: the socket reports the close itself.
        ERR_clear_error();
        return 0;
    }
    if (E == SSL_ERROR_SYSCALL && First == 0) {
        const int Code = WSocket_WSAGetLastError();
        if (Code == 0) return 0; // end of stream
        return -1;               // the socket's own error, reported by the socket
    }
    FSslErrorText = TakeSslErrors();
    qCWarning(lcNet) << "TLS error on the connection to" << FAddr.c_str() << ":"
                     << FSslErrorText.c_str();
    PostSsl(sslFatal);
    WSocket_WSASetLastError(WSAECONNABORTED);
    return -1;
}

int TCustomSslWSocket::DoRecv(void* Buffer, int BufferSize, int Flags) {
    if (SslState == sslNone) return TCustomSocksWSocket::DoRecv(Buffer, BufferSize, Flags);
    if (SslState != sslEstablished && SslState != sslShutdownSent) {
        WSocket_WSASetLastError(SslState == sslHandshake ? WSAEWOULDBLOCK : WSAECONNABORTED);
        return -1;
    }
    if (BufferSize <= 0) return 0;
    ERR_clear_error();
    const bool Peek = (Flags & WS_MSG_PEEK) != 0;
    const int N =
        Peek ? SSL_peek(Ssl.get(), Buffer, BufferSize) : SSL_read(Ssl.get(), Buffer, BufferSize);
    if (N <= 0) return ReadFailed(N);
    if (!Peek) {
        SslBytesRead += std::uint64_t(N);
        // What stays decrypted inside OpenSSL gets no socket notification: offer it again,
        // as the socket does for bytes left unread.
        if (SSL_has_pending(Ssl.get())) PostSsl(sslRedeliver);
    }
    return N;
}

int TCustomSslWSocket::GetRcvdCount() {
    switch (SslState) {
    case sslNone:
        return TCustomSocksWSocket::GetRcvdCount();
    case sslEstablished:
    case sslShutdownSent:
        return SslDataReady() ? SSL_pending(Ssl.get()) : 0;
    default:
        return 0;
    }
}

int TCustomSslWSocket::RawRecv(char* Buffer, int Len) {
    return TCustomSocksWSocket::DoRecv(Buffer, Len, 0); // SOCKS leftovers first
}

// ---- Sending ------------------------------------------------------------------------------

int TCustomSslWSocket::RealSend(const void* Data, int Len) {
    switch (SslState) {
    case sslNone:
        return TCustomSocksWSocket::RealSend(Data, Len);
    case sslHandshake:
        // Queued until the handshake is done; a handshake write that waited for room goes on
        // from the message queue, outside the send loop.
        PostSsl(sslDrive);
        WSocket_WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case sslEstablished:
        break;
    case sslShutdownSent:
        WSocket_WSASetLastError(WSAESHUTDOWN);
        return -1;
    case sslFailed:
        WSocket_WSASetLastError(WSAECONNABORTED);
        return -1;
    }
    ERR_clear_error();
    const int N = SSL_write(Ssl.get(), Data, Len);
    if (N > 0) {
        TriggerSendData(N);
        return N;
    }
    switch (SSL_get_error(Ssl.get(), N)) {
    case SSL_ERROR_WANT_WRITE:
        WSocket_WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_WANT_READ:
        SslWriteWantsRead = true;
        WSocket_WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    case SSL_ERROR_SYSCALL:
        if (ERR_peek_error() == 0) {
            if (WSocket_WSAGetLastError() == 0) WSocket_WSASetLastError(WSAECONNRESET);
            return -1;
        }
        break;
    default:
        break;
    }
    FSslErrorText = TakeSslErrors();
    qCWarning(lcNet) << "TLS error sending to" << FAddr.c_str() << ":" << FSslErrorText.c_str();
    SslState = sslFailed;
    WSocket_WSASetLastError(WSAECONNABORTED); // the send loop closes and reports it
    return -1;
}

int TCustomSslWSocket::RawSend(const char* Data, int Len) {
    return WSocket_send(SocketHandle, Data, Len, 0);
}

void TCustomSslWSocket::TriggerDataSent(quint16 Error) {
    switch (SslState) {
    case sslHandshake:
        DriveHandshake(); // the socket has room for what the handshake waited to write
        return;
    case sslFailed:
        return;
    default:
        break;
    }
    if (SslReadWantsWrite) {
        SslReadWantsWrite = false;
        PostSsl(sslRedeliver);
    }
    TCustomSocksWSocket::TriggerDataSent(Error);
}

// ---- Messages -----------------------------------------------------------------------------

void TCustomSslWSocket::PostSsl(TSslAction Action) {
    if (Action == sslRedeliver) {
        if (SslRedeliverPosted) return;
        SslRedeliverPosted = true;
    }
    PostMessage(WindowHandle, MsgSslEvent, WPARAM(SslConn), LPARAM(Action));
}

void TCustomSslWSocket::WndProc(TMessage& MsgRec) {
    if (MsgRec.Msg != MsgSslEvent) {
        TCustomSocksWSocket::WndProc(MsgRec);
        return;
    }
    try {
        if (unsigned(MsgRec.WParam) == SslConn) HandleSslMessage(TSslAction(MsgRec.LParam));
    } catch (const std::exception& E) {
        HandleBackGroundException(E);
    }
}

void TCustomSslWSocket::HandleSslMessage(TSslAction Action) {
    switch (Action) {
    case sslDrive:
        if (SslState == sslHandshake) DriveHandshake();
        break;
    case sslRedeliver:
        SslRedeliverPosted = false;
        if (Paused || FState != wsConnected || !SslDataReady()) break;
        if (!TriggerDataAvailable(0)) {
            // Nobody takes it: dropped, as the socket drops unread data without a handler.
            char Scratch[4096];
            while (SSL_read(Ssl.get(), Scratch, sizeof Scratch) > 0) {
            }
            ERR_clear_error();
        }
        break;
    case sslPeerClosed:
        if (FState == wsConnected) Close();
        break;
    case sslFatal:
        if (FState != wsClosed) InternalClose(true, SslErrProtocol);
        break;
    }
}
