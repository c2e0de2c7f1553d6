#pragma once

#include <QLoggingCategory>

// The scanner's failures, with the module and condition that caused them.
Q_DECLARE_LOGGING_CATEGORY(lcTwain)
