#include "net/sync_wsocket.h"

#include <QCoreApplication>
#include <chrono>

namespace {

quint32 TickCount() {
    using namespace std::chrono;
    return quint32(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

TCustomSyncWSocket::TCustomSyncWSocket(QObject* AOwner) : TCustomLineWSocket(AOwner) {
}

TCustomSyncWSocket::~TCustomSyncWSocket() = default;

void TCustomSyncWSocket::ReadLine(int Timeout, std::string& Buffer) {
    Buffer.clear();
    if (FState != wsConnected) {
        RaiseException("ReadLine failed: not connected");
        return;
    }
    if (Timeout == 0)
        SyncTimeout = 60000;
    else if (Timeout < 0)
        SyncTimeout = -Timeout;
    else
        SyncTimeout = Timeout * 1000;

    LineReceived = false;
    LineTarget = &Buffer;
    // Put the caller's handler and mode back however the wait ends.
    struct Restore {
        TCustomSyncWSocket& S;
        TDataAvailable Handler;
        bool Mode;
        ~Restore() {
            S.OnDataAvailable = std::move(Handler);
            S.FLineMode = Mode;
            S.LineTarget = nullptr;
        }
    } restore{*this, OnDataAvailable, FLineMode};
    OnDataAvailable = [this](QObject* Sender, quint16 Error) {
        InternalDataAvailable(Sender, Error);
    };
    FLineMode = true; // no redelivery message: the buffered bytes are looked at below

    // Bytes already here are looked at before waiting for the network: a line left buffered
    // by an earlier read, and bytes that came behind a SOCKS reply (no notification will
    // announce those, as when ReadLine runs inside OnSessionConnected).
    const int Result = Synchronize(
        [this] {
            if (SocksState != socksData) return;
            if (LineBufferCount > 0 && LineLength == 0) DeliverLines(0);
            if (!LineReceived && FLineMode && SocksPendingCount > 0) TriggerDataAvailable(0);
        },
        LineReceived);
    if (Result == WSocketSyncTimeout && LineBufferCount > 0) {
        Buffer.assign(LineBuffer.data(), size_t(LineBufferCount));
        LineBufferCount = 0;
    }
}

void TCustomSyncWSocket::InternalDataAvailable(QObject*, quint16) {
    if (!LineTarget) return;
    std::string& Target = *LineTarget;
    const int Len = LineLength;
    if (Len <= 0) {
        Target.clear();
        return;
    }
    Target.resize(size_t(Len));
    const int Got = Receive(Target.data(), Len);
    Target.resize(Got > 0 ? size_t(Got) : 0);
    // One line per ReadLine: stop the delivery so that further lines stay buffered for the
    // next call instead of overwriting this one.
    if (LineLength == 0) FLineMode = false;
}

int TCustomSyncWSocket::Synchronize(const std::function<void()>& Proc, bool& DoneFlag) {
    DoneFlag = false;
    if (Proc) Proc();
    return WaitUntilReady(DoneFlag);
}

int TCustomSyncWSocket::WaitUntilReady(bool& DoneFlag) {
    SyncTimeStop = TickCount() + quint32(SyncTimeout);
    while (!DoneFlag) {
        if (SyncTimeout > 0 && qint32(TickCount() - SyncTimeStop) > 0) return WSocketSyncTimeout;
        if (QCoreApplication::closingDown() || Terminated) return WSocketSyncTimeout;
        WaitPump();
    }
    return 0;
}
