// TCustomFtpCli: construction, properties, the hidden window, the events and usage errors,
// and the text helpers (ReadNumber, ReadQuoted, LocalFileSize, FtpTickCount).

#include "ftp/ftpcli.h"
#include "ftp/ftp_log.h"
#include "ftp/ftpcli_p.h"

#include "net/wsocket_winsock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cctype>
#include <cstring>

using namespace ftpcli_internal;

namespace {

bool IsBlank(char C) {
    return C == ' ' || C == '\t' || C == '\r' || C == '\n';
}

// A trace line as the log shows it: a PASS command keeps its verb, not its password.
std::string MaskedForLog(const std::string& Line) {
    if (Line.rfind("> ", 0) != 0) return Line;
    const std::size_t VerbEnd = Line.find(' ', 2);
    if (VerbEnd == std::string::npos || !SameText(Line.substr(2, VerbEnd - 2), "PASS")) return Line;
    return Line.substr(0, VerbEnd) + " ****";
}

} // namespace

bool ftpcli_internal::SameText(const std::string& A, const char* B) {
    const std::size_t N = std::strlen(B);
    if (A.size() != N) return false;
    for (std::size_t I = 0; I < N; ++I)
        if (std::tolower(static_cast<unsigned char>(A[I])) !=
            std::tolower(static_cast<unsigned char>(B[I])))
            return false;
    return true;
}

std::string ftpcli_internal::ErrorText(quint16 Error) {
    return WSocketErrorDesc(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

std::string ftpcli_internal::ExceptionClassName(const std::exception& E) {
    if (dynamic_cast<const ESocketException*>(&E)) return "ESocketException";
    if (dynamic_cast<const FtpException*>(&E)) return "FtpException";
    return "Exception";
}

qint64 FtpTickCount() {
    static const QElapsedTimer Clock = [] {
        QElapsedTimer T;
        T.start();
        return T;
    }();
    return Clock.elapsed() + 1;
}

TFtpNumber ReadNumber(const std::string& Text, std::size_t From) {
    std::size_t P = From;
    while (P < Text.size() && IsBlank(Text[P]))
        ++P;
    bool Negative = false;
    if (P < Text.size() && (Text[P] == '+' || Text[P] == '-')) {
        Negative = Text[P] == '-';
        ++P;
    }
    qint64 Value = 0;
    while (P < Text.size() && IsDigit(Text[P])) {
        Value = Value * 10 + (Text[P] - '0');
        ++P;
    }
    return {Negative ? -Value : Value, P};
}

std::string ReadQuoted(const std::string& Text, std::size_t From) {
    std::size_t P = From;
    while (P < Text.size() && IsBlank(Text[P]))
        ++P;
    std::string Result;
    if (P >= Text.size() || Text[P] != '"') return Result;
    ++P;
    while (P < Text.size()) {
        if (Text[P] == '"') {
            if (P + 1 < Text.size() && Text[P + 1] == '"') {
                Result += '"';
                P += 2;
                continue;
            }
            break;
        }
        Result += Text[P++];
    }
    return Result;
}

qint64 LocalFileSize(const std::string& FileName) {
    if (FileName.empty()) return -1;
    const QFileInfo Info(
        QDir::current().absoluteFilePath(QString::fromLocal8Bit(FileName.c_str())));
    if (!Info.exists() || !Info.isFile()) return -1;
    return Info.size();
}

TCustomFtpCli::TCustomFtpCli(QObject* AOwner) : QObject(AOwner) {
    FtpCliAllocateHWnd();
    FControlSocket = new TWSocket(this);
    FDataSocket = new TWSocket(this);
    FControlSocket->OnSessionConnected = [this](QObject*, quint16 E) {
        ControlSocketSessionConnected(E);
    };
    FControlSocket->OnDataAvailable = [this](QObject*, quint16 E) {
        ControlSocketDataAvailable(E);
    };
    FControlSocket->OnSessionClosed = [this](QObject*, quint16 E) {
        ControlSocketSessionClosed(E);
    };
    FControlSocket->OnDnsLookupDone = [this](QObject*, quint16 E) {
        ControlSocketDnsLookupDone(E);
    };
    FControlSocket->OnSslHandshakeDone = [this](QObject*, quint16 E) {
        ControlSslHandshakeDone(E);
    };
    FDataSocket->OnSslHandshakeDone = [this](QObject*, quint16 E) { DataSslHandshakeDone(E); };
    FEndOfUploadTimer.setSingleShot(true);
    connect(&FEndOfUploadTimer, &QTimer::timeout, this, [this] { EndOfUploadTimeout(); });
}

TCustomFtpCli::~TCustomFtpCli() {
    FtpCliDeallocateHWnd();
    DestroyLocalStream();
    // The sockets outlive this body (they are children); nothing of ours may run from them.
    for (TWSocket* S : {FControlSocket.data(), FDataSocket.data()}) {
        if (!S) continue;
        S->OnSessionConnected = nullptr;
        S->OnDataAvailable = nullptr;
        S->OnSessionClosed = nullptr;
        S->OnDnsLookupDone = nullptr;
        S->OnSessionAvailable = nullptr;
        S->OnDataSent = nullptr;
        S->OnSslHandshakeDone = nullptr;
    }
}

// ---------------------------------------------------------------------------------------
// Properties

void TCustomFtpCli::SetLocalFileName(const std::string& Value) {
    FLocalFileName = Value;
    if (!Value.empty()) FExternalStream = false;
}

void TCustomFtpCli::SetLocalStream(QIODevice* Value) {
    FLocalStream = Value;
    FExternalStream = Value != nullptr;
    if (Value) FLocalFileName.clear();
}

void TCustomFtpCli::SetDisplayFileMode(TFtpDisplayFileMode Value) {
    FDisplayFileMode = Value == ftpBinary ? ftpBinary : ftpLineByLine;
}

TFtpShareMode TCustomFtpCli::ShareMode() const {
    switch (FShareFlag) {
    case 0:
        return ftpShareCompat;
    case 32:
        return ftpShareDenyWrite;
    case 48:
        return ftpShareDenyRead;
    case 64:
        return ftpShareDenyNone;
    default:
        return ftpShareExclusive;
    }
}

void TCustomFtpCli::SetShareMode(TFtpShareMode Value) {
    switch (Value) {
    case ftpShareCompat:
        FShareFlag = 0;
        break;
    case ftpShareDenyWrite:
        FShareFlag = 32;
        break;
    case ftpShareDenyRead:
        FShareFlag = 48;
        break;
    case ftpShareDenyNone:
        FShareFlag = 64;
        break;
    default:
        FShareFlag = 16;
        break;
    }
}

void TCustomFtpCli::SetConnectionType(TFtpConnectionType Value) {
    if (FConnectedFlag) {
        HandleError("FTP component connected");
        return;
    }
    switch (Value) {
    case ftpProxy:
    case ftpSocks4:
    case ftpSocks4A:
    case ftpSocks5:
        FConnectionType = Value;
        FPassive = true;
        break;
    default:
        FConnectionType = ftpDirect;
        break;
    }
    for (TWSocket* S : {FControlSocket.data(), FDataSocket.data()})
        if (S) ApplySocks(*S);
}

void TCustomFtpCli::SetPassive(bool Value) {
    FPassive = FConnectionType == ftpDirect ? Value : true;
}

void TCustomFtpCli::SetSocksServer(const std::string& Value) {
    FSocksServer = Value;
    for (TWSocket* S : {FControlSocket.data(), FDataSocket.data()})
        if (S) ApplySocks(*S);
}

void TCustomFtpCli::SetSocksPort(const std::string& Value) {
    FSocksPort = Value;
    for (TWSocket* S : {FControlSocket.data(), FDataSocket.data()})
        if (S) ApplySocks(*S);
}

void TCustomFtpCli::SetSocksUserCode(const std::string& Value) {
    FSocksUserCode = Value;
    for (TWSocket* S : {FControlSocket.data(), FDataSocket.data()})
        if (S) ApplySocks(*S);
}

void TCustomFtpCli::SetSocksPassword(const std::string& Value) {
    FSocksPassword = Value;
    for (TWSocket* S : {FControlSocket.data(), FDataSocket.data()})
        if (S) ApplySocks(*S);
}

// The socket layer forgets its SOCKS server and port at every close, so the component keeps
// its own copies and hands them over again before each connect. Only the three SOCKS
// connection types use them; the others connect directly whatever is set.
void TCustomFtpCli::ApplySocks(TWSocket& Socket) {
    if (Socket.State() != wsClosed) return;
    Socket.SetSocksUsercode(FSocksUserCode);
    Socket.SetSocksPassword(FSocksPassword);
    switch (FConnectionType) {
    case ftpSocks4:
    case ftpSocks4A:
    case ftpSocks5:
        Socket.SetSocksServer(FSocksServer);
        Socket.SetSocksPort(FSocksPort);
        Socket.SetSocksLevel(FConnectionType == ftpSocks4    ? "4"
                             : FConnectionType == ftpSocks4A ? "4A"
                                                             : "5");
        Socket.SetSocksAuthentication(socksAuthenticateUsercode);
        break;
    default:
        Socket.SetSocksServer("");
        Socket.SetSocksAuthentication(socksNoAuthentication);
        break;
    }
}

bool TCustomFtpCli::Connected() const {
    return FControlSocket && FControlSocket->State() != wsClosed;
}

// ---------------------------------------------------------------------------------------
// Hidden window, triggers, errors

void TCustomFtpCli::FtpCliAllocateHWnd() {
    FWindowHandle = AllocateHWnd([this](TMessage& M) { WndProc(M); });
}

void TCustomFtpCli::FtpCliDeallocateHWnd() {
    if (FWindowHandle != 0) {
        DeallocateHWnd(FWindowHandle);
        FWindowHandle = 0;
    }
}

void TCustomFtpCli::WndProc(TMessage& MsgRec) {
    try {
        switch (MsgRec.Msg) {
        case WM_FTP_REQUEST_DONE:
            WMFtpRequestDone(MsgRec);
            break;
        case WM_FTP_SENDDATA:
            WMFtpSendData(MsgRec);
            break;
        default:
            MsgRec.Result = DefWindowProc(FWindowHandle, MsgRec.Msg, MsgRec.WParam, MsgRec.LParam);
            break;
        }
    } catch (const std::exception& E) {
        HandleBackGroundException(E);
    }
}

void TCustomFtpCli::HandleBackGroundException(const std::exception& E) {
    bool CanClose = true;
    if (OnBgException) {
        try {
            OnBgException(this, E, CanClose);
        } catch (...) {
        }
    }
}

void TCustomFtpCli::TriggerDisplay(std::string Msg) {
    if (OnDisplay) OnDisplay(this, Msg);
}

// Every trace line also goes to the log, whatever a subclass makes of TriggerDisplay.
void TCustomFtpCli::Trace(const std::string& Msg) {
    qCDebug(lcFtp).noquote() << QString::fromStdString(MaskedForLog(Msg));
    TriggerDisplay(Msg);
}

void TCustomFtpCli::TriggerDisplayFile(std::string Msg) {
    if (OnDisplayFile) OnDisplayFile(this, Msg);
}

void TCustomFtpCli::TriggerReadyToTransmit(bool& bCancel) {
    if (OnReadyToTransmit) OnReadyToTransmit(this, bCancel);
}

void TCustomFtpCli::TriggerError(const std::string& Msg) {
    if (OnError) OnError(this, Msg);
}

void TCustomFtpCli::DisplayLastResponse() {
    Trace("< " + FLastResponse);
}

void TCustomFtpCli::HandleError(const std::string& Msg) {
    ++FUsageErrors;
    FLastUsageError = Msg;
    if (OnError) {
        TriggerError(Msg);
        return;
    }
    throw FtpException(Msg);
}

bool TCustomFtpCli::CheckReady() {
    if (FState == ftpReady || FState == ftpInternalReady) return true;
    HandleError("FTP component not ready");
    return false;
}

void TCustomFtpCli::SetErrorMessage() {
    if (FErrorMessage.empty()) FErrorMessage = FLastResponse;
}

void TCustomFtpCli::StateChange(TFtpState NewState) {
    if (FState == NewState) return;
    FState = NewState;
    TriggerStateChange();
}

void TCustomFtpCli::TriggerStateChange() {
    if (OnStateChange) OnStateChange(this);
}

void TCustomFtpCli::DestroyLocalStream() {
    if (FExternalStream) return;
    FOwnedStream.reset();
    FLocalStream = nullptr;
}

void TCustomFtpCli::FailRequest(int Code, const std::string& Response, bool CloseData) {
    FLastResponse = Response;
    FStatusCode = Code;
    SetErrorMessage();
    if (CloseData && FDataSocket->State() != wsClosed) FDataSocket->Close();
    FRequestResult = Code;
    TriggerRequestDone(static_cast<quint16>(Code));
}

bool TCustomFtpCli::CommandTextSafe(const std::string& Cmd) {
    if (Cmd.find_first_of("\r\n") == std::string::npos) return true;
    Trace("! Command refused: it holds a CR or LF");
    FErrorMessage.clear();
    FailRequest(500, "500 Command not sent: its text holds a CR or LF character", true);
    return false;
}
