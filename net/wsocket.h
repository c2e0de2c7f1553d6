#pragma once
// The socket component the program creates.

#include "net/sync_wsocket.h"

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(QObject* AOwner = nullptr);
};

// The same interface under a second name.
class TSocksWSocket : public TWSocket {
public:
    explicit TSocksWSocket(QObject* AOwner = nullptr);
};
