#include "ftp/ftpcli.h"

#include "net/wsocket_winsock.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sys/file.h>

namespace {

std::string ErrorText(quint16 Error) {
    return WSocketErrorDesc(Error) + " (Winsock error #" + std::to_string(Error) + ")";
}

std::string ExceptionClassName(const std::exception& E) {
    if (dynamic_cast<const ESocketException*>(&E)) return "ESocketException";
    if (dynamic_cast<const FtpException*>(&E)) return "FtpException";
    return "Exception";
}

bool SameText(const std::string& A, const char* B) {
    const std::size_t N = std::strlen(B);
    if (A.size() != N) return false;
    for (std::size_t I = 0; I < N; ++I)
        if (std::tolower(static_cast<unsigned char>(A[I])) !=
            std::tolower(static_cast<unsigned char>(B[I])))
            return false;
    return true;
}

bool IsBlank(char C) {
    return C == ' ' || C == '\t' || C == '\r' || C == '\n';
}
bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

// A file opened with a sharing flag. Linux has no share modes; an advisory lock held for as
// long as the file is open stands in for them among cooperating programs.
std::unique_ptr<QFile> OpenShared(const std::string& Name, QIODevice::OpenMode Mode,
                                  quint16 ShareFlag) {
    auto File = std::make_unique<QFile>(QString::fromLocal8Bit(Name.c_str()));
    if (!File->open(Mode)) throw std::runtime_error("cannot open " + Name);
    int Lock = 0;
    switch (ShareFlag) {
    case 16: // exclusive
    case 48: // deny read
        Lock = LOCK_EX;
        break;
    case 32: // deny write
        Lock = LOCK_SH;
        break;
    default: // compatibility, deny none
        break;
    }
    if (Lock != 0 && ::flock(File->handle(), Lock | LOCK_NB) != 0)
        throw std::runtime_error("sharing violation on " + Name);
    return File;
}

} // namespace

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
    TriggerDisplay("< " + FLastResponse);
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
    TriggerDisplay("! Command refused: it holds a CR or LF");
    FErrorMessage.clear();
    FailRequest(500, "500 Command not sent: its text holds a CR or LF character", true);
    return false;
}

// ---------------------------------------------------------------------------------------
// Command cycle

void TCustomFtpCli::SendCommand(std::string Cmd) {
    if (OnCommand) OnCommand(this, Cmd);
    TriggerDisplay("> " + Cmd);
    if (FControlSocket->State() == wsConnected) FControlSocket->SendStr(Cmd + "\r\n");
}

void TCustomFtpCli::ExecAsync(TFtpRequest RqType, const std::string& Cmd,
                              std::initializer_list<int> OkResponses, TFtpNextProc DoneAsync) {
    ExecAsyncImpl(RqType, Cmd, OkResponses, DoneAsync, false);
}

void TCustomFtpCli::ExecAsyncImpl(TFtpRequest RqType, const std::string& Cmd,
                                  std::initializer_list<int> OkResponses, TFtpNextProc DoneAsync,
                                  bool PasvReadyOk) {
    if (Cmd != "ABOR" && Cmd != "STAT" && Cmd != "QUIT") {
        if (!(PasvReadyOk && FState == ftpPasvReady) && !CheckReady()) return;
        if (!FConnectedFlag) {
            HandleError("FTP component not connected");
            return;
        }
    }
    if (!FInSequence) FRequestType = RqType;
    int I = 0;
    for (const int Code : OkResponses) {
        if (I >= 15) break;
        FOkCodes[I++] = Code;
    }
    FOkCodes[I] = 0;
    FDoneReported = false;
    FNext = &TCustomFtpCli::NextExecAsync;
    FDoneStep = DoneAsync;
    FErrorMessage.clear();
    if (!CommandTextSafe(Cmd)) return;
    StateChange(ftpWaitingResponse);
    SendCommand(Cmd);
}

bool TCustomFtpCli::IsFinalReplyLine(int& Code) const {
    if (FLastResponse.empty() || !IsDigit(FLastResponse[0])) return false;
    const TFtpNumber N = ReadNumber(FLastResponse);
    if (N.Pos < FLastResponse.size() && FLastResponse[N.Pos] == '-') return false;
    Code = static_cast<int>(N.Value);
    return true;
}

void TCustomFtpCli::ControlSocketDataAvailable(quint16 Error) {
    const int Len = FControlSocket->Receive(FReplyBuffer + FReplyLen,
                                            static_cast<int>(sizeof(FReplyBuffer)) - FReplyLen - 1);
    if (Len == 0) {
        FControlSocket->Close();
        return;
    }
    if (Len < 0) return;
    FReplyLen += Len;
    FReplyBuffer[FReplyLen] = 0;

    const bool AcceptLF = FOptions.testFlag(ftpAcceptLF);
    while (FReplyLen > 0) {
        const char* End =
            AcceptLF ? std::strchr(FReplyBuffer, '\n') : std::strstr(FReplyBuffer, "\r\n");
        const int EndLen = AcceptLF ? 1 : 2;
        if (End == nullptr || End - FReplyBuffer >= FReplyLen) return;
        const int LineLen = static_cast<int>(End - FReplyBuffer);
        FLastResponse.assign(FReplyBuffer, static_cast<std::size_t>(LineLen));
        while (!FLastResponse.empty() &&
               (FLastResponse.back() == '\r' || FLastResponse.back() == '\n'))
            FLastResponse.pop_back();
        if (OnResponse) OnResponse(this);

        FReplyLen -= LineLen + EndLen;
        if (FReplyLen > 0)
            std::memmove(FReplyBuffer, FReplyBuffer + LineLen + EndLen,
                         static_cast<std::size_t>(FReplyLen) + 1);
        else {
            FReplyLen = 0;
            FReplyBuffer[0] = 0;
        }

        switch (FState) {
        case ftpWaitingBanner: {
            DisplayLastResponse();
            if (FLastResponse.empty() || !IsDigit(FLastResponse[0])) break;
            const TFtpNumber N = ReadNumber(FLastResponse);
            FStatusCode = static_cast<int>(N.Value);
            if (N.Pos < FLastResponse.size() && FLastResponse[N.Pos] == '-') break;
            if (FStatusCode == 220) {
                StateChange(ftpConnected);
                if (OnSessionConnected) OnSessionConnected(this, Error);
                TriggerRequestDone(0);
            } else {
                SetErrorMessage();
                FRequestResult = FStatusCode;
                FControlSocket->Close();
                return;
            }
            break;
        }
        case ftpWaitingResponse: {
            int Code = 0;
            if (!IsFinalReplyLine(Code)) {
                DisplayLastResponse();
                break;
            }
            if (FNext == nullptr)
                HandleError("Program error: FNext is nil");
            else
                (this->*FNext)();
            break;
        }
        default:
            DisplayLastResponse();
            break;
        }
    }
}

void TCustomFtpCli::NextExecAsync() {
    DisplayLastResponse();
    int Code = 0;
    if (!IsFinalReplyLine(Code)) return;
    FStatusCode = Code;
    const auto Fail = [this] {
        FRequestResult = FStatusCode;
        SetErrorMessage();
    };
    if (FOkCodes[0] == 0) {
        if (FStatusCode >= 500)
            Fail();
        else
            FRequestResult = 0;
    } else {
        for (int I = 0; I < 16; ++I) {
            if (FOkCodes[I] == 0) {
                Fail();
                break;
            }
            if (FOkCodes[I] == FStatusCode) {
                FRequestResult = 0;
                break;
            }
        }
    }
    if (FPassive && FStatusCode == 227) {
        StateChange(ftpPasvReady);
        FPasvReply = FLastResponse;
    }
    ExtractMoreResults();
    if (FDoneStep != nullptr)
        (this->*FDoneStep)();
    else
        TriggerRequestDone(static_cast<quint16>(FRequestResult));
}

void TCustomFtpCli::ExtractMoreResults() {
    if (FRequestResult != 0) return;
    switch (FLastStep) {
    case ftpFctSize: {
        const TFtpNumber Code = ReadNumber(FLastResponse);
        FSizeResult = ReadNumber(FLastResponse, Code.Pos).Value;
        break;
    }
    case ftpFctCwd:
    case ftpFctMkd:
    case ftpFctPwd:
    case ftpFctCDup: {
        const TFtpNumber Code = ReadNumber(FLastResponse);
        FDirResult = ReadQuoted(FLastResponse, Code.Pos);
        break;
    }
    default:
        break;
    }
}

void TCustomFtpCli::TriggerRequestDone(quint16 Error) {
    if (FDoneReported) return;
    FDoneReported = true;
    if (Error == 0 && FSequenceNext != nullptr) {
        if (FState != ftpAbort && FState != ftpPasvReady) StateChange(ftpInternalReady);
        RunSequenceNext();
        return;
    }
    FEndOfUploadTimer.stop();
    StateChange(ftpReady);
    if (FDataSocket && FDataSocket->State() != wsClosed) FDataSocket->Close();
    if (FInSequence && FSavedStatusCode >= 0) {
        FLastResponse = FSavedResponse;
        FStatusCode = FSavedStatusCode;
    }
    FInSequence = false;
    FSequenceNext = nullptr;
    PostMessage(FWindowHandle, WM_FTP_REQUEST_DONE, 0, static_cast<LPARAM>(Error));
}

// A later step of a sequence runs from inside a socket event. A usage error there (or any
// other exception) would leave the request without an end; it ends the request instead.
void TCustomFtpCli::RunSequenceNext() {
    const TFtpNextProc Next = FSequenceNext;
    const int Before = FUsageErrors;
    std::string Failure;
    try {
        (this->*Next)();
        // A step refused through OnError started nothing: nothing is awaited any more.
        const bool Idle = FState == ftpReady || FState == ftpInternalReady ||
                          FState == ftpPasvReady || FState == ftpConnected;
        if (FUsageErrors == Before || !FInSequence || !Idle) return;
        Failure = FLastUsageError;
    } catch (const FtpException& E) {
        Failure = E.Message();
    } catch (const std::exception& E) {
        Failure = ExceptionClassName(E) + ": " + E.what();
    }
    // An inner step may have ended the request already.
    if (!FInSequence) return;
    TriggerDisplay("! " + Failure);
    FLastResponse = "500 " + Failure;
    FStatusCode = 500;
    FRequestResult = 500;
    FErrorMessage = FLastResponse;
    FSequenceNext = nullptr;
    FDoneReported = false;
    TriggerRequestDone(500);
}

void TCustomFtpCli::WMFtpRequestDone(TMessage& Msg) {
    if (OnRequestDone) OnRequestDone(this, FRequestType, static_cast<quint16>(Msg.LParam & 0xFFFF));
}

// ---------------------------------------------------------------------------------------
// Connecting and closing

void TCustomFtpCli::OpenAsync() {
    if (!CheckReady()) return;
    if (FConnectedFlag) {
        HandleError("FTP component already connected");
        return;
    }
    if (!FInSequence) FRequestType = ftpOpenAsync;
    FDoneReported = false;
    FReplyLen = 0;
    FReplyBuffer[0] = 0;
    FRequestResult = 0;
    FDnsResult.clear();
    FQuitClosing = false;
    StateChange(ftpDnsLookup);
    try {
        FControlSocket->DnsLookup(FConnectionType == ftpProxy ? FProxyServer : FHostName);
    } catch (const std::exception& E) {
        FailRequest(500, "500 " + ExceptionClassName(E) + ": " + E.what(), false);
    }
}

void TCustomFtpCli::ControlSocketDnsLookupDone(quint16 Error) {
    if (Error != 0) {
        FLastResponse = "500 " + ErrorText(Error);
        FStatusCode = 500;
        FRequestResult = 500;
        SetErrorMessage();
        TriggerRequestDone(Error);
        return;
    }
    FDnsResult = FControlSocket->DnsResult();
    try {
        FControlSocket->SetAddr(FDnsResult);
        FControlSocket->SetLocalAddr(FLocalAddr);
        FControlSocket->SetProto("tcp");
        FControlSocket->SetRemotePort(
            FConnectionType == ftpProxy && !FProxyPort.empty() ? FProxyPort : FPort);
        ApplySocks(*FControlSocket);
        StateChange(ftpWaitingBanner);
        FControlSocket->Connect();
    } catch (const std::exception& E) {
        FLastResponse = "500 " + ExceptionClassName(E) + ": " + E.what();
        FStatusCode = 500;
        FRequestResult = 500;
        SetErrorMessage();
        TriggerRequestDone(500);
    }
}

void TCustomFtpCli::ControlSocketSessionConnected(quint16 Error) {
    if (Error == 0) {
        FConnectedFlag = true;
        return;
    }
    FLastResponse = "500 " + ErrorText(Error);
    FStatusCode = 500;
    FRequestResult = 500;
    SetErrorMessage();
    FSequenceNext = nullptr;
    TriggerRequestDone(Error);
    FControlSocket->Close();
    StateChange(ftpReady);
}

void TCustomFtpCli::ControlSocketSessionClosed(quint16 Error) {
    // The socket may report one close twice (from the close we made while reading its last
    // data, and from its close notification); the second finds nothing to finish.
    if (!FConnectedFlag && FDoneReported && (FState == ftpReady || FState == ftpInternalReady))
        return;
    const TFtpState Prior = FState;
    if (FConnectedFlag) {
        FConnectedFlag = false;
        if (FState != ftpAbort) StateChange(ftpNotConnected);
        if (OnSessionClosed) OnSessionClosed(this, Error);
    }
    if (FState != ftpAbort) StateChange(ftpInternalReady);
    if (Error != 0) {
        FLastResponse = "500 Control connection closed. " + ErrorText(Error);
        FStatusCode = 500;
        FRequestResult = 500;
        SetErrorMessage();
    } else if (!FQuitClosing && !FDoneReported && FRequestResult == 0 &&
               (Prior == ftpWaitingBanner || Prior == ftpWaitingResponse ||
                Prior == ftpPasvReady)) {
        // Lost while a reply was awaited: the step did not succeed, whatever came before.
        FLastResponse = "500 Control connection closed.";
        FStatusCode = 500;
        FRequestResult = 500;
        SetErrorMessage();
    }
    FQuitClosing = false;
    TriggerRequestDone(static_cast<quint16>(FRequestResult));
}

void TCustomFtpCli::DoneQuitAsync() {
    FQuitClosing = true;
    FControlSocket->Close();
}

void TCustomFtpCli::AbortAsync() {
    const TFtpState Old = FState;
    ++FAbortCount;
    StateChange(ftpAbort);
    DestroyLocalStream();
    FEndOfUploadTimer.stop();
    if (Old == ftpDnsLookup) FControlSocket->CancelDnsLookup();
    if (FControlSocket->State() != wsClosed) FControlSocket->Close();
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    DestroyLocalStream();
    FConnectedFlag = false;
    StateChange(ftpReady);
}

// ---------------------------------------------------------------------------------------
// Primitive commands

void TCustomFtpCli::UserAsync() {
    if (FUserName.empty()) {
        HandleError("UserName emtpy");
        return;
    }
    FLastStep = ftpFctUser;
    std::string Cmd = "USER " + FUserName;
    if (FConnectionType == ftpProxy) {
        Cmd += "@" + FHostName;
        if (!SameText(FPort, "ftp") && !SameText(FPort, "21")) Cmd += ":" + FPort;
    }
    ExecAsync(ftpUserAsync, Cmd, {331, 230}, nullptr);
}

void TCustomFtpCli::PassAsync() {
    if (FPassWord.empty()) {
        HandleError("Password emtpy");
        return;
    }
    FLastStep = ftpFctPass;
    ExecAsync(ftpPassAsync, "PASS " + FPassWord, {230}, nullptr);
}

void TCustomFtpCli::CwdAsync() {
    if (FHostDirName.empty()) {
        HandleError("HostDirName emtpy");
        return;
    }
    FLastStep = ftpFctCwd;
    ExecAsync(ftpCwdAsync, "CWD " + FHostDirName, {200, 250, 257}, nullptr);
}

void TCustomFtpCli::SystAsync() {
    FLastStep = ftpFctSyst;
    ExecAsync(ftpSystAsync, "SYST", {215}, nullptr);
}

void TCustomFtpCli::SizeAsync() {
    FSizeResult = 0;
    FLastStep = ftpFctSize;
    ExecAsync(ftpSizeAsync, "SIZE " + FHostFileName, {213}, nullptr);
}

void TCustomFtpCli::TypeSetAsync() {
    FLastStep = ftpFctTypeSet;
    ExecAsync(ftpTypeSetAsync, std::string("TYPE ") + FTypeCode, {200}, nullptr);
}

void TCustomFtpCli::TypeBinaryAsync() {
    SetBinary(true);
    TypeSetAsync();
}

void TCustomFtpCli::TypeAsciiAsync() {
    SetBinary(false);
    TypeSetAsync();
}

void TCustomFtpCli::MkdAsync() {
    FLastStep = ftpFctMkd;
    ExecAsync(ftpMkdAsync, "MKD " + FHostFileName, {250, 257}, nullptr);
}

void TCustomFtpCli::RmdAsync() {
    FLastStep = ftpFctRmd;
    ExecAsync(ftpRmdAsync, "RMD " + FHostFileName, {250, 257}, nullptr);
}

void TCustomFtpCli::DeleAsync() {
    FLastStep = ftpFctDele;
    ExecAsync(ftpDeleAsync, "DELE " + FHostFileName, {250, 257}, nullptr);
}

void TCustomFtpCli::PwdAsync() {
    FLastStep = ftpFctPwd;
    ExecAsync(ftpPwdAsync, "PWD", {250, 257}, nullptr);
}

void TCustomFtpCli::CDupAsync() {
    FLastStep = ftpFctCDup;
    ExecAsync(ftpCDupAsync, "CDUP", {250, 257}, nullptr);
}

void TCustomFtpCli::RenFromAsync() {
    FLastStep = ftpFctRenFrom;
    ExecAsync(ftpRenFromAsync, "RNFR " + FHostFileName, {350}, nullptr);
}

void TCustomFtpCli::RenToAsync() {
    FLastStep = ftpFctRenTo;
    ExecAsync(ftpRenToAsync, "RNTO " + FLocalFileName, {200, 250, 257}, nullptr);
}

void TCustomFtpCli::QuoteAsync() {
    FLastStep = ftpFctQuote;
    ExecAsync(ftpQuoteAsync, FLocalFileName, {0}, nullptr);
}

void TCustomFtpCli::AbortXferAsync() {
    FLastStep = ftpFctAbortXfer;
    ExecAsync(ftpAbortXferAsync, "ABOR", {0}, nullptr);
}

void TCustomFtpCli::QuitAsync() {
    DestroyLocalStream();
    FLastStep = ftpFctQuit;
    ExecAsync(ftpQuitAsync, "QUIT", {221}, &TCustomFtpCli::DoneQuitAsync);
}

// REST is accepted right after a passive PORT step too (state ftpPasvReady), so that the
// restart sequences work in passive mode; the PASV reply stays kept for the transfer.
void TCustomFtpCli::RestAsync() {
    FLastStep = ftpFctRest;
    if (FRequestType != ftpRestPutAsync && FRequestType != ftpRestartPutAsync &&
        !FOptions.testFlag(ftpNoAutoResumeAt))
        FResumeAt = LocalFileSize(FLocalFileName);
    if (FResumeAt <= 0) {
        FDoneReported = false;
        FNext = &TCustomFtpCli::NextExecAsync;
        FDoneStep = nullptr;
        TriggerRequestDone(0);
        return;
    }
    FRestInPasvReady = FState == ftpPasvReady;
    ExecAsyncImpl(ftpRestAsync, "REST " + std::to_string(FResumeAt), {0},
                  &TCustomFtpCli::DoneRestAsync, true);
}

// After a REST that followed PASV the component is back in ftpPasvReady: the transfer that
// comes next still has its data connection to make.
void TCustomFtpCli::DoneRestAsync() {
    if (FRestInPasvReady && FRequestResult == 0) StateChange(ftpPasvReady);
    FRestInPasvReady = false;
    TriggerRequestDone(static_cast<quint16>(FRequestResult));
}

// ---------------------------------------------------------------------------------------
// High-level sequences

void TCustomFtpCli::HighLevelAsync(TFtpRequest RqType, TFtpFctSet Fcts) {
    if (FConnectedFlag && Fcts.Contains(ftpFctOpen)) {
        HandleError("FTP component already connected");
        return;
    }
    if (!CheckReady()) return;
    FSavedResponse = FLastResponse;
    FSavedStatusCode = -1;
    FRequestType = RqType;
    FRequestResult = 0;
    FStepsLeft = Fcts;
    FLastStep = ftpFctNone;
    FSequenceResult = 0;
    FInSequence = true;
    FLastResponse.clear();
    FErrorMessage.clear();
    FSequenceNext = nullptr;
    const int Before = FUsageErrors;
    try {
        DoHighLevelAsync();
    } catch (...) {
        // The first step refused to start: no request is running.
        FInSequence = false;
        FSequenceNext = nullptr;
        throw;
    }
    if (FUsageErrors != Before && FInSequence &&
        (FState == ftpReady || FState == ftpInternalReady)) {
        FInSequence = false;
        FSequenceNext = nullptr;
    }
}

void TCustomFtpCli::DoHighLevelAsync() {
    if (FState == ftpAbort) {
        FStepsLeft = TFtpFctSet();
        FSequenceResult = 426;
        FErrorMessage = "426 Operation aborted.";
    }
    FSequenceNext = &TCustomFtpCli::DoHighLevelAsync;
    ExtractMoreResults();
    const TFtpFct Previous = FLastStep;
    const auto Take = [this](TFtpFct F) {
        if (!FStepsLeft.Contains(F)) return false;
        FStepsLeft.Exclude(F);
        FLastStep = F;
        return true;
    };

    if (Take(ftpFctOpen)) return OpenAsync();
    if (Take(ftpFctUser)) return UserAsync();
    if (FStepsLeft.Contains(ftpFctPass)) {
        FStepsLeft.Exclude(ftpFctPass);
        if (!(Previous == ftpFctUser && FStatusCode != 331)) {
            FLastStep = ftpFctPass;
            return PassAsync();
        }
    }
    if (FStepsLeft.Contains(ftpFctCwd)) {
        FStepsLeft.Exclude(ftpFctCwd);
        if (!FHostDirName.empty()) {
            FLastStep = ftpFctCwd;
            return CwdAsync();
        }
    }
    if (Take(ftpFctCDup)) return CDupAsync();
    if (Take(ftpFctTypeSet)) return TypeSetAsync();
    if (Take(ftpFctPort)) return PortAsync();
    if (Take(ftpFctRest)) return RestAsync();
    if (Take(ftpFctGet)) {
        if (!(Previous == ftpFctRest && FResumeAt >= 0 && FStatusCode == 350)) FResumeAt = 0;
        return ExecGetAsync();
    }
    if (Take(ftpFctPut)) return ExecPutAsync();
    if (Take(ftpFctAppend)) return ExecAppendAsync();
    if (Take(ftpFctDir)) return ExecDirAsync();
    if (Take(ftpFctLs)) return ExecLsAsync();
    if (Take(ftpFctSyst)) return SystAsync();
    if (Take(ftpFctMkd)) return MkdAsync();
    if (Take(ftpFctRmd)) return RmdAsync();
    if (Take(ftpFctRenFrom)) return RenFromAsync();
    if (Take(ftpFctRenTo)) return RenToAsync();
    if (Take(ftpFctSize)) return SizeAsync();
    if (Take(ftpFctDele)) return DeleAsync();
    if (Take(ftpFctPwd)) return PwdAsync();
    if (Take(ftpFctAbortXfer)) return AbortXferAsync();
    if (Take(ftpFctQuote)) return QuoteAsync();
    if (Take(ftpFctQuit)) {
        FSavedResponse = FLastResponse;
        FSavedStatusCode = FStatusCode;
        return QuitAsync();
    }
    FStepsLeft = TFtpFctSet();
    FSequenceNext = nullptr;
    FDoneReported = false;
    TriggerRequestDone(static_cast<quint16>(FSequenceResult));
}

void TCustomFtpCli::ConnectAsync() {
    HighLevelAsync(ftpConnectAsync, {ftpFctOpen, ftpFctUser, ftpFctPass});
}

void TCustomFtpCli::ReceiveAsync() {
    HighLevelAsync(ftpReceiveAsync, {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctTypeSet,
                                     ftpFctPort, ftpFctGet, ftpFctQuit});
}

void TCustomFtpCli::GetAsync() {
    HighLevelAsync(ftpGetAsync, {ftpFctPort, ftpFctGet});
}

void TCustomFtpCli::RestGetAsync() {
    HighLevelAsync(ftpRestGetAsync, {ftpFctPort, ftpFctRest, ftpFctGet});
}

void TCustomFtpCli::RestartGetAsync() {
    HighLevelAsync(ftpRestartGetAsync,
                   {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctTypeSet, ftpFctPort,
                    ftpFctRest, ftpFctGet, ftpFctQuit});
}

void TCustomFtpCli::PutAsync() {
    HighLevelAsync(ftpPutAsync, {ftpFctPort, ftpFctPut});
}

void TCustomFtpCli::RestPutAsync() {
    HighLevelAsync(ftpRestPutAsync, {ftpFctPort, ftpFctRest, ftpFctPut});
}

void TCustomFtpCli::RestartPutAsync() {
    HighLevelAsync(ftpRestartPutAsync,
                   {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctTypeSet, ftpFctPort,
                    ftpFctRest, ftpFctPut, ftpFctQuit});
}

void TCustomFtpCli::TransmitAsync() {
    HighLevelAsync(ftpTransmitAsync, {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctTypeSet,
                                      ftpFctPort, ftpFctPut, ftpFctQuit});
}

void TCustomFtpCli::AppendAsync() {
    HighLevelAsync(ftpAppendAsync, {ftpFctPort, ftpFctAppend});
}

void TCustomFtpCli::AppendFileAsync() {
    HighLevelAsync(ftpTransmitAsync, {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctTypeSet,
                                      ftpFctPort, ftpFctAppend, ftpFctQuit});
}

void TCustomFtpCli::DirAsync() {
    HighLevelAsync(ftpDirAsync, {ftpFctPort, ftpFctDir});
}

void TCustomFtpCli::DirectoryAsync() {
    HighLevelAsync(ftpDirectoryAsync, {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctPort,
                                       ftpFctDir, ftpFctQuit});
}

void TCustomFtpCli::LsAsync() {
    HighLevelAsync(ftpLsAsync, {ftpFctPort, ftpFctLs});
}

void TCustomFtpCli::ListAsync() {
    HighLevelAsync(ftpListAsync, {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctPort,
                                  ftpFctLs, ftpFctQuit});
}

void TCustomFtpCli::SystemAsync() {
    HighLevelAsync(ftpSystemAsync, {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctSyst, ftpFctQuit});
}

void TCustomFtpCli::FileSizeAsync() {
    HighLevelAsync(ftpSizeAsync,
                   {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctSize, ftpFctQuit});
}

void TCustomFtpCli::DeleteAsync() {
    HighLevelAsync(ftpDeleteAsync,
                   {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctDele, ftpFctQuit});
}

void TCustomFtpCli::MkdirAsync() {
    HighLevelAsync(ftpMkdirAsync,
                   {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctMkd, ftpFctQuit});
}

void TCustomFtpCli::RmdirAsync() {
    HighLevelAsync(ftpRmdirAsync,
                   {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctRmd, ftpFctQuit});
}

void TCustomFtpCli::DoQuoteAsync() {
    HighLevelAsync(ftpDoQuoteAsync,
                   {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctQuote, ftpFctQuit});
}

void TCustomFtpCli::RenameAsync() {
    HighLevelAsync(ftpRenameAsync, {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctRenFrom,
                                    ftpFctRenTo, ftpFctQuit});
}

void TCustomFtpCli::RenAsync() {
    HighLevelAsync(ftpRenAsync, {ftpFctRenFrom, ftpFctRenTo});
}

// ---------------------------------------------------------------------------------------
// Data connection

void TCustomFtpCli::PortAsync() {
    // The checks of ExecAsync come first here, so that a refused PORT leaves no listener.
    if (!CheckReady()) return;
    if (!FConnectedFlag) {
        HandleError("FTP component not connected");
        return;
    }
    FEndOfUploadTimer.stop();
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    FDataSocket->SetProto("tcp");
    FDataSocket->SetAddr("0.0.0.0");
    FDataSocket->SetRemotePort("0");
    FDataSocket->OnSessionClosed = nullptr;
    FDataSocket->OnDataAvailable = nullptr;
    FDataSocket->OnDataSent = nullptr;
    // Some servers connect as soon as they get PORT, before the transfer command is sent.
    // The socket announces a waiting connection only once, so it is remembered here and
    // taken up by the transfer routine.
    FAcceptPending = false;
    FDataSocket->OnSessionAvailable = [this](QObject*, quint16) { FAcceptPending = true; };

    quint16 DataPort = 0;
    if (!FPassive) {
        FDataSocket->SetLingerOnOff(wsLingerOn);
        FDataSocket->SetLingerTimeout(10);
        FDataSocket->Listen();
        sockaddr_in Sin{};
        int Len = sizeof(Sin);
        if (FDataSocket->GetSockName(Sin, Len) == 0) DataPort = WSocket_ntohs(Sin.sin_port);
    }
    sockaddr_in Local{};
    int LocalLen = sizeof(Local);
    FControlSocket->GetSockName(Local, LocalLen);
    const quint32 A = WSocket_ntohl(Local.sin_addr.s_addr);

    char Cmd[64];
    if (FPassive)
        std::snprintf(Cmd, sizeof(Cmd), "PASV");
    else if (FControlSocket->Addr() == "127.0.0.1")
        std::snprintf(Cmd, sizeof(Cmd), "PORT 127,0,0,1,%d,%d", DataPort >> 8, DataPort & 0xff);
    else
        std::snprintf(Cmd, sizeof(Cmd), "PORT %u,%u,%u,%u,%d,%d", (A >> 24) & 0xff,
                      (A >> 16) & 0xff, (A >> 8) & 0xff, A & 0xff, DataPort >> 8, DataPort & 0xff);
    FByteCount = 0;
    FLastStep = ftpFctPort;
    ExecAsync(ftpPortAsync, Cmd, {200, 227}, nullptr);
}

bool TCustomFtpCli::ParsePasvReply(std::string& Addr, quint16& DataPort) const {
    const std::size_t Open = FPasvReply.find('(');
    if (Open == std::string::npos) return false;
    const std::size_t Close = FPasvReply.find(')', Open);
    if (Close == std::string::npos) return false;
    const std::string Inner = FPasvReply.substr(Open + 1, Close - Open - 1);
    int Numbers[6];
    int Count = 0;
    std::size_t P = 0;
    while (Count < 6) {
        while (P < Inner.size() && Inner[P] == ' ')
            ++P;
        const std::size_t Start = P;
        int Value = 0;
        while (P < Inner.size() && IsDigit(Inner[P]) && P - Start < 3)
            Value = Value * 10 + (Inner[P++] - '0');
        if (P == Start || Value > 255) return false;
        while (P < Inner.size() && Inner[P] == ' ')
            ++P;
        Numbers[Count++] = Value;
        if (Count < 6) {
            if (P >= Inner.size() || Inner[P] != ',') return false;
            ++P;
        }
    }
    if (P != Inner.size()) return false;
    Addr = std::to_string(Numbers[0]) + "." + std::to_string(Numbers[1]) + "." +
           std::to_string(Numbers[2]) + "." + std::to_string(Numbers[3]);
    DataPort = static_cast<quint16>(Numbers[4] * 256 + Numbers[5]);
    return true;
}

// Returns having started the connect, or having ended the request with an error.
void TCustomFtpCli::ConnectPassiveData(bool Upload) {
    const int Code = Upload ? 426 : 550;
    std::string Addr;
    quint16 DataPort = 0;
    if (!ParsePasvReply(Addr, DataPort)) {
        TriggerDisplay("! Invalid passive mode reply");
        DestroyLocalStream();
        FailRequest(Code, std::to_string(Code) + " Invalid passive mode reply: " + FPasvReply,
                    true);
        return;
    }
    try {
        FDataSocket->SetAddr(Addr);
        FDataSocket->SetRemotePort(std::to_string(DataPort));
        FDataSocket->SetLocalAddr(FLocalAddr);
        FDataSocket->SetLingerOnOff(wsLingerOff);
        FDataSocket->SetLingerTimeout(0);
        FDataSocket->SetComponentOptions(FDataSocket->ComponentOptions().Include(wsoNoReceiveLoop));
        if (Upload)
            FDataSocket->OnSessionConnected = [this](QObject*, quint16 E) {
                DataSocketPutSessionConnected(E);
            };
        else
            FDataSocket->OnSessionConnected = [this](QObject*, quint16 E) {
                DataSocketGetSessionConnected(E);
            };
        ApplySocks(*FDataSocket);
        FDataSocket->Connect();
    } catch (const std::exception& E) {
        DestroyLocalStream();
        FailRequest(Code, std::to_string(Code) + " " + ExceptionClassName(E) + ": " + E.what(),
                    true);
    }
}

void TCustomFtpCli::OpenLocalStream(bool ForWrite) {
    if (ForWrite) {
        if (FResumeAt > 0) {
            if (!FExternalStream) {
                FOwnedStream = OpenShared(
                    FLocalFileName, QIODevice::ReadWrite | QIODevice::ExistingOnly, FShareFlag);
                FLocalStream = FOwnedStream.get();
            }
            if (!FLocalStream || !FLocalStream->seek(FResumeAt))
                throw std::runtime_error("seek failed");
        } else if (!FExternalStream) {
            FOwnedStream =
                OpenShared(FLocalFileName, QIODevice::WriteOnly | QIODevice::Truncate, 0);
            if (FShareFlag != 0) {
                FOwnedStream.reset();
                FOwnedStream = OpenShared(FLocalFileName, QIODevice::WriteOnly, FShareFlag);
            }
            FLocalStream = FOwnedStream.get();
        }
        return;
    }
    if (!FExternalStream) {
        FOwnedStream = OpenShared(FLocalFileName, QIODevice::ReadOnly, FShareFlag);
        FLocalStream = FOwnedStream.get();
    }
    FEndOfFile = false;
    if (FResumeAt > 0 && (!FLocalStream || !FLocalStream->seek(FResumeAt)))
        throw std::runtime_error("seek failed");
}

void TCustomFtpCli::ExecGetAsync() {
    DoGetAsync(ftpGetAsync);
}
void TCustomFtpCli::ExecDirAsync() {
    DoGetAsync(ftpDirAsync);
}
void TCustomFtpCli::ExecLsAsync() {
    DoGetAsync(ftpLsAsync);
}

void TCustomFtpCli::DoGetAsync(TFtpRequest RqType) {
    if (!FConnectedFlag) {
        HandleError(FTransferVerb + ": not connected");
        return;
    }
    if (FLocalFileName.empty() && !FDisplayFileFlag && !FExternalStream) {
        HandleError("LocalFileName empty");
        return;
    }
    if (!FInSequence) FRequestType = RqType;
    switch (RqType) {
    case ftpDirAsync:
        FTransferVerb = "LIST";
        break;
    case ftpLsAsync:
        FTransferVerb = "NLST";
        break;
    case ftpGetAsync:
        FTransferVerb = "RETR";
        break;
    default:
        break;
    }
    FServerDone = false;
    FGetClosed = false;
    FDoneReported = false;
    FByteCount = 0;
    FDataError = 0;
    FLocalTransferError.clear();
    FDataSocket->OnSessionAvailable = [this](QObject*, quint16 E) {
        DataSocketGetSessionAvailable(E);
    };
    const std::string Cmd =
        FHostFileName.empty() ? FTransferVerb : FTransferVerb + " " + FHostFileName;
    // Refused before the local file is touched.
    if (!CommandTextSafe(Cmd)) return;

    if (!FDisplayFileFlag) {
        DestroyLocalStream();
        try {
            OpenLocalStream(true);
        } catch (const std::exception&) {
            DestroyLocalStream();
            FailRequest(550, "Unable to open local file " + FLocalFileName, true);
            return;
        }
    }
    if (FPassive) {
        ConnectPassiveData(false);
        if (FDoneReported) return;
    }
    StateChange(ftpWaitingResponse);
    FNext = &TCustomFtpCli::Next1GetAsync;
    SendCommand(Cmd);
    if (!FPassive && FAcceptPending) {
        FAcceptPending = false;
        DataSocketGetSessionAvailable(0);
    }
}

void TCustomFtpCli::DataSocketGetSessionConnected(quint16 Error) {
    FDataSocket->OnSessionClosed = [this](QObject*, quint16 E) { DataSocketGetSessionClosed(E); };
    FDataSocket->OnDataAvailable = [this](QObject*, quint16 E) { DataSocketGetDataAvailable(E); };
    FDataSocket->OnDataSent = nullptr;
    FStartTick = FtpTickCount();
    if (Error != 0) {
        DestroyLocalStream();
        FailRequest(550, "Unable to establish data connection, error #" + std::to_string(Error),
                    true);
    }
}

void TCustomFtpCli::DataSocketGetSessionAvailable(quint16) {
    const TSocket NewSocket = FDataSocket->Accept();
    FDataSocket->Close();
    FDataSocket->OnSessionClosed = [this](QObject*, quint16 E) { DataSocketGetSessionClosed(E); };
    FDataSocket->OnDataAvailable = [this](QObject*, quint16 E) { DataSocketGetDataAvailable(E); };
    FDataSocket->OnDataSent = nullptr;
    FDataSocket->Dup(NewSocket);
    FDataSocket->SetComponentOptions(FDataSocket->ComponentOptions().Include(wsoNoReceiveLoop));
    FStartTick = FtpTickCount();
}

void TCustomFtpCli::DataSocketGetDataAvailable(quint16) {
    if (!Progress()) return;
    // The progress handler may have aborted everything meanwhile.
    if (FDataSocket->State() != wsConnected) return;
    char Buffer[4096];
    const int Len = FDataSocket->Receive(Buffer, sizeof(Buffer));
    if (Len < 0) {
        if (FDataSocket->State() == wsConnected && FDataSocket->LastError() != WSAEWOULDBLOCK) {
            FLocalTransferError = "Data: Receive error " + std::to_string(FDataSocket->LastError());
            TriggerDisplay("! " + FLocalTransferError);
            FDataSocket->Shutdown(2);
        }
        return;
    }
    if (Len == 0) return;
    FByteCount += Len;
    if (FLocalStream) {
        if (FLocalStream->write(Buffer, Len) != Len) {
            FLocalTransferError = "Error writing local file";
            TriggerDisplay("! Error writing local file");
            FDataSocket->Shutdown(2);
            return;
        }
    }
    if (!FDisplayFileFlag) return;
    if (FDisplayFileMode == ftpBinary) {
        TriggerDisplayFile(std::string(Buffer, static_cast<std::size_t>(Len)));
        return;
    }
    const auto IsEol = [](char C) { return C == '\r' || C == '\n'; };
    int I = 0;
    if (IsEol(Buffer[0])) {
        TriggerDisplayFile(std::string());
        while (I < Len && IsEol(Buffer[I]))
            ++I;
    }
    while (I < Len) {
        const int Start = I;
        while (I < Len && !IsEol(Buffer[I]))
            ++I;
        TriggerDisplayFile(std::string(Buffer + Start, static_cast<std::size_t>(I - Start)));
        while (I < Len && IsEol(Buffer[I]))
            ++I;
    }
}

void TCustomFtpCli::DataSocketGetSessionClosed(quint16 Error) {
    DestroyLocalStream();
    FGetClosed = true;
    FDataError = Error;
    Next3GetAsync();
}

void TCustomFtpCli::Next1GetAsync() {
    DisplayLastResponse();
    int Code = 0;
    if (!IsFinalReplyLine(Code)) return;
    FStatusCode = Code;
    if (Code / 10 == 15 || Code == 125) {
        FNext = &TCustomFtpCli::Next2GetAsync;
        return;
    }
    SetErrorMessage();
    FNext = nullptr;
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    DestroyLocalStream();
    FResumeAt = 0;
    FRequestResult = Code;
    TriggerRequestDone(static_cast<quint16>(Code));
}

void TCustomFtpCli::Next2GetAsync() {
    DisplayLastResponse();
    int Code = 0;
    if (!IsFinalReplyLine(Code)) return;
    FStatusCode = Code;
    if (Code == 125 || Code == 226 || Code == 250) {
        FServerDone = true;
        Next3GetAsync();
        return;
    }
    SetErrorMessage();
    DestroyLocalStream();
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    TriggerDisplay("! RETR/LIST/NLST Failed");
    FRequestResult = Code;
    TriggerRequestDone(static_cast<quint16>(Code));
}

void TCustomFtpCli::Next3GetAsync() {
    if (!FServerDone || !FGetClosed || FDoneReported) return;
    TransfertStats();
    FResumeAt = 0;
    FinishTransfer();
}

// The end of a transfer once both the final reply and the close are in. A transfer cut short
// on this side (user abort, local file or socket error) is a failure even when the server,
// which only saw the data connection close, calls it complete.
void TCustomFtpCli::FinishTransfer() {
    if (!FLocalTransferError.empty()) {
        FLastResponse = "426 " + FLocalTransferError;
        FStatusCode = 426;
        FErrorMessage = FLastResponse;
        FRequestResult = 426;
        TriggerRequestDone(426);
        return;
    }
    FRequestResult = FDataError;
    TriggerRequestDone(FDataError);
}

void TCustomFtpCli::ExecPutAsync() {
    FAppendMode = false;
    FRequestType = ftpPutAsync;
    DoPutAppendAsync();
}

void TCustomFtpCli::ExecAppendAsync() {
    FAppendMode = true;
    FRequestType = ftpAppendAsync;
    DoPutAppendAsync();
}

std::string TCustomFtpCli::PutCommand() const {
    return (FAppendMode ? "APPE " : "STOR ") + FHostFileName;
}

void TCustomFtpCli::DoPutAppendAsync() {
    if (!FConnectedFlag) {
        HandleError("STOR/APPE: not connected");
        return;
    }
    if (!FExternalStream && FLocalFileName.empty()) {
        HandleError("LocalFileName empty");
        return;
    }
    FServerDone = false;
    FPutClosed = false;
    FDoneReported = false;
    FPutConnected = false;
    FStorAccepted = false;
    FSendPending = false;
    FStartTick = 0;
    FByteCount = 0;
    FDataError = 0;
    FLocalTransferError.clear();

    bool Cancel = false;
    TriggerReadyToTransmit(Cancel);
    if (Cancel) {
        FErrorMessage = "426 Transmit cancelled by application";
        FStatusCode = 426;
        TriggerDisplay("! " + FErrorMessage);
        FRequestResult = 426;
        TriggerRequestDone(426);
        return;
    }
    FDataSocket->OnSessionAvailable = [this](QObject*, quint16 E) {
        DataSocketPutSessionAvailable(E);
    };
    if (!CommandTextSafe(PutCommand())) return;

    DestroyLocalStream();
    try {
        OpenLocalStream(false);
    } catch (const std::exception&) {
        DestroyLocalStream();
        FErrorMessage = "426 Unable to open local file " + FLocalFileName;
        FStatusCode = 426;
        TriggerDisplay("! " + FErrorMessage);
        if (FDataSocket->State() != wsClosed) FDataSocket->Close();
        FRequestResult = 426;
        TriggerRequestDone(426);
        return;
    }
    if (FPassive) {
        ConnectPassiveData(true);
        return;
    }
    StateChange(ftpWaitingResponse);
    FNext = &TCustomFtpCli::Next1PutAsync;
    SendCommand(PutCommand());
    if (FAcceptPending) {
        FAcceptPending = false;
        DataSocketPutSessionAvailable(0);
    }
}

void TCustomFtpCli::DataSocketPutSessionConnected(quint16 Error) {
    FDataSocket->OnSessionClosed = [this](QObject*, quint16 E) { DataSocketPutSessionClosed(E); };
    FDataSocket->OnDataAvailable = nullptr;
    FDataSocket->OnDataSent = nullptr;
    FPutConnected = true;
    FStartTick = FtpTickCount();
    if (Error == 0)
        if (Error != 0) {
            DestroyLocalStream();
            FailRequest(550, "Unable to establish data connection, error #" + std::to_string(Error),
                        true);
            return;
        }
    StateChange(ftpWaitingResponse);
    FNext = &TCustomFtpCli::Next1PutAsync;
    SendCommand(PutCommand());
}

void TCustomFtpCli::DataSocketPutSessionAvailable(quint16) {
    const TSocket NewSocket = FDataSocket->Accept();
    FDataSocket->Close();
    FDataSocket->OnSessionClosed = [this](QObject*, quint16 E) { DataSocketPutSessionClosed(E); };
    FDataSocket->OnDataAvailable = [this](QObject*, quint16 E) { DataSocketPutDataAvailable(E); };
    FDataSocket->OnDataSent = [this](QObject*, quint16 E) { DataSocketPutDataSent(E); };
    // Linger off before the socket is taken over, which applies it: a lingering close with a
    // zero time-out would reset the connection and drop the tail of the file.
    FDataSocket->SetLingerOnOff(wsLingerOff);
    FDataSocket->SetLingerTimeout(0);
    FDataSocket->Dup(NewSocket);
    FDataSocket->SetComponentOptions(FDataSocket->ComponentOptions().Include(wsoNoReceiveLoop));
    int SndBuf = 0;
    int Len = sizeof(SndBuf);
    if (WSocket_getsockopt(FDataSocket->GetSocketHandle(), WS_SOL_SOCKET, WS_SO_SNDBUF, &SndBuf,
                           &Len) != 0) {
        HandleError("winsock.getsockopt(SO_SNDBUF) failed");
        return;
    }
    FPutConnected = true;
    if (FStorAccepted && FStartTick == 0) PostMessage(FWindowHandle, WM_FTP_SENDDATA, 0, 0);
}

void TCustomFtpCli::Next1PutAsync() {
    DisplayLastResponse();
    int Code = 0;
    if (!IsFinalReplyLine(Code)) return;
    FStatusCode = Code;
    if (Code == 150 || Code == 125) {
        FStorAccepted = true;
        FNext = &TCustomFtpCli::Next2PutAsync;
        if (FPassive) {
            FDataSocket->OnDataSent = [this](QObject*, quint16 E) { DataSocketPutDataSent(E); };
            FSendPending = true;
            DataSocketPutDataSent(0);
        } else if (FPutConnected && FStartTick == 0) {
            PostMessage(FWindowHandle, WM_FTP_SENDDATA, 0, 0);
        }
        return;
    }
    SetErrorMessage();
    FNext = nullptr;
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    DestroyLocalStream();
    FResumeAt = 0;
    FRequestResult = Code;
    TriggerRequestDone(static_cast<quint16>(Code));
}

void TCustomFtpCli::WMFtpSendData(TMessage&) {
    if (FStartTick != 0) return;
    FStartTick = FtpTickCount();
    FSendPending = true;
    DataSocketPutDataSent(0);
}

// One block in flight: a block goes out only as the answer to the data-sent event of the one
// before (or as the first). Write notifications that answer no block of ours (the one every new
// connection gets) are ignored, so sending never runs twice in parallel.
void TCustomFtpCli::DataSocketPutDataSent(quint16 Error) {
    if (!FSendPending) return;
    FSendPending = false;
    if (!FLocalStream) return;
    if (!Progress()) return;
    if (Error != 0) {
        FLocalTransferError = "Error #" + std::to_string(Error) + " sending data";
        TriggerDisplay("! " + FLocalTransferError);
        FDataSocket->Close();
        return;
    }
    if (FEndOfFile || !FStorAccepted || !FPutConnected) return;
    // The progress handler may have aborted everything meanwhile.
    if (!FLocalStream || FDataSocket->State() != wsConnected) return;
    const qint64 Count = FLocalStream->read(FBlockBuffer, sizeof(FBlockBuffer));
    if (Count < 0) {
        FLocalTransferError = "Error reading file";
        TriggerDisplay("! Error reading file");
        FDataSocket->Close();
        return;
    }
    if (Count == 0) {
        FEndOfFile = true;
        FEndOfUploadTimer.start(100);
        return;
    }
    FByteCount += Count;
    FSendPending = true;
    FDataSocket->Send(FBlockBuffer, static_cast<int>(Count));
}

void TCustomFtpCli::EndOfUploadTimeout() {
    if (FDataSocket && FDataSocket->State() != wsClosed) FDataSocket->CloseDelayed();
}

void TCustomFtpCli::DataSocketPutDataAvailable(quint16) {
    char Scratch[2048];
    FDataSocket->Receive(Scratch, sizeof(Scratch));
}

void TCustomFtpCli::DataSocketPutSessionClosed(quint16 Error) {
    DestroyLocalStream();
    FEndOfUploadTimer.stop();
    FPutClosed = true;
    FDataError = Error;
    Next3PutAsync();
}

void TCustomFtpCli::Next2PutAsync() {
    DisplayLastResponse();
    int Code = 0;
    if (!IsFinalReplyLine(Code)) return;
    FStatusCode = Code;
    if (Code == 226 || Code == 250) {
        FServerDone = true;
        Next3PutAsync();
        return;
    }
    SetErrorMessage();
    DestroyLocalStream();
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    TriggerDisplay("! STOR Failed");
    FRequestResult = Code;
    TriggerRequestDone(static_cast<quint16>(Code));
}

void TCustomFtpCli::Next3PutAsync() {
    if (!FServerDone || !FPutClosed || FDoneReported) return;
    TransfertStats();
    FResumeAt = 0;
    FinishTransfer();
}

bool TCustomFtpCli::Progress() {
    bool Abort = false;
    if (OnProgress) OnProgress(this, FByteCount + FResumeAt, Abort);
    if (Abort) {
        TriggerDisplay("! Abort requested");
        FLocalTransferError = "Transfer aborted by user.";
        if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    }
    return !Abort;
}

void TCustomFtpCli::TransfertStats() {
    FStopTick = FtpTickCount();
    const qint64 Elapsed = FStopTick - FStartTick;
    std::string Text = std::to_string(FByteCount) + " bytes received/sent in " +
                       std::to_string(Elapsed / 1000) + " seconds";
    if (Elapsed != 0) {
        const qint64 Rate =
            FByteCount < 32768 ? FByteCount * 1000 / Elapsed : (FByteCount / Elapsed) * 1000;
        Text += " (" + std::to_string(Rate) + " Bytes/sec)";
    }
    TriggerDisplay("! " + Text);
}
