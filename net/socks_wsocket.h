#pragma once

#include "net/wsocket_core.h"

class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(QObject* AOwner = nullptr);
};
