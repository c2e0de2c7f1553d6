#pragma once
// The FTP library's logging category, "imglift.ftp". It carries every trace line of the
// conversation with the server ("> " command, "< " reply, "! " local event), passwords masked.
// Off by default; QT_LOGGING_RULES="imglift.ftp=true" turns it on.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcFtp)
