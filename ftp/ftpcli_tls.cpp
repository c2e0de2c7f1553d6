// TCustomFtpCli: FTP over TLS: AUTH TLS or implicit TLS on the control connection, the
// certificate check with the user's say, PBSZ/PROT after the login, and TLS on the data
// connection resuming the control connection's session.

#include "ftp/ftp_log.h"
#include "ftp/ftpcli.h"
#include "ftp/ftpcli_p.h"

using namespace ftpcli_internal;

// The greeting (and with TLS the handshake and the certificate check) is done: the open
// request ends.
void TCustomFtpCli::FinishOpen(quint16 Error) {
    StateChange(ftpConnected);
    if (OnSessionConnected) OnSessionConnected(this, Error);
    TriggerRequestDone(0);
}

void TCustomFtpCli::FailControl(int Code, const std::string& Response) {
    qCWarning(lcFtp).noquote() << QString::fromStdString(Response);
    Trace("! " + Response);
    FLastResponse = Response;
    FStatusCode = Code;
    SetErrorMessage();
    FRequestResult = Code;
    FReplyReader.Clear();
    // The close reports the end of the request with this result.
    if (FControlSocket->State() != wsClosed) FControlSocket->Close();
}

void TCustomFtpCli::NextAuthTls() {
    DisplayLastResponse();
    int Code = 0;
    if (!IsFinalReplyLine(Code)) return;
    FStatusCode = Code;
    FNext = nullptr;
    if (Code == 234) {
        try {
            FControlSocket->SetSslHostName(FHostName);
            FControlSocket->StartSslHandshake(); // ControlSslHandshakeDone goes on
        } catch (const std::exception& E) {
            FailControl(534, std::string("534 Cannot start TLS: ") + E.what());
        }
        return;
    }
    if (FSecurity == ftpSecTlsIfOffered) {
        Trace("! The server refused AUTH TLS: going on without TLS");
        FinishOpen(0);
        return;
    }
    FailControl(534, "534 TLS required but " + HostPort() + " refused AUTH TLS: " + FLastResponse);
}

void TCustomFtpCli::ControlSslHandshakeDone(quint16 Error) {
    if (Error != 0) {
        // The socket closes the connection itself; its close ends the request with this.
        const std::string Response =
            "534 TLS handshake with " + HostPort() + " failed: " + FControlSocket->SslErrorText();
        qCWarning(lcFtp).noquote() << QString::fromStdString(Response);
        Trace("! " + Response);
        FLastResponse = Response;
        FStatusCode = 534;
        SetErrorMessage();
        FRequestResult = 534;
        return;
    }
    const TWSocket& S = *FControlSocket;
    Trace("! " + S.SslVersion() + " " + S.SslCipher() +
          (S.SslPeerVerified() ? ", certificate verified" : ""));
    if (!TrustPeerCertificate()) {
        FailControl(534, "534 Certificate of " + HostPort() +
                             " not trusted: " + FControlSocket->SslVerifyText());
        return;
    }
    FControlTrusted = true;
    // Implicit TLS: the greeting is still to come and ends the open request.
    if (FSecurity != ftpSecImplicit && FState == ftpWaitingResponse) FinishOpen(0);
}

bool TCustomFtpCli::TrustPeerCertificate() {
    if (FControlSocket->SslPeerVerified()) return true;
    const TSslCertInfo& Cert = FControlSocket->SslPeerCert();
    const auto Known = FTrustedCertificates.find(HostPort());
    if (Cert.Present && Known != FTrustedCertificates.end() && Known->second == Cert.Sha256)
        return true;
    const TCertificateInfo Info{FHostName,     FPort,       FControlSocket->SslVerifyText(),
                                Cert.Subject,  Cert.Issuer, Cert.NotBefore,
                                Cert.NotAfter, Cert.Sha256};
    qCWarning(lcFtp).noquote() << QString::fromStdString("Certificate of " + HostPort() +
                                                         " not verified: " + Info.Reason +
                                                         " (SHA-256 " + Info.Sha256 + ")");
    bool Trust = false;
    if (Cert.Present) {
        // Nothing of this connection is handled while the user thinks.
        FControlSocket->Pause();
        try {
            TriggerCertificateQuestion(Info, Trust);
        } catch (...) {
            Trust = false;
        }
        FControlSocket->Resume();
    }
    if (Trust)
        FTrustedCertificates[HostPort()] = Cert.Sha256;
    else
        FCertificateRefused = true;
    return Trust;
}

void TCustomFtpCli::TriggerCertificateQuestion(const TCertificateInfo& Info, bool& Trust) {
    if (OnCertificateQuestion) OnCertificateQuestion(this, Info, Trust);
}

void TCustomFtpCli::ProtectDataAsync() {
    FLastStep = ftpFctProt;
    ExecAsync(FRequestType, "PBSZ 0", {200}, &TCustomFtpCli::DonePbsz);
}

void TCustomFtpCli::DonePbsz() {
    if (FRequestResult != 0) {
        TriggerRequestDone(static_cast<quint16>(FRequestResult));
        return;
    }
    StateChange(ftpInternalReady);
    ExecAsync(FRequestType, "PROT P", {200}, &TCustomFtpCli::DoneProt);
}

void TCustomFtpCli::DoneProt() {
    FDataProtected = FRequestResult == 0;
    TriggerRequestDone(static_cast<quint16>(FRequestResult));
}

void TCustomFtpCli::PrepareDataTls() {
    const bool Tls = FDataProtected && FControlSocket->SslEstablished();
    FDataSocket->SetSslEnable(Tls);
    if (!Tls) return;
    FDataSocket->SetSslHostName(FHostName);
    // Servers such as vsftpd refuse a data connection that does not resume this session.
    FDataSocket->SetSslSession(FControlSocket->SslSession());
}

void TCustomFtpCli::DataSslHandshakeDone(quint16 Error) {
    if (Error == 0) {
        if (!FDataSocket->SslSessionReused())
            qCDebug(lcFtp) << "the data connection did not resume the TLS session";
        // The control connection's certificate was checked; the data connection must be
        // with the same server.
        if (FDataSocket->SslPeerCert().Sha256 == FControlSocket->SslPeerCert().Sha256) return;
        FLocalTransferError = "the data connection's certificate is not the control "
                              "connection's";
        FDataSocket->Close();
    } else {
        FLocalTransferError =
            "TLS handshake on the data connection failed: " + FDataSocket->SslErrorText();
    }
    qCWarning(lcFtp).noquote() << QString::fromStdString(HostPort() + ": " + FLocalTransferError);
    Trace("! " + FLocalTransferError);
}
