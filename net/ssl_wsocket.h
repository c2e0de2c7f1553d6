#pragma once

// TLS client layer over OpenSSL. It sits above SOCKS (the proxy handshake stays plain) and below
// line mode, which therefore sees decrypted bytes. The socket's events keep their meaning:
// OnDataAvailable only when decrypted bytes wait, OnDataSent once the queued bytes are
// encrypted and handed to the network, OnSessionClosed once. The handshake runs on the same
// notifications and never blocks; its outcome, including the certificate check, is told by
// OnSslHandshakeDone and the caller decides whether to go on.

#include "net/socks_wsocket.h"

#include <openssl/types.h>
// As <openssl/ssl.h> declares it, without pulling that header into every user.
typedef struct ssl_session_st SSL_SESSION;

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Message of the TLS layer to its own window: word parameter the connection number, long
// parameter what to do.
constexpr UINT MsgSslEvent = WM_USER + 21; // 1045

// Error codes of OnSslHandshakeDone and OnSessionClosed from this layer.
constexpr quint16 SslErrHandshake = 20101; // the handshake failed: SslErrorText says why
constexpr quint16 SslErrProtocol = 20102;  // a fatal TLS error on an established connection

enum TSslVersion { sslVersionAny = 0, sslVersionTls12 = 0x0303, sslVersionTls13 = 0x0304 };

// The peer certificate as a person checks it.
struct TSslCertInfo {
    std::string Subject; // RFC 2253 form, e.g. "CN=ftp.example.com,O=Example"
    std::string Issuer;
    std::string NotBefore; // "YYYY-MM-DD HH:MM:SS UTC"
    std::string NotAfter;
    std::string Sha256; // upper-case hex pairs joined by ':'
    bool Present = false;
};

// A TLS session for resumption; shared, freed with its last holder.
using TSslSession = std::shared_ptr<SSL_SESSION>;

using TSslHandshakeDone = std::function<void(QObject* Sender, quint16 Error)>;

class TCustomSslWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomSslWSocket(QObject* AOwner = nullptr);
    ~TCustomSslWSocket() override;

    // Settings, kept across connections.
    // Implicit TLS: the handshake starts as soon as the connection (or the accepted socket
    // taken over with Dup) stands, just before OnSessionConnected; what the application
    // sends meanwhile waits for the handshake. OnSslHandshakeDone tells its end.
    bool SslEnable() const { return FSslEnable; }
    void SetSslEnable(bool Value) { FSslEnable = Value; }
    // Name sent as SNI and checked against the certificate; an IP address is checked as an
    // address and sends no SNI. Empty: Addr.
    const std::string& SslHostName() const { return FSslHostName; }
    void SetSslHostName(const std::string& Value) { FSslHostName = Value; }
    TSslVersion SslMinVersion() const { return FSslMinVersion; }
    void SetSslMinVersion(TSslVersion Value);
    TSslVersion SslMaxVersion() const { return FSslMaxVersion; }
    void SetSslMaxVersion(TSslVersion Value);
    // The session the next handshake offers for resumption. After a handshake: the newest
    // session the server issued on this connection (TLS 1.3 tickets that come later count).
    const TSslSession& SslSession() const { return FSslSession; }
    void SetSslSession(TSslSession Value) { FSslSession = std::move(Value); }

    // Starts the handshake on the open connection (explicit TLS, e.g. after AUTH TLS).
    void StartSslHandshake();
    // Sends close_notify, waiting at most TimeoutMs for room in the send buffer; true when it
    // was handed to the network. Sending ends with it; reading goes on until the close.
    bool SslShutdown(int TimeoutMs = 2000);
    // Sends close_notify first when it can without waiting (see SslShutdown).
    void Connect() override;
    void Listen() override;
    void Close() override;
    void Dup(TSocket NewSocket) override;
    void Resume() override;

    // The current connection (or the last one, until the next handshake starts).
    bool SslActive() const { return SslState != sslNone; }
    bool SslEstablished() const { return SslState == sslEstablished; }
    bool SslSessionReused() const { return FSslSessionReused; }
    const std::string& SslVersion() const { return FSslVersionText; } // e.g. "TLSv1.3"
    const std::string& SslCipher() const { return FSslCipher; }
    // True when the chain leads to a trusted root and the certificate names the host.
    bool SslPeerVerified() const { return FSslPeerVerified; }
    // Why verification failed (the reasons joined by "; "), empty when verified.
    const std::string& SslVerifyText() const { return FSslVerifyText; }
    const TSslCertInfo& SslPeerCert() const { return FSslPeerCert; }
    // The last TLS failure in words.
    const std::string& SslErrorText() const { return FSslErrorText; }
    bool SslCloseNotifyReceived() const { return FSslCloseNotifyReceived; }

    TSslHandshakeDone OnSslHandshakeDone;

    void WndProc(TMessage& MsgRec) override;

protected:
    void AssignDefaultValue() override;
    int GetRcvdCount() override;
    bool TriggerDataAvailable(quint16 Error) override;
    void TriggerSessionConnected(quint16 Error) override;
    void TriggerSessionClosed(quint16 Error) override;
    void TriggerDataSent(quint16 Error) override;
    int DoRecv(void* Buffer, int BufferSize, int Flags) override;
    int RealSend(const void* Data, int Len) override;

    virtual void TriggerSslHandshakeDone(quint16 Error);
    // True while the handshake runs: received bytes belong to it, not to the application.
    bool SslHandshaking() const { return SslState == sslHandshake; }

private:
    friend struct TSslGlue;
    enum TSslState { sslNone, sslHandshake, sslEstablished, sslShutdownSent, sslFailed };
    enum TSslAction { sslDrive = 1, sslRedeliver, sslPeerClosed, sslFatal };
    struct FreeSsl {
        void operator()(SSL* P) const;
    };
    struct FreeSslCtx {
        void operator()(SSL_CTX* P) const;
    };

    bool SetupSsl();
    void ResetSsl();
    void DriveHandshake();
    void HandshakeComplete();
    void HandshakeFailed(quint16 Error);
    // True when decrypted bytes wait; processes what arrived.
    bool SslDataReady();
    // The result of a failed SSL_read or SSL_peek as a receive result: -1 with the last error
    // set, or 0 at the end of the stream.
    int ReadFailed(int Ret);
    void PostSsl(TSslAction Action);
    void HandleSslMessage(TSslAction Action);
    // Raw transport under the TLS records.
    int RawSend(const char* Data, int Len);
    int RawRecv(char* Buffer, int Len);

    bool FSslEnable = false;
    std::string FSslHostName;
    TSslVersion FSslMinVersion = sslVersionAny;
    TSslVersion FSslMaxVersion = sslVersionAny;
    TSslSession FSslSession;

    std::unique_ptr<SSL_CTX, FreeSslCtx> SslCtx; // made on first use, again after a change
    std::unique_ptr<SSL, FreeSsl> Ssl;
    TSslState SslState = sslNone;
    unsigned SslConn = 0; // counts connections: a message for an older one is dropped
    bool SslRedeliverPosted = false;
    bool SslReadWantsWrite = false;
    bool SslWriteWantsRead = false;
    bool SslPeerGone = false;       // the peer closed: no close_notify to send
    std::uint64_t SslBytesRead = 0; // decrypted bytes the application took
    bool SslCloseReported = false;  // OnSessionClosed went out for this connection

    bool FSslSessionReused = false;
    std::string FSslVersionText;
    std::string FSslCipher;
    bool FSslPeerVerified = false;
    std::vector<std::string> SslVerifyErrors;
    std::string FSslVerifyText;
    TSslCertInfo FSslPeerCert;
    std::string FSslErrorText;
    bool FSslCloseNotifyReceived = false;
};
