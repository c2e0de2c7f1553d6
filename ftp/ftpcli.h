#pragma once
// TCustomFtpCli: an event-driven FTP client over two owned sockets (control and data).
// Every operation starts a request and returns at once; the outcome arrives through socket
// events and, in the end, a request-done notification posted to the component's own
// hidden window.

#include "ftp/ftp_reply_reader.h"
#include "ftp/ftpcli_upload_state.h"
#include "ftp/transferclient.h"
#include "net/wsocket.h"

#include <QFlags>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

class QFile;

class FtpException : public std::runtime_error {
public:
    explicit FtpException(const std::string& Msg) : std::runtime_error(Msg) {}
    std::string Message() const { return what(); }
};

enum TFtpState {
    ftpNotConnected,
    ftpReady,
    ftpInternalReady,
    ftpDnsLookup,
    ftpConnected,
    ftpAbort,
    ftpInternalAbort,
    ftpWaitingBanner,
    ftpWaitingResponse,
    ftpPasvReady
};

enum TFtpRequest {
    ftpNone,
    ftpOpenAsync,
    ftpUserAsync,
    ftpPassAsync,
    ftpCwdAsync,
    ftpConnectAsync,
    ftpReceiveAsync,
    ftpDirAsync,
    ftpLsAsync,
    ftpPortAsync,
    ftpGetAsync,
    ftpDirectoryAsync,
    ftpListAsync,
    ftpSystemAsync,
    ftpSystAsync,
    ftpQuitAsync,
    ftpAbortXferAsync,
    ftpSizeAsync,
    ftpPutAsync,
    ftpAppendAsync,
    ftpFileSizeAsync,
    ftpRqAbort,
    ftpMkdAsync,
    ftpRmdAsync,
    ftpRenameAsync,
    ftpDeleAsync,
    ftpRenAsync,
    ftpRenToAsync,
    ftpRenFromAsync,
    ftpDeleteAsync,
    ftpMkdirAsync,
    ftpRmdirAsync,
    ftpPwdAsync,
    ftpQuoteAsync,
    ftpCDupAsync,
    ftpDoQuoteAsync,
    ftpTransmitAsync,
    ftpTypeSetAsync,
    ftpRestAsync,
    ftpRestGetAsync,
    ftpRestartGetAsync,
    ftpRestPutAsync,
    ftpRestartPutAsync,
    ftpUploadAsync
};

enum TFtpFct {
    ftpFctNone,
    ftpFctOpen,
    ftpFctUser,
    ftpFctPass,
    ftpFctCwd,
    ftpFctSize,
    ftpFctMkd,
    ftpFctRmd,
    ftpFctRenFrom,
    ftpFctRenTo,
    ftpFctGet,
    ftpFctDir,
    ftpFctQuit,
    ftpFctSyst,
    ftpFctDele,
    ftpFctPwd,
    ftpFctQuote,
    ftpFctPut,
    ftpFctTypeSet,
    ftpFctRest,
    ftpFctCDup,
    ftpFctLs,
    ftpFctAppend,
    ftpFctPort,
    ftpFctAbortXfer,
    ftpFctProt // PBSZ 0 and PROT P after the login on an encrypted control connection
};

// A set of steps, bit n for step n.
class TFtpFctSet {
public:
    constexpr TFtpFctSet() = default;
    constexpr TFtpFctSet(std::initializer_list<TFtpFct> Steps) {
        for (const TFtpFct F : Steps)
            Bits |= Bit(F);
    }
    constexpr bool Contains(TFtpFct F) const { return (Bits & Bit(F)) != 0; }
    constexpr void Exclude(TFtpFct F) { Bits &= ~Bit(F); }
    constexpr bool Empty() const { return Bits == 0; }
    constexpr std::uint32_t Value() const { return Bits; }
    constexpr bool operator==(const TFtpFctSet&) const = default;

private:
    static constexpr std::uint32_t Bit(TFtpFct F) {
        return std::uint32_t{1} << static_cast<unsigned>(F);
    }
    std::uint32_t Bits = 0;
};

enum TFtpDisplayFileMode { ftpLineByLine, ftpBinary };
enum TFtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };
enum TFtpShareMode {
    ftpShareCompat,
    ftpShareExclusive,
    ftpShareDenyWrite,
    ftpShareDenyRead,
    ftpShareDenyNone
};

enum TFtpOption { ftpAcceptLF = 0x1, ftpNoAutoResumeAt = 0x2 };

// FTP over TLS.
enum TFtpSecurity {
    ftpSecNone = 0,         // plain FTP
    ftpSecTlsIfOffered = 1, // AUTH TLS; plain FTP when the server refuses it
    ftpSecExplicit = 2,     // AUTH TLS, required
    ftpSecImplicit = 3      // TLS from the first byte
};

// A server certificate that could not be verified, for the user to judge.
struct TCertificateInfo {
    std::string Host;
    std::string Port;
    std::string Reason; // why verification failed
    std::string Subject;
    std::string Issuer;
    std::string NotBefore;
    std::string NotAfter;
    std::string Sha256; // fingerprint, upper-case hex pairs joined by ':'
};
Q_DECLARE_FLAGS(TFtpOptions, TFtpOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TFtpOptions)

// Messages of the component's hidden window.
constexpr UINT WM_FTP_REQUEST_DONE = WM_USER + 1; // 1025
constexpr UINT WM_FTP_SENDDATA = WM_USER + 2;     // 1026

using TFtpDisplay = std::function<void(QObject* Sender, std::string& Msg)>;
using TFtpCommand = std::function<void(QObject* Sender, std::string& Cmd)>;
using TFtpProgress = std::function<void(QObject* Sender, qint64 Count, bool& Abort)>;
using TFtpRequestDone = std::function<void(QObject* Sender, TFtpRequest RqType, quint16 Error)>;
using TFtpReadyToTransmit = std::function<void(QObject* Sender, bool& bCancel)>;
using TFtpError = std::function<void(QObject* Sender, const std::string& Msg)>;
using TFtpCertificateQuestion =
    std::function<void(QObject* Sender, const TCertificateInfo& Info, bool& Trust)>;

class TCustomFtpCli;
using TFtpNextProc = void (TCustomFtpCli::*)();

// Text helpers of the reply reader. Each skips blanks (space, tab, CR, LF) first.
// ReadNumber: an optional sign and decimal digits; the value and the position after them.
struct TFtpNumber {
    qint64 Value = 0;
    std::size_t Pos = 0;
};
TFtpNumber ReadNumber(const std::string& Text, std::size_t From = 0);
// ReadQuoted: the text between double quotes, a doubled quote giving one; empty without an
// opening quote; an unterminated text runs to the end.
std::string ReadQuoted(const std::string& Text, std::size_t From = 0);
// Size of a local file, -1 when there is no such file.
qint64 LocalFileSize(const std::string& FileName);

class TCustomFtpCli : public QObject {
public:
    explicit TCustomFtpCli(QObject* AOwner = nullptr);
    ~TCustomFtpCli() override;
    TCustomFtpCli(const TCustomFtpCli&) = delete;
    TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

    // Properties.
    const std::string& HostName() const { return FHostName; }
    void SetHostName(const std::string& Value) { FHostName = Value; }
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& Value) { FPort = Value; }
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& Value) { FLocalAddr = Value; }
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& Value) { FUserName = Value; }
    const std::string& PassWord() const { return FPassWord; }
    void SetPassWord(const std::string& Value) { FPassWord = Value; }
    const std::string& HostDirName() const { return FHostDirName; }
    void SetHostDirName(const std::string& Value) { FHostDirName = Value; }
    const std::string& HostFileName() const { return FHostFileName; }
    void SetHostFileName(const std::string& Value) { FHostFileName = Value; }
    const std::string& LocalFileName() const { return FLocalFileName; }
    void SetLocalFileName(const std::string& Value);
    QIODevice* LocalStream() const { return FLocalStream; }
    void SetLocalStream(QIODevice* Value);
    bool DisplayFileFlag() const { return FDisplayFileFlag; }
    void SetDisplayFileFlag(bool Value) { FDisplayFileFlag = Value; }
    TFtpDisplayFileMode DisplayFileMode() const { return FDisplayFileMode; }
    void SetDisplayFileMode(TFtpDisplayFileMode Value);
    bool Binary() const { return FTypeCode == 'I'; }
    void SetBinary(bool Value) { FTypeCode = Value ? 'I' : 'A'; }
    TFtpShareMode ShareMode() const;
    void SetShareMode(TFtpShareMode Value);
    TFtpOptions Options() const { return FOptions; }
    void SetOptions(TFtpOptions Value) { FOptions = Value; }
    TFtpConnectionType ConnectionType() const { return FConnectionType; }
    void SetConnectionType(TFtpConnectionType Value);
    const std::string& ProxyServer() const { return FProxyServer; }
    void SetProxyServer(const std::string& Value) { FProxyServer = Value; }
    const std::string& ProxyPort() const { return FProxyPort; }
    void SetProxyPort(const std::string& Value) { FProxyPort = Value; }
    const std::string& SocksServer() const { return FSocksServer; }
    void SetSocksServer(const std::string& Value);
    const std::string& SocksPort() const { return FSocksPort; }
    void SetSocksPort(const std::string& Value);
    const std::string& SocksUserCode() const { return FSocksUserCode; }
    void SetSocksUserCode(const std::string& Value);
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& Value);
    bool Passive() const { return FPassive; }
    void SetPassive(bool Value);
    TFtpSecurity Security() const { return FSecurity; }
    void SetSecurity(TFtpSecurity Value) { FSecurity = Value; }
    // SHA-256 fingerprints of certificates trusted although unverified, by "host:port". A
    // certificate found here asks nothing; trusting one through OnCertificateQuestion adds it.
    const std::map<std::string, std::string>& TrustedCertificates() const {
        return FTrustedCertificates;
    }
    void SetTrustedCertificates(std::map<std::string, std::string> Value) {
        FTrustedCertificates = std::move(Value);
    }
    // The control connection is encrypted and its certificate trusted.
    bool ControlSecured() const { return FControlTrusted; }
    const std::string& ErrorMessage() const { return FErrorMessage; }
    int StatusCode() const { return FStatusCode; }
    const std::string& LastResponse() const { return FLastResponse; }
    qint64 SizeResult() const { return FSizeResult; }
    const std::string& DirResult() const { return FDirResult; }
    const std::string& DnsResult() const { return FDnsResult; }
    TFtpRequest RequestType() const { return FRequestType; }
    TFtpState State() const { return FState; }
    bool Connected() const;
    qint64 ByteCount() const { return FByteCount; }
    qint64 ResumeAt() const { return FResumeAt; }
    void SetResumeAt(qint64 Value) { FResumeAt = Value; }
    // The result of the request being run or last run (0 = good).
    int RequestResult() const { return FRequestResult; }

    TWSocket* ControlSocket() const { return FControlSocket; }
    TWSocket* DataSocket() const { return FDataSocket; }
    HWND Handle() const { return FWindowHandle; }

    // Events.
    TFtpDisplay OnDisplay;
    TFtpDisplay OnDisplayFile;
    TFtpCommand OnCommand;
    TNotifyEvent OnResponse;
    TFtpProgress OnProgress;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TFtpRequestDone OnRequestDone;
    TNotifyEvent OnStateChange;
    TFtpReadyToTransmit OnReadyToTransmit;
    TBgExceptionEvent OnBgException;
    TFtpError OnError;
    // The server's certificate could not be verified: Trust answers whether to go on.
    TFtpCertificateQuestion OnCertificateQuestion;

    // Requests.
    virtual void OpenAsync();
    virtual void UserAsync();
    virtual void PassAsync();
    virtual void ConnectAsync();
    virtual void QuitAsync();
    virtual void AbortAsync();
    virtual void GetAsync();
    virtual void ExecGetAsync();
    virtual void ReceiveAsync();
    virtual void PutAsync();
    virtual void ExecPutAsync();
    virtual void TransmitAsync();
    virtual void AppendAsync();
    virtual void ExecAppendAsync();
    virtual void AppendFileAsync();
    virtual void ExecDirAsync();
    virtual void DirAsync();
    virtual void ExecLsAsync();
    virtual void LsAsync();
    virtual void TypeSetAsync();
    virtual void TypeBinaryAsync();
    virtual void TypeAsciiAsync();
    virtual void PwdAsync();
    virtual void CwdAsync();
    virtual void CDupAsync();
    virtual void DirectoryAsync();
    virtual void ListAsync();
    virtual void SystAsync();
    virtual void SystemAsync();
    virtual void SizeAsync();
    virtual void FileSizeAsync();
    virtual void MkdAsync();
    virtual void MkdirAsync();
    virtual void RmdAsync();
    virtual void RmdirAsync();
    virtual void DeleAsync();
    virtual void DeleteAsync();
    virtual void RenFromAsync();
    virtual void RenToAsync();
    virtual void RenAsync();
    virtual void RenameAsync();
    virtual void QuoteAsync();
    virtual void DoQuoteAsync();
    virtual void AbortXferAsync();
    virtual void RestAsync();
    virtual void RestGetAsync();
    virtual void RestartGetAsync();
    virtual void RestPutAsync();
    virtual void RestartPutAsync();
    virtual void PortAsync();
    // Puts LocalFileName on the server as HostFileName in HostDirName in one session: the
    // folder made when missing, the file stored under a temporary name and renamed onto the
    // real one, so that an old file of that name stays whole until the new one is complete.
    virtual void UploadAsync();

    // Sends one command and arranges for its reply to be judged against OkResponses
    // (at most 16 codes; {0} or an empty list: any code below 500 is good).
    void ExecAsync(TFtpRequest RqType, const std::string& Cmd,
                   std::initializer_list<int> OkResponses, TFtpNextProc DoneAsync);

    // The window procedure of the hidden window.
    virtual void WndProc(TMessage& MsgRec);

protected:
    virtual void SendCommand(std::string Cmd);
    virtual void TriggerDisplay(std::string Msg);
    virtual void TriggerReadyToTransmit(bool& bCancel);
    virtual void TriggerDisplayFile(std::string Msg);
    virtual void TriggerError(const std::string& Msg);
    virtual bool Progress();
    virtual void TransfertStats();
    virtual void FtpCliAllocateHWnd();
    virtual void FtpCliDeallocateHWnd();
    virtual void HandleBackGroundException(const std::exception& E);
    virtual void TriggerRequestDone(quint16 Error);
    // Asks OnCertificateQuestion; no handler means no trust.
    virtual void TriggerCertificateQuestion(const TCertificateInfo& Info, bool& Trust);

    void HandleError(const std::string& Msg);
    bool CheckReady();
    void SetErrorMessage();
    void StateChange(TFtpState NewState);
    void TriggerStateChange();
    void DisplayLastResponse();
    void DestroyLocalStream();
    void HighLevelAsync(TFtpRequest RqType, TFtpFctSet Fcts);
    void DoHighLevelAsync();
    void ExtractMoreResults();
    // The upload is sending its file: an abort now lets it remove what it stored.
    bool UploadSending() const;
    // Cuts the upload's transfer short; the upload then removes its temporary file and ends
    // as aborted.
    void AbortUploadTransfer();
    // The user refused the server's certificate during the running or last request.
    bool CertificateRefused() const { return FCertificateRefused; }
    // How far the running or last upload sequence got.
    TUploadStage UploadReached() const { return FUpload.Reached; }
    // Counts the usage errors reported so far (the blocking wrapper compares before/after).
    int UsageErrorCount() const { return FUsageErrors; }
    // The outcome of a wait that gave up: "426 Timeout".
    void SetTimeoutError() {
        FErrorMessage = "426 Timeout";
        FStatusCode = 426;
    }

    // Reply evaluation and transfer handlers, used as FNext / FDoneStep.
    void NextExecAsync();
    void DoneQuitAsync();
    void DoneRestAsync();
    void Next1GetAsync();
    void Next2GetAsync();
    void Next3GetAsync();
    void Next1PutAsync();
    void Next2PutAsync();
    void Next3PutAsync();

    qint64 FByteCount = 0;
    // Counts AbortAsync calls (a wait that sees it change knows its request was aborted).
    int FAbortCount = 0;

private:
    using TUploadStep = TFtpUploadStep;

    void ControlSocketDnsLookupDone(quint16 Error);
    void ControlSocketSessionConnected(quint16 Error);
    void ControlSocketDataAvailable(quint16 Error);
    void ControlSocketSessionClosed(quint16 Error);
    void DataSocketGetSessionAvailable(quint16 Error);
    void DataSocketGetSessionConnected(quint16 Error);
    void DataSocketGetDataAvailable(quint16 Error);
    void DataSocketGetSessionClosed(quint16 Error);
    void DataSocketPutSessionAvailable(quint16 Error);
    void DataSocketPutSessionConnected(quint16 Error);
    void DataSocketPutDataAvailable(quint16 Error);
    void DataSocketPutDataSent(quint16 Error);
    void DataSocketPutSessionClosed(quint16 Error);
    void WMFtpRequestDone(TMessage& Msg);
    void WMFtpSendData(TMessage& Msg);

    // Shows a trace line through TriggerDisplay and writes it to the log.
    void Trace(const std::string& Msg);
    void ExecAsyncImpl(TFtpRequest RqType, const std::string& Cmd,
                       std::initializer_list<int> OkResponses, TFtpNextProc DoneAsync,
                       bool PasvReadyOk);
    void RunSequenceNext();
    void FinishTransfer();
    // An upload that ends before every byte of the file went out is no success.
    bool UploadIncomplete() const;
    // The upload sequence (ftpcli_upload.cpp).
    void UploadNext();
    void UploadStep(TUploadStep Step, const std::string& Cmd,
                    std::initializer_list<int> OkResponses);
    void UploadFolderLevel();
    void UploadType();
    void UploadStore();
    void UploadFail(const std::string& Why);
    void UploadCleanUp();
    void UploadEnd();
    std::string PutCommand() const;
    // The name STOR/APPE sends to: the upload's temporary name while it runs, else
    // HostFileName.
    const std::string& PutTarget() const;
    void DoGetAsync(TFtpRequest RqType);
    void DoPutAppendAsync();
    // Points DataSocket at the address of the 227 reply; false (nothing changed) when the
    // reply does not hold "(h1,h2,h3,h4,p1,p2)".
    bool ParsePasvReply(std::string& Addr, quint16& Port) const;
    void ConnectPassiveData(bool Upload);
    void FailRequest(int Code, const std::string& Response, bool CloseData);
    // A CR or LF in a command would smuggle further commands in: such commands are refused.
    bool CommandTextSafe(const std::string& Cmd);
    void OpenLocalStream(bool ForWrite);
    void ApplySocks(TWSocket& Socket);
    void EndOfUploadTimeout();
    // FTP over TLS.
    void FinishOpen(quint16 Error);
    void NextAuthTls();
    void ControlSslHandshakeDone(quint16 Error);
    void DataSslHandshakeDone(quint16 Error);
    bool TrustPeerCertificate();
    // Ends the open request with Code and Response and closes the control connection.
    void FailControl(int Code, const std::string& Response);
    void ProtectDataAsync();
    void DonePbsz();
    void DoneProt();
    // The data connection speaks TLS, resuming the control connection's session, once PROT P
    // was accepted.
    void PrepareDataTls();
    std::string HostPort() const { return FHostName + ":" + FPort; }
    bool IsFinalReplyLine(int& Code) const;

    // How far the running transfer has got. The events of each pair come in either order: an
    // upload starts sending once the server has accepted its command and the data connection
    // is up; any transfer ends once the final reply is in and the data connection has closed.
    struct TTransferProgress {
        bool ServerAccepted = false; // 150 or 125 to STOR/APPE
        bool DataConnected = false;  // the upload's data connection is up
        bool ServerDone = false;     // the final reply: 226 or 250 (also 125 for a download)
        bool DataClosed = false;     // the data connection has closed
        bool ReadyToSend() const { return ServerAccepted && DataConnected; }
        bool Complete() const { return ServerDone && DataClosed; }
    };
    // An upload keeps one block in flight: the next block is read only when the socket reports
    // the one before sent.
    enum class TSendPhase {
        Idle,          // no data-sent event is ours to answer
        BlockInFlight, // the next data-sent event answers our block (or starts the sending)
        EndOfFile,     // the file has been read to its end; the delayed close is under way
    };

    // Hidden window and settings.
    HWND FWindowHandle = 0;
    char FTypeCode = 'I';
    quint16 FShareFlag = 16;
    TFtpDisplayFileMode FDisplayFileMode = ftpLineByLine;
    TFtpConnectionType FConnectionType = ftpDirect;
    bool FAppendMode = false;
    qint64 FStartTick = 0;
    qint64 FStopTick = 0;
    int FRequestResult = 0;
    TFtpFctSet FStepsLeft;
    TFtpFct FLastStep = ftpFctNone;
    int FSequenceResult = 0;
    bool FInSequence = false;
    QIODevice* FLocalStream = nullptr;
    std::unique_ptr<QFile> FOwnedStream;
    bool FDoneReported = false;
    TFtpReplyReader FReplyReader;
    std::string FSavedResponse;
    int FSavedStatusCode = -1;
    std::string FPasvReply;
    quint16 FDataError = 0;
    std::string FTransferVerb;
    bool FConnectedFlag = false;
    char FBlockBuffer[1460] = {};
    TFtpNextProc FNext = nullptr;
    TFtpNextProc FDoneStep = nullptr;
    TFtpNextProc FSequenceNext = nullptr;
    int FOkCodes[16] = {};
    TTransferProgress FTransfer;
    bool FPassive = false;
    TSendPhase FSendPhase = TSendPhase::Idle;
    bool FExternalStream = false;
    TFtpSecurity FSecurity = ftpSecNone;
    std::map<std::string, std::string> FTrustedCertificates;
    bool FControlTrusted = false;
    bool FDataProtected = false;
    bool FCertificateRefused = false;
    // The running STOR/APPE was refused before any data moved (its command got 4xx/5xx).
    bool FPutRefused = false;
    TFtpUploadRun FUpload;
    bool FInUpload = false;

    // The control connection is being closed by us after QUIT's reply (not lost).
    bool FQuitClosing = false;
    int FUsageErrors = 0;
    std::string FLastUsageError;
    // REST was sent right after a passive PORT step.
    bool FRestInPasvReady = false;
    // A data connection arrived on the listener before the transfer routine was ready for it.
    bool FAcceptPending = false;
    // Why this side cut the running transfer short (empty: it did not).
    std::string FLocalTransferError;
    QTimer FEndOfUploadTimer;

    std::string FHostName;
    std::string FPort = "ftp";
    std::string FLocalAddr = "0.0.0.0";
    std::string FUserName;
    std::string FPassWord;
    std::string FHostDirName;
    std::string FHostFileName;
    std::string FLocalFileName;
    bool FDisplayFileFlag = false;
    TFtpOptions FOptions = ftpAcceptLF;
    std::string FProxyServer;
    std::string FProxyPort = "ftp";
    std::string FSocksServer;
    std::string FSocksPort;
    std::string FSocksUserCode;
    std::string FSocksPassword;
    std::string FErrorMessage;
    int FStatusCode = 0;
    std::string FLastResponse;
    qint64 FSizeResult = 0;
    std::string FDirResult;
    std::string FDnsResult;
    TFtpRequest FRequestType = ftpNone;
    TFtpState FState = ftpReady;
    qint64 FResumeAt = 0;

    QPointer<TWSocket> FControlSocket;
    QPointer<TWSocket> FDataSocket;
};

// A monotonic millisecond tick count (never 0).
qint64 FtpTickCount();
