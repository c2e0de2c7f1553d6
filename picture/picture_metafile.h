#pragma once

// The drawing half of the metafile readers, which runs in imglift-metafile, and the header
// checks that both halves make.

#include "common/posix_file.h"

#include <QByteArray>
#include <QSize>
#include <QString>
#include <cstdint>
#include <cstdlib>

namespace picture {

// Checks the record chain of a Windows metafile before libwmf reads it, so that no record
// points outside the file. Returns the offset of the standard header.
qsizetype CheckWmf(const QByteArray& data, const QString& path);

// Checks the record chain of an enhanced metafile before the converter reads it; its frame in
// pixels at screen resolution.
QSize EmfPixelSize(const QByteArray& data, const QString& path);

// What the helper writes: 'O' or 'E', the length of what follows (8 bytes), the result or the
// message; then 'M' and its peak resident and address-space sizes in KiB (8 bytes each).

// In the helper, for either kind: the result is width and height (4 bytes each) and the ARGB32
// rows.
void DrawWmf(QByteArray& data, const QString& path, int out);
// Converts to SVG and draws that; needs a QGuiApplication for the fonts.
void DrawEmf(QByteArray& data, const QString& path, int out);
// A HEIF or AVIF picture's primary image through libheif, upright.
void DrawHeif(QByteArray& data, const QString& path, int out);

// In the helper: writes all of data or ends the helper, whose reader is gone.
inline void HelperWrite(int fd, const void* data, std::size_t size) {
    if (!posix::WriteAll(fd, data, size)) std::_Exit(1);
}
// In the helper: starts the reply with its kind ('O' or 'E') and length.
inline void HelperBegin(int fd, char kind, std::uint64_t length) {
    HelperWrite(fd, &kind, 1);
    HelperWrite(fd, &length, sizeof length);
}

} // namespace picture
