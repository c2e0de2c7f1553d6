#include "twain/twain_log.h"

Q_LOGGING_CATEGORY(lcTwain, "imglift.twain", QtInfoMsg)
