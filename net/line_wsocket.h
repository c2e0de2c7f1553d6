#pragma once

#include "net/socks_wsocket.h"

class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(QObject* AOwner = nullptr);
};
