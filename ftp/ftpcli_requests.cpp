// TCustomFtpCli: the primitive commands and the request sequences built from them.

#include "ftp/ftpcli.h"
#include "ftp/ftpcli_p.h"

using namespace ftpcli_internal;

namespace {
const char* const NotSecured =
    "534 Not sent: TLS is required and the control connection is not encrypted with a trusted "
    "certificate";
}

void TCustomFtpCli::UserAsync() {
    if (FUserName.empty()) {
        HandleError("UserName emtpy");
        return;
    }
    if (FSecurity >= ftpSecExplicit && !FControlTrusted) {
        FailRequest(534, NotSecured, false);
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
    if (FSecurity >= ftpSecExplicit && !FControlTrusted) {
        FailRequest(534, NotSecured, false);
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
    // Logged in on an encrypted control connection: the data connections get TLS too.
    if (FControlTrusted && !FDataProtected && (Previous == ftpFctPass || Previous == ftpFctUser))
        return ProtectDataAsync();
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

// TYPE before SIZE: servers such as ProFTPD refuse SIZE in ASCII mode.
void TCustomFtpCli::FileSizeAsync() {
    HighLevelAsync(ftpSizeAsync, {ftpFctOpen, ftpFctUser, ftpFctPass, ftpFctCwd, ftpFctTypeSet,
                                  ftpFctSize, ftpFctQuit});
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
