#pragma once

// Blocking line reads: ReadLine waits for one line with a time-out while the message queue
// keeps moving, so the socket's own notifications (and everything else) are still handled.

#include "net/line_wsocket.h"

#include <functional>
#include <string>

// Result of a wait that ran out of time (or was ended by a quit request).
constexpr int WSocketSyncTimeout = 12001;

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(QObject* AOwner = nullptr);
    ~TCustomSyncWSocket() override;

    // Timeout: 0 waits up to 60 seconds, a negative value -Timeout milliseconds, a positive
    // value Timeout seconds. On a time-out Buffer holds what was buffered of an unfinished
    // line, possibly nothing. A complete line keeps its end-of-line bytes.
    void ReadLine(int Timeout, std::string& Buffer);

    // Clears DoneFlag, runs Proc when given, then waits for DoneFlag: 0, or 12001 on time-out.
    virtual int Synchronize(const std::function<void()>& Proc, bool& DoneFlag);
    virtual int WaitUntilReady(bool& DoneFlag);

protected:
    void InternalDataAvailable(QObject* Sender, quint16 Error);

    std::string* LineTarget = nullptr;
};
