#include "ftp/ftp_log.h"

Q_LOGGING_CATEGORY(lcFtp, "imglift.ftp", QtInfoMsg)
