#include "net/socks_wsocket.h"

TCustomSocksWSocket::TCustomSocksWSocket(QObject* AOwner) : TCustomWSocket(AOwner) {
}
