// TCustomFtpCli: the data connection: PORT or PASV, the passive connect, the local file,
// and the progress and statistics of a transfer.

#include "ftp/ftp_log.h"
#include "ftp/ftpcli.h"
#include "ftp/ftpcli_p.h"

#include "net/wsocket_winsock.h"

#include <QFile>
#include <cstdio>
#include <sys/file.h>

using namespace ftpcli_internal;

namespace {

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
        Trace("! Invalid passive mode reply");
        DestroyLocalStream();
        FailRequest(Code, std::to_string(Code) + " Invalid passive mode reply: " + FPasvReply,
                    true);
        return;
    }
    // The address in the reply is not trusted (a server behind NAT names its private address,
    // a hostile one any host): the data connection goes where the control connection went.
    const std::string PeerAddr = FControlSocket->Addr();
    if (Addr != PeerAddr)
        qCDebug(lcFtp, "227 names %s; connecting to %s instead", Addr.c_str(), PeerAddr.c_str());
    try {
        PrepareDataTls();
        FDataSocket->SetAddr(PeerAddr);
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
    if (FResumeAt > 0 && (!FLocalStream || !FLocalStream->seek(FResumeAt)))
        throw std::runtime_error("seek failed");
}

bool TCustomFtpCli::Progress() {
    bool Abort = false;
    if (OnProgress) OnProgress(this, FByteCount + FResumeAt, Abort);
    if (Abort) {
        Trace("! Abort requested");
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
    Trace("! " + Text);
}
