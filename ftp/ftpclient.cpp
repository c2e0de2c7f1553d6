#include "ftp/ftpclient.h"

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <atomic>
#include <utility>

namespace {

std::atomic_bool GTerminated{false};

// Notices the application's quit request, which reaches the application object as an event.
class QuitWatcher : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Watched == QCoreApplication::instance() && Event->type() == QEvent::Quit)
            GTerminated = true;
        return false;
    }
};

void WatchForQuit() {
    static bool Installed = false;
    QCoreApplication* App = QCoreApplication::instance();
    if (Installed || App == nullptr) return;
    Installed = true;
    auto* Watcher = new QuitWatcher(App);
    App->installEventFilter(Watcher);
    QObject::connect(App, &QCoreApplication::aboutToQuit, [] { GTerminated = true; });
}

} // namespace

void TFtpClient::SetApplicationTerminated(bool Value) {
    GTerminated = Value;
}

bool TFtpClient::ApplicationTerminated() {
    return GTerminated || QCoreApplication::closingDown();
}

TFtpClient::TFtpClient(QObject* AOwner) : TCustomFtpCli(AOwner) {
    WatchForQuit();
}

void TFtpClient::SetMultiThreaded(bool Value) {
    FMultiThreaded = Value;
    if (ControlSocket()) ControlSocket()->SetMultiThreaded(Value);
    if (DataSocket()) DataSocket()->SetMultiThreaded(Value);
}

void TFtpClient::MessagePump() {
    if (FMultiThreaded) {
        if (ControlSocket()) ControlSocket()->ProcessMessages();
    } else {
        QCoreApplication::processEvents();
    }
}

void TFtpClient::TriggerCertificateQuestion(const TCertificateInfo& Info, bool& Trust) {
    TCustomFtpCli::TriggerCertificateQuestion(Info, Trust);
    if (FTimeout > 0) FDeadline = FtpTickCount() + static_cast<qint64>(FTimeout) * 1000;
}

bool TFtpClient::Progress() {
    const bool Result = TCustomFtpCli::Progress();
    if (FTimeout > 0) FDeadline = FtpTickCount() + static_cast<qint64>(FTimeout) * 1000;
    return Result;
}

bool TFtpClient::Synchronize(TFtpNextProc Proc) {
    const int UsageErrors = UsageErrorCount();
    // A call refused at once (from a handler, while another waits) must not disturb what the
    // waiting call is recording.
    const quint16 PriorDone = std::exchange(FDoneError, 0);
    const bool PriorTimedOut = std::exchange(FTimedOut, false);
    bool Ok = false;
    try {
        (this->*Proc)();
        // A usage error given to OnError starts nothing; there is nothing to wait for.
        if (UsageErrorCount() != UsageErrors) {
            FDoneError = PriorDone;
            FTimedOut = PriorTimedOut;
            FFailure = TTransferFailure::Refused;
            return false;
        }
        const int Aborts = FAbortCount;
        Ok = WaitUntilReady();
        if (Ok)
            FFailure = TTransferFailure::None;
        else if (FTimedOut)
            FFailure = TTransferFailure::Timeout;
        else if (FAbortCount != Aborts)
            FFailure = TTransferFailure::Aborted;
        else if (FDoneError >= 1000) // socket error codes; replies are three digits
            FFailure = TTransferFailure::NoConnection;
        else
            FFailure = TTransferFailure::Refused;
    } catch (...) {
        FFailure = TTransferFailure::Refused;
        return false;
    }
    return Ok;
}

void TFtpClient::TriggerRequestDone(quint16 Error) {
    // An upload reports the steps it recovered from too; its last report is its outcome.
    if (Error != 0 && (FDoneError == 0 || FUploading)) FDoneError = Error;
    TCustomFtpCli::TriggerRequestDone(Error);
}

// A request aborted while this wait ran (from a handler the pump called) is not a success,
// whatever its last reply said.
bool TFtpClient::WaitUntilReady() {
    FDeadline = FtpTickCount() + static_cast<qint64>(FTimeout) * 1000;
    const int Aborts = FAbortCount;
    for (;;) {
        if (State() == ftpReady || State() == ftpInternalReady)
            return RequestResult() == 0 && FAbortCount == Aborts;
        const qint64 Now = FtpTickCount();
        if (ApplicationTerminated() || (FTimeout > 0 && Now > FDeadline)) break;
        MessagePump();
        if (State() == ftpReady || State() == ftpInternalReady) continue;
        // Sleeps until an event or the deadline; the quit request is an event too.
        int Slice = 1000;
        if (FTimeout > 0)
            Slice = static_cast<int>(std::clamp<qint64>(FDeadline - FtpTickCount() + 1, 1, 1000));
        WaitForEvents(Slice);
    }
    FTimedOut = true;
    AbortAsync();
    SetTimeoutError();
    return false;
}

bool TFtpClient::Open() {
    return Synchronize(&TCustomFtpCli::OpenAsync);
}
bool TFtpClient::User() {
    return Synchronize(&TCustomFtpCli::UserAsync);
}
bool TFtpClient::Pass() {
    return Synchronize(&TCustomFtpCli::PassAsync);
}
bool TFtpClient::Connect() {
    return Synchronize(&TCustomFtpCli::ConnectAsync);
}
bool TFtpClient::Cwd() {
    return Synchronize(&TCustomFtpCli::CwdAsync);
}
bool TFtpClient::Pwd() {
    return Synchronize(&TCustomFtpCli::PwdAsync);
}
bool TFtpClient::CDup() {
    return Synchronize(&TCustomFtpCli::CDupAsync);
}
bool TFtpClient::TypeSet() {
    return Synchronize(&TCustomFtpCli::TypeSetAsync);
}
bool TFtpClient::TypeBinary() {
    SetBinary(true);
    return Synchronize(&TCustomFtpCli::TypeSetAsync);
}
bool TFtpClient::TypeAscii() {
    SetBinary(false);
    return Synchronize(&TCustomFtpCli::TypeSetAsync);
}
bool TFtpClient::Get() {
    return Synchronize(&TCustomFtpCli::GetAsync);
}
bool TFtpClient::Put() {
    return Synchronize(&TCustomFtpCli::PutAsync);
}
bool TFtpClient::RestPut() {
    return Synchronize(&TCustomFtpCli::RestPutAsync);
}
bool TFtpClient::RestartPut() {
    return Synchronize(&TCustomFtpCli::RestartPutAsync);
}
bool TFtpClient::Append() {
    return Synchronize(&TCustomFtpCli::AppendAsync);
}
bool TFtpClient::Quit() {
    return Synchronize(&TCustomFtpCli::QuitAsync);
}
// During an upload's transfer the abort is gentle: the data connection is cut and the upload
// removes its temporary file on the control connection before it ends (within a few seconds).
bool TFtpClient::Abort() {
    if (UploadSending()) {
        AbortUploadTransfer();
        FDeadline = std::min(FDeadline, FtpTickCount() + 3000);
        return true;
    }
    return Synchronize(&TCustomFtpCli::AbortAsync);
}

bool TFtpClient::Upload() {
    FUploading = true;
    const bool Ok = Synchronize(&TCustomFtpCli::UploadAsync);
    FUploading = false;
    if (!Ok && CertificateRefused()) FFailure = TTransferFailure::Untrusted;
    return Ok;
}
bool TFtpClient::Receive() {
    return Synchronize(&TCustomFtpCli::ReceiveAsync);
}
bool TFtpClient::Transmit() {
    return Synchronize(&TCustomFtpCli::TransmitAsync);
}
bool TFtpClient::AppendFile() {
    return Synchronize(&TCustomFtpCli::AppendFileAsync);
}
bool TFtpClient::Dir() {
    return Synchronize(&TCustomFtpCli::DirAsync);
}
bool TFtpClient::Directory() {
    return Synchronize(&TCustomFtpCli::DirectoryAsync);
}
bool TFtpClient::Ls() {
    return Synchronize(&TCustomFtpCli::LsAsync);
}
bool TFtpClient::List() {
    return Synchronize(&TCustomFtpCli::ListAsync);
}
bool TFtpClient::Mkd() {
    return Synchronize(&TCustomFtpCli::MkdAsync);
}
bool TFtpClient::Mkdir() {
    return Synchronize(&TCustomFtpCli::MkdirAsync);
}
bool TFtpClient::Ren() {
    return Synchronize(&TCustomFtpCli::RenAsync);
}
bool TFtpClient::Rename() {
    return Synchronize(&TCustomFtpCli::RenameAsync);
}
bool TFtpClient::Dele() {
    return Synchronize(&TCustomFtpCli::DeleAsync);
}
bool TFtpClient::Delete() {
    return Synchronize(&TCustomFtpCli::DeleteAsync);
}
bool TFtpClient::Rmd() {
    return Synchronize(&TCustomFtpCli::RmdAsync);
}
bool TFtpClient::Rmdir() {
    return Synchronize(&TCustomFtpCli::RmdirAsync);
}
bool TFtpClient::Syst() {
    return Synchronize(&TCustomFtpCli::SystAsync);
}
bool TFtpClient::System() {
    return Synchronize(&TCustomFtpCli::SystemAsync);
}
bool TFtpClient::Size() {
    return Synchronize(&TCustomFtpCli::SizeAsync);
}
bool TFtpClient::FileSize() {
    return Synchronize(&TCustomFtpCli::FileSizeAsync);
}
bool TFtpClient::AbortXfer() {
    return Synchronize(&TCustomFtpCli::AbortXferAsync);
}
bool TFtpClient::Quote() {
    return Synchronize(&TCustomFtpCli::QuoteAsync);
}
bool TFtpClient::DoQuote() {
    return Synchronize(&TCustomFtpCli::DoQuoteAsync);
}
bool TFtpClient::RestGet() {
    return Synchronize(&TCustomFtpCli::RestGetAsync);
}
bool TFtpClient::RestartGet() {
    return Synchronize(&TCustomFtpCli::RestartGetAsync);
}
