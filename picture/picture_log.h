#pragma once

#include <QLoggingCategory>

// Why a picture was refused or could not be written, and what drawing a metafile cost.
Q_DECLARE_LOGGING_CATEGORY(lcPicture)
