#include "net/ssl_wsocket.h"

#include "net/net_log.h"
#include "net/wsocket_winsock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

namespace {

struct FreeBio {
    void operator()(BIO* P) const { BIO_free(P); }
};
using BioPtr = std::unique_ptr<BIO, FreeBio>;

struct FreeBioMethod {
    void operator()(BIO_METHOD* P) const { BIO_meth_free(P); }
};

// Every error OpenSSL queued for this thread, as short reasons; the queue is left empty.
std::string TakeSslErrors() {
    std::string Text;
    while (const unsigned long E = ERR_get_error()) {
        const char* Reason = ERR_reason_error_string(E);
        char Code[48];
        std::snprintf(Code, sizeof Code, "error %lx", E);
        if (!Text.empty()) Text += "; ";
        Text += Reason ? Reason : Code;
    }
    return Text;
}

bool IsIpAddress(const std::string& Name) {
    unsigned char Buf[16];
    return inet_pton(AF_INET, Name.c_str(), Buf) == 1 ||
           inet_pton(AF_INET6, Name.c_str(), Buf) == 1;
}

std::string NameText(const X509_NAME* Name) {
    const BioPtr B(BIO_new(BIO_s_mem()));
    if (!B || !Name) return {};
    X509_NAME_print_ex(B.get(), Name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* Data = nullptr;
    const long Len = BIO_get_mem_data(B.get(), &Data);
    return Len > 0 ? std::string(Data, std::size_t(Len)) : std::string();
}

std::string TimeText(const ASN1_TIME* T) {
    std::tm Tm{};
    if (!T || ASN1_TIME_to_tm(T, &Tm) != 1) return {};
    char Buf[32];
    std::strftime(Buf, sizeof Buf, "%Y-%m-%d %H:%M:%S UTC", &Tm);
    return Buf;
}

TSslCertInfo CertInfo(X509* Cert) {
    TSslCertInfo Info;
    if (!Cert) return Info;
    Info.Present = true;
    Info.Subject = NameText(X509_get_subject_name(Cert));
    Info.Issuer = NameText(X509_get_issuer_name(Cert));
    Info.NotBefore = TimeText(X509_get0_notBefore(Cert));
    Info.NotAfter = TimeText(X509_get0_notAfter(Cert));
    unsigned char Md[EVP_MAX_MD_SIZE];
    unsigned Len = 0;
    if (X509_digest(Cert, EVP_sha256(), Md, &Len) == 1) {
        static const char Hex[] = "0123456789ABCDEF";
        for (unsigned I = 0; I < Len; ++I) {
            if (I) Info.Sha256 += ':';
            Info.Sha256 += Hex[Md[I] >> 4];
            Info.Sha256 += Hex[Md[I] & 15];
        }
    }
    return Info;
}

} // namespace

// The C callbacks OpenSSL calls back into the socket through.
struct TSslGlue {
    static TCustomSslWSocket* Of(BIO* B) {
        return static_cast<TCustomSslWSocket*>(BIO_get_data(B));
    }

    static int BioWrite(BIO* B, const char* Data, int Len) {
        BIO_clear_retry_flags(B);
        if (Len <= 0) return 0;
        const int N = Of(B)->RawSend(Data, Len);
        if (N < 0 && WSocket_WSAGetLastError() == WSAEWOULDBLOCK) BIO_set_retry_write(B);
        return N;
    }

    static int BioRead(BIO* B, char* Buf, int Len) {
        BIO_clear_retry_flags(B);
        if (Len <= 0) return 0;
        const int N = Of(B)->RawRecv(Buf, Len);
        if (N < 0 && WSocket_WSAGetLastError() == WSAEWOULDBLOCK) BIO_set_retry_read(B);
        return N;
    }

    static long BioCtrl(BIO*, int Cmd, long, void*) { return Cmd == BIO_CTRL_FLUSH ? 1 : 0; }

    static BIO_METHOD* Method() {
        static const std::unique_ptr<BIO_METHOD, FreeBioMethod> M = [] {
            std::unique_ptr<BIO_METHOD, FreeBioMethod> P(
                BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "wsocket"));
            if (P) {
                BIO_meth_set_write(P.get(), BioWrite);
                BIO_meth_set_read(P.get(), BioRead);
                BIO_meth_set_ctrl(P.get(), BioCtrl);
            }
            return P;
        }();
        return M.get();
    }

    // Records every problem of the chain and lets the handshake go on: the caller decides.
    static int Verify(int Ok, X509_STORE_CTX* Ctx) {
        if (Ok) return 1;
        auto* S = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(Ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* Self = S ? static_cast<TCustomSslWSocket*>(SSL_get_app_data(S)) : nullptr;
        if (Self) {
            const std::string Reason = X509_verify_cert_error_string(X509_STORE_CTX_get_error(Ctx));
            auto& List = Self->SslVerifyErrors;
            if (std::find(List.begin(), List.end(), Reason) == List.end()) List.push_back(Reason);
        }
        return 1;
    }

    // Keeps the newest session the server issued (TLS 1.3 tickets arrive after the handshake).
    static int NewSession(SSL* S, SSL_SESSION* Session) {
        auto* Self = static_cast<TCustomSslWSocket*>(SSL_get_app_data(S));
        if (!Self || !SSL_SESSION_is_resumable(Session)) return 0;
        Self->FSslSession = TSslSession(Session, SSL_SESSION_free);
        return 1; // the reference is ours now
    }
};

void TCustomSslWSocket::FreeSsl::operator()(SSL* P) const {
    SSL_free(P);
}

void TCustomSslWSocket::FreeSslCtx::operator()(SSL_CTX* P) const {
    SSL_CTX_free(P);
}

TCustomSslWSocket::TCustomSslWSocket(QObject* AOwner) : TCustomSocksWSocket(AOwner) {
}

TCustomSslWSocket::~TCustomSslWSocket() {
    OnSslHandshakeDone = nullptr;
    if (SslState == sslEstablished && !SslPeerGone && SocketHandle != INVALID_SOCKET) {
        ERR_clear_error();
        SSL_shutdown(Ssl.get()); // best effort, no waiting here
        ERR_clear_error();
    }
    Ssl.reset();
}

void TCustomSslWSocket::SetSslMinVersion(TSslVersion Value) {
    if (Value == FSslMinVersion) return;
    FSslMinVersion = Value;
    SslCtx.reset();
}

void TCustomSslWSocket::SetSslMaxVersion(TSslVersion Value) {
    if (Value == FSslMaxVersion) return;
    FSslMaxVersion = Value;
    SslCtx.reset();
}

void TCustomSslWSocket::AssignDefaultValue() {
    TCustomSocksWSocket::AssignDefaultValue();
    ResetSsl();
}

void TCustomSslWSocket::ResetSsl() {
    Ssl.reset();
    SslState = sslNone;
    ++SslConn;
    SslRedeliverPosted = false;
    SslReadWantsWrite = false;
    SslWriteWantsRead = false;
    SslPeerGone = false;
    if (WindowHandle) RemovePostedMessages(WindowHandle, MsgSslEvent);
}

// ---- Setting up and the handshake --------------------------------------------------------

bool TCustomSslWSocket::SetupSsl() {
    ResetSsl();
    FSslSessionReused = false;
    FSslVersionText.clear();
    FSslCipher.clear();
    FSslPeerVerified = false;
    SslVerifyErrors.clear();
    FSslVerifyText.clear();
    FSslPeerCert = TSslCertInfo{};
    FSslErrorText.clear();
    FSslCloseNotifyReceived = false;
    ERR_clear_error();

    if (!SslCtx) {
        SslCtx.reset(SSL_CTX_new(TLS_client_method()));
        if (!SslCtx) {
            FSslErrorText = TakeSslErrors();
            return false;
        }
        SSL_CTX* Ctx = SslCtx.get();
        SSL_CTX_set_min_proto_version(Ctx, FSslMinVersion == sslVersionAny ? TLS1_2_VERSION
                                                                           : int(FSslMinVersion));
        SSL_CTX_set_max_proto_version(Ctx, int(FSslMaxVersion));
        if (SSL_CTX_set_default_verify_paths(Ctx) != 1)
            qCWarning(lcNet) << "TLS: cannot load the default certificate paths:"
                             << TakeSslErrors().c_str();
        SSL_CTX_set_session_cache_mode(Ctx,
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(Ctx, TSslGlue::NewSession);
        SSL_CTX_set_mode(Ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }

    Ssl.reset(SSL_new(SslCtx.get()));
    BIO* Bio = TSslGlue::Method() ? BIO_new(TSslGlue::Method()) : nullptr;
    if (!Ssl || !Bio) {
        BIO_free(Bio);
        Ssl.reset();
        FSslErrorText = TakeSslErrors();
        return false;
    }
    SSL* S = Ssl.get();
    SSL_set_app_data(S, this);
    BIO_set_data(Bio, this);
    BIO_set_init(Bio, 1);
    SSL_set_bio(S, Bio, Bio); // S owns Bio now

    const std::string Name = FSslHostName.empty() ? FAddr : FSslHostName;
    if (!Name.empty()) {
        if (IsIpAddress(Name)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(S), Name.c_str());
        } else {
            SSL_set_tlsext_host_name(S, Name.c_str());
            SSL_set1_host(S, Name.c_str());
        }
    }
    SSL_set_hostflags(S, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set_verify(S, SSL_VERIFY_NONE, TSslGlue::Verify);
    if (FSslSession && SSL_set_session(S, FSslSession.get()) != 1)
        qCDebug(lcNet) << "TLS: the session to resume was refused:" << TakeSslErrors().c_str();
    SSL_set_read_ahead(S, 1);
    SSL_set_connect_state(S);
    return true;
}

void TCustomSslWSocket::StartSslHandshake() {
    if (FState != wsConnected || SocketHandle == INVALID_SOCKET) {
        RaiseException("StartSslHandshake: not connected");
        return;
    }
    if (SslState != sslNone) {
        RaiseException("StartSslHandshake: TLS already started");
        return;
    }
    if (!SetupSsl()) {
        qCWarning(lcNet) << "TLS: cannot set up:" << FSslErrorText.c_str();
        RaiseException("StartSslHandshake: " + FSslErrorText);
        return;
    }
    SslState = sslHandshake;
    // Driven from the message queue, so that even an immediate failure reaches the caller's
    // handlers after this call returned.
    PostSsl(sslDrive);
}

void TCustomSslWSocket::DriveHandshake() {
    ERR_clear_error();
    const int R = SSL_do_handshake(Ssl.get());
    if (R == 1) {
        HandshakeComplete();
        return;
    }
    const int E = SSL_get_error(Ssl.get(), R);
    if (E == SSL_ERROR_WANT_READ || E == SSL_ERROR_WANT_WRITE) return; // the next notification
    std::string Why = TakeSslErrors();
    if (Why.empty()) {
        const int Code = WSocket_WSAGetLastError();
        Why = E == SSL_ERROR_SYSCALL && Code != 0 && Code != WSAEWOULDBLOCK
                  ? "Error " + std::to_string(Code) + ": " + WSocketErrorDesc(Code)
                  : std::string("connection closed during the TLS handshake");
    }
    FSslErrorText = Why;
    HandshakeFailed(SslErrHandshake);
}

void TCustomSslWSocket::HandshakeComplete() {
    SSL* S = Ssl.get();
    SslState = sslEstablished;
    FSslSessionReused = SSL_session_reused(S) == 1;
    FSslVersionText = SSL_get_version(S);
    FSslCipher = SSL_get_cipher_name(S);
    X509* Cert = SSL_get0_peer_certificate(S);
    FSslPeerCert = CertInfo(Cert);
    const long Result = SSL_get_verify_result(S);
    if (Result != X509_V_OK && SslVerifyErrors.empty())
        SslVerifyErrors.push_back(X509_verify_cert_error_string(Result));
    if (!Cert && SslVerifyErrors.empty())
        SslVerifyErrors.push_back("the server sent no certificate");
    FSslPeerVerified = SslVerifyErrors.empty();
    FSslVerifyText.clear();
    for (const std::string& Reason : SslVerifyErrors)
        FSslVerifyText += (FSslVerifyText.empty() ? "" : "; ") + Reason;
    qCDebug(lcNet) << "TLS:" << FSslVersionText.c_str() << FSslCipher.c_str()
                   << (FSslSessionReused ? "resumed" : "new session")
                   << (FSslPeerVerified ? "verified" : FSslVerifyText.c_str());

    const unsigned Conn = SslConn;
    TriggerSslHandshakeDone(0);
    if (Conn != SslConn || FState != wsConnected) return; // closed by the handler
    // Bytes that came with the last handshake message wait inside OpenSSL, unseen by the
    // socket notifications.
    if (SSL_has_pending(S)) PostSsl(sslRedeliver);
    if (!AllSent) {
        TryToSend(); // what the application queued during the handshake
        if (AllSent && Conn == SslConn && FState == wsConnected)
            TCustomSocksWSocket::TriggerDataSent(0);
    }
}

void TCustomSslWSocket::HandshakeFailed(quint16 Error) {
    SslState = sslFailed;
    qCWarning(lcNet) << "TLS handshake with" << FAddr.c_str() << "failed:" << FSslErrorText.c_str();
    const unsigned Conn = SslConn;
    TriggerSslHandshakeDone(Error);
    if (Conn == SslConn && FState != wsClosed) InternalClose(true, Error);
}

void TCustomSslWSocket::TriggerSslHandshakeDone(quint16 Error) {
    if (OnSslHandshakeDone) OnSslHandshakeDone(this, Error);
}

// ---- Connection events --------------------------------------------------------------------

void TCustomSslWSocket::TriggerSessionConnected(quint16 Error) {
    // While SOCKS negotiates, the connection to the destination does not stand yet. TLS is
    // set up before the application hears of the connection, so what it sends is encrypted.
    if (Error == 0 && FSslEnable && SocksState == socksData && SslState == sslNone &&
        FState == wsConnected && SocketHandle != INVALID_SOCKET)
        StartSslHandshake();
    TCustomSocksWSocket::TriggerSessionConnected(Error);
}

void TCustomSslWSocket::Connect() {
    SslCloseReported = false;
    TCustomSocksWSocket::Connect();
}

void TCustomSslWSocket::Listen() {
    SslCloseReported = false;
    TCustomSocksWSocket::Listen();
}

void TCustomSslWSocket::Dup(TSocket NewSocket) {
    if (SslState != sslNone) ResetSsl();
    SslCloseReported = false;
    TCustomSocksWSocket::Dup(NewSocket);
    if (FSslEnable && SslState == sslNone && FState == wsConnected && SocketHandle == NewSocket)
        StartSslHandshake();
}

void TCustomSslWSocket::TriggerSessionClosed(quint16 Error) {
    // A close inside the last reads of a closing connection (a failed handshake, or a
    // handler) has reported it already: the socket's own report that follows is dropped.
    if (SslCloseReported && FState == wsClosed && SocketHandle == INVALID_SOCKET) return;
    SslCloseReported = true;
    SslPeerGone = true;
    // Records decrypted ahead may hold more than the last notifications offered: they are
    // handed over while the application keeps taking them.
    if ((SslState == sslEstablished || SslState == sslShutdownSent) && FState == wsConnected) {
        const unsigned Conn = SslConn;
        while (SslDataReady()) {
            const std::uint64_t Before = SslBytesRead;
            if (!TriggerDataAvailable(0) || Conn != SslConn || SslBytesRead == Before) break;
        }
    }
    TCustomSocksWSocket::TriggerSessionClosed(Error);
}

void TCustomSslWSocket::Close() {
    if (SslState == sslEstablished && !SslPeerGone && FState == wsConnected) SslShutdown(0);
    TCustomSocksWSocket::Close();
}

bool TCustomSslWSocket::SslShutdown(int TimeoutMs) {
    if (!Ssl || SslState != sslEstablished || SocketHandle == INVALID_SOCKET) return false;
    SslState = sslShutdownSent;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        ERR_clear_error();
        const int R = SSL_shutdown(Ssl.get());
        if (R >= 0) return true;
        const int E = SSL_get_error(Ssl.get(), R);
        ERR_clear_error();
        if (E != SSL_ERROR_WANT_WRITE) return false;
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              Deadline - std::chrono::steady_clock::now())
                              .count();
        if (Left <= 0) return false;
        pollfd P{SocketHandle, POLLOUT, 0};
        ::poll(&P, 1, int(Left));
    }
}

void TCustomSslWSocket::Resume() {
    TCustomSocksWSocket::Resume();
    if (Ssl && (SslState == sslEstablished || SslState == sslShutdownSent) &&
        SSL_has_pending(Ssl.get()))
        PostSsl(sslRedeliver);
}

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
