#pragma once
// The socket layer's log: why a connection or a look-up failed, and exceptions caught in the
// background. Debug messages, off unless enabled, e.g. QT_LOGGING_RULES="imglift.net.debug=true".

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcNet)
