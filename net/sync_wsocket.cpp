#include "net/sync_wsocket.h"

TCustomSyncWSocket::TCustomSyncWSocket(QObject* AOwner) : TCustomLineWSocket(AOwner) {
}
