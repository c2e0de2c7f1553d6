#pragma once

#include "net/line_wsocket.h"

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    explicit TCustomSyncWSocket(QObject* AOwner = nullptr);
};
