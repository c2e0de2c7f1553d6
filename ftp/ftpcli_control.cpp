// TCustomFtpCli: the control connection and the command cycle: sending a command, reading
// and judging its reply, request done, connecting, closing and aborting.

#include "ftp/ftpcli.h"
#include "ftp/ftpcli_p.h"

#include <optional>

using namespace ftpcli_internal;

void TCustomFtpCli::SendCommand(std::string Cmd) {
    if (OnCommand) OnCommand(this, Cmd);
    Trace("> " + Cmd);
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
    const int Len = FControlSocket->Receive(FReplyReader.FreeSpace(), FReplyReader.FreeLength());
    if (Len == 0) {
        FControlSocket->Close();
        return;
    }
    if (Len < 0) return;
    FReplyReader.Added(Len);

    const bool AcceptLF = FOptions.testFlag(ftpAcceptLF);
    while (FReplyReader.Length() > 0) {
        std::optional<std::string> Line = FReplyReader.PeekLine(AcceptLF);
        if (!Line) return;
        FLastResponse = std::move(*Line);
        if (OnResponse) OnResponse(this);
        FReplyReader.DropLine();

        switch (FState) {
        case ftpWaitingBanner: {
            DisplayLastResponse();
            if (FLastResponse.empty() || !IsDigit(FLastResponse[0])) break;
            const TFtpNumber N = ReadNumber(FLastResponse);
            FStatusCode = static_cast<int>(N.Value);
            if (N.Pos < FLastResponse.size() && FLastResponse[N.Pos] == '-') break;
            if (FStatusCode == 220) {
                if ((FSecurity == ftpSecTlsIfOffered || FSecurity == ftpSecExplicit) &&
                    !FControlSocket->SslActive()) {
                    StateChange(ftpWaitingResponse);
                    FNext = &TCustomFtpCli::NextAuthTls;
                    SendCommand("AUTH TLS");
                    break;
                }
                FinishOpen(Error);
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
    // The upload judges failed steps too (it has fallbacks, and a clean-up to do).
    if ((Error == 0 || FInUpload) && FSequenceNext != nullptr) {
        if (FState != ftpAbort && FState != ftpPasvReady) StateChange(ftpInternalReady);
        if (FInUpload) {
            FUpload.LastError = Error;
            if (FDataSocket && FDataSocket->State() != wsClosed && Error != 0) FDataSocket->Close();
        }
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
    FInUpload = false;
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
    Trace("! " + Failure);
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
    FReplyReader.Clear();
    FRequestResult = 0;
    FDnsResult.clear();
    FQuitClosing = false;
    FControlTrusted = false;
    FDataProtected = false;
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
        FControlSocket->SetSslEnable(FSecurity == ftpSecImplicit);
        FControlSocket->SetSslHostName(FHostName);
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
    FControlTrusted = false;
    FDataProtected = false;
    // A failed handshake has said why already.
    if (Error != 0 && !(Error == SslErrHandshake && FRequestResult != 0)) {
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
    // An upload the closes did not end (nothing was open) ends here.
    if (FInUpload) {
        FInSequence = false;
        FInUpload = false;
        FSequenceNext = nullptr;
    }
    StateChange(ftpReady);
}
