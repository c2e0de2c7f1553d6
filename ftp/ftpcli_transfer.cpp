// TCustomFtpCli: the transfers on the data connection: downloads (RETR, LIST, NLST) and
// uploads (STOR, APPE), from the transfer command to the end of the request.

#include "ftp/ftpcli.h"
#include "ftp/ftpcli_p.h"

#include "net/wsocket_winsock.h"

using namespace ftpcli_internal;

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
    FTransfer = {};
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
    PrepareDataTls();
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
            Trace("! " + FLocalTransferError);
            FDataSocket->Shutdown(2);
        }
        return;
    }
    if (Len == 0) return;
    FByteCount += Len;
    if (FLocalStream) {
        if (FLocalStream->write(Buffer, Len) != Len) {
            FLocalTransferError = "Error writing local file";
            Trace("! Error writing local file");
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
    FTransfer.DataClosed = true;
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
        FTransfer.ServerDone = true;
        Next3GetAsync();
        return;
    }
    SetErrorMessage();
    DestroyLocalStream();
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    Trace("! RETR/LIST/NLST Failed");
    FRequestResult = Code;
    TriggerRequestDone(static_cast<quint16>(Code));
}

void TCustomFtpCli::Next3GetAsync() {
    if (!FTransfer.Complete() || FDoneReported) return;
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

const std::string& TCustomFtpCli::PutTarget() const {
    return FInUpload && !FUpload.Target.empty() ? FUpload.Target : FHostFileName;
}

std::string TCustomFtpCli::PutCommand() const {
    return (FAppendMode ? "APPE " : "STOR ") + PutTarget();
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
    FTransfer = {};
    FSendPhase = TSendPhase::Idle;
    FDoneReported = false;
    FStartTick = 0;
    FByteCount = 0;
    FDataError = 0;
    FLocalTransferError.clear();

    bool Cancel = false;
    TriggerReadyToTransmit(Cancel);
    if (Cancel) {
        FErrorMessage = "426 Transmit cancelled by application";
        FStatusCode = 426;
        Trace("! " + FErrorMessage);
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
        Trace("! " + FErrorMessage);
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
    // Whatever the server sends here (TLS session tickets) is read: unread data would turn
    // our close into a reset that can cut off the tail of the file.
    FDataSocket->OnDataAvailable = [this](QObject*, quint16 E) { DataSocketPutDataAvailable(E); };
    FDataSocket->OnDataSent = nullptr;
    FTransfer.DataConnected = true;
    FStartTick = FtpTickCount();
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
    PrepareDataTls();
    FDataSocket->Dup(NewSocket);
    FDataSocket->SetComponentOptions(FDataSocket->ComponentOptions().Include(wsoNoReceiveLoop));
    int SndBuf = 0;
    int Len = sizeof(SndBuf);
    if (WSocket_getsockopt(FDataSocket->GetSocketHandle(), WS_SOL_SOCKET, WS_SO_SNDBUF, &SndBuf,
                           &Len) != 0) {
        HandleError("winsock.getsockopt(SO_SNDBUF) failed");
        return;
    }
    FTransfer.DataConnected = true;
    if (FTransfer.ServerAccepted && FStartTick == 0)
        PostMessage(FWindowHandle, WM_FTP_SENDDATA, 0, 0);
}

void TCustomFtpCli::Next1PutAsync() {
    DisplayLastResponse();
    int Code = 0;
    if (!IsFinalReplyLine(Code)) return;
    FStatusCode = Code;
    if (Code == 150 || Code == 125) {
        FTransfer.ServerAccepted = true;
        FNext = &TCustomFtpCli::Next2PutAsync;
        if (FPassive) {
            FDataSocket->OnDataSent = [this](QObject*, quint16 E) { DataSocketPutDataSent(E); };
            FSendPhase = TSendPhase::BlockInFlight;
            DataSocketPutDataSent(0);
        } else if (FTransfer.DataConnected && FStartTick == 0) {
            PostMessage(FWindowHandle, WM_FTP_SENDDATA, 0, 0);
        }
        return;
    }
    SetErrorMessage();
    FNext = nullptr;
    FPutRefused = true;
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    DestroyLocalStream();
    FResumeAt = 0;
    FRequestResult = Code;
    TriggerRequestDone(static_cast<quint16>(Code));
}

void TCustomFtpCli::WMFtpSendData(TMessage&) {
    if (FStartTick != 0) return;
    FStartTick = FtpTickCount();
    FSendPhase = TSendPhase::BlockInFlight;
    DataSocketPutDataSent(0);
}

// One block in flight: a block goes out only as the answer to the data-sent event of the one
// before (or as the first). Write notifications that answer no block of ours (the one every new
// connection gets) are ignored, so sending never runs twice in parallel.
void TCustomFtpCli::DataSocketPutDataSent(quint16 Error) {
    if (FSendPhase != TSendPhase::BlockInFlight) return;
    FSendPhase = TSendPhase::Idle;
    if (!FLocalStream) return;
    if (!Progress()) return;
    if (Error != 0) {
        FLocalTransferError = "Error #" + std::to_string(Error) + " sending data";
        Trace("! " + FLocalTransferError);
        FDataSocket->Close();
        return;
    }
    if (!FTransfer.ReadyToSend()) return;
    // The progress handler may have aborted everything meanwhile.
    if (!FLocalStream || FDataSocket->State() != wsConnected) return;
    const qint64 Count = FLocalStream->read(FBlockBuffer, sizeof(FBlockBuffer));
    if (Count < 0) {
        FLocalTransferError = "Error reading file";
        Trace("! Error reading file");
        FDataSocket->Close();
        return;
    }
    if (Count == 0) {
        // Every block has been handed on (this answers the last one's data-sent event): the
        // close follows from the event loop, without a wait of its own.
        FSendPhase = TSendPhase::EndOfFile;
        FEndOfUploadTimer.start(0);
        return;
    }
    FByteCount += Count;
    FSendPhase = TSendPhase::BlockInFlight;
    FDataSocket->Send(FBlockBuffer, static_cast<int>(Count));
}

// The end of the file: close_notify, then only our sending side is shut. The server reads
// to the end and closes, and that close ends the data connection here: a full close of ours
// could reset the connection (when anything is unread) before the server had it all.
void TCustomFtpCli::EndOfUploadTimeout() {
    if (!FDataSocket || FDataSocket->State() == wsClosed) return;
    if (FDataSocket->SslEstablished() && !FDataSocket->SslShutdown() &&
        FLocalTransferError.empty()) {
        FLocalTransferError = "TLS close_notify could not be sent on the data connection";
        Trace("! " + FLocalTransferError);
        FDataSocket->Close();
        return;
    }
    FDataSocket->Shutdown(1);
}

// The file counts as sent once it was read to its end and every block was handed on (the
// one-block-in-flight sending reaches EndOfFile only then).
bool TCustomFtpCli::UploadIncomplete() const {
    return FSendPhase != TSendPhase::EndOfFile;
}

void TCustomFtpCli::DataSocketPutDataAvailable(quint16) {
    char Scratch[2048];
    FDataSocket->Receive(Scratch, sizeof(Scratch));
}

void TCustomFtpCli::DataSocketPutSessionClosed(quint16 Error) {
    if (UploadIncomplete() && FLocalTransferError.empty()) {
        FLocalTransferError = "the data connection closed before the whole file was sent";
        Trace("! " + FLocalTransferError);
    }
    DestroyLocalStream();
    FEndOfUploadTimer.stop();
    FTransfer.DataClosed = true;
    FDataError = Error;
    Next3PutAsync();
}

void TCustomFtpCli::Next2PutAsync() {
    DisplayLastResponse();
    int Code = 0;
    if (!IsFinalReplyLine(Code)) return;
    FStatusCode = Code;
    if (Code == 226 || Code == 250) {
        // No server can know the file complete before the data connection ended: a 226
        // before that means it stored less than the file (or nothing).
        if (UploadIncomplete() && FLocalTransferError.empty()) {
            FLocalTransferError = "the server reported the transfer complete before the "
                                  "whole file was sent";
            Trace("! " + FLocalTransferError);
            DestroyLocalStream();
            FEndOfUploadTimer.stop();
            if (FDataSocket->State() != wsClosed) FDataSocket->Close();
        }
        FTransfer.ServerDone = true;
        // After our end of file the reply is the server's receipt for all of it: a close
        // of ours can lose nothing now, and the transfer need not wait for the server's.
        if (!UploadIncomplete() && FDataSocket->State() != wsClosed) {
            FDataSocket->Close();
            if (FTransfer.DataClosed) return; // its close has ended the transfer
        }
        Next3PutAsync();
        return;
    }
    SetErrorMessage();
    DestroyLocalStream();
    if (FDataSocket->State() != wsClosed) FDataSocket->Close();
    Trace("! STOR Failed");
    FRequestResult = Code;
    TriggerRequestDone(static_cast<quint16>(Code));
}

void TCustomFtpCli::Next3PutAsync() {
    if (!FTransfer.Complete() || FDoneReported) return;
    TransfertStats();
    FResumeAt = 0;
    FinishTransfer();
}
