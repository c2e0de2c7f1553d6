#include "net/line_wsocket.h"

TCustomLineWSocket::TCustomLineWSocket(QObject* AOwner) : TCustomSocksWSocket(AOwner) {
}
