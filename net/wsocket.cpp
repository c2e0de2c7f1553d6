#include "net/wsocket.h"

TWSocket::TWSocket(QObject* AOwner) : TCustomSyncWSocket(AOwner) {
}

TSocksWSocket::TSocksWSocket(QObject* AOwner) : TWSocket(AOwner) {
}
