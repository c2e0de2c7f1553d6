#pragma once

// What the picture readers and writers share: header fields, size checks, file access and the
// loader of each format. Used only inside picture/.

#include "common/posix_file.h"
#include "picture/picture.h"

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QString>
#include <cstdint>

namespace picture {

// Screen resolution at which metafiles get their pixel size, as on the original desktop.
constexpr int kScreenPixelsPerInch = 96;
// Metafiles are read whole; anything larger is not a picture this program should take.
constexpr qint64 kMaxMetafileBytes = qint64{256} << 20;

[[noreturn]] void Fail(const QString& text);
QString Quoted(const QString& path);
QString ErrnoText();

// Little-endian fields of bitmap and metafile headers; callers check the lengths.
inline quint16 Word(const QByteArray& d, qsizetype at) {
    return static_cast<quint16>(static_cast<uchar>(d[at]) | static_cast<uchar>(d[at + 1]) << 8);
}
inline qint16 Short(const QByteArray& d, qsizetype at) {
    return static_cast<qint16>(Word(d, at));
}
inline quint32 DWord(const QByteArray& d, qsizetype at) {
    return Word(d, at) | static_cast<quint32>(Word(d, at + 2)) << 16;
}
inline qint32 Long(const QByteArray& d, qsizetype at) {
    return static_cast<qint32>(DWord(d, at));
}

inline std::int64_t MulDiv(std::int64_t value, std::int64_t num, std::int64_t den) {
    return (value * num + den / 2) / den;
}

// Throws unless width x height is a picture of at least one and at most kMaxPicturePixels.
void CheckPixelCount(std::int64_t width, std::int64_t height, const QString& path);

// Opens a regular file for reading; folders, FIFOs and devices are refused.
posix::UniqueFd OpenRegularFile(const QString& path);
// The QFile owns the descriptor once open succeeded.
void OpenQFile(QFile& file, const QString& path);
// The whole of a metafile, at most kMaxMetafileBytes, read without moving the file offset.
QByteArray ReadWholeFile(const posix::UniqueFd& fd, const QString& path);

void CheckWritable(const QImage& image, const char* what);
// Replaces the file in one step.
void ReplaceFile(const QString& path, const QByteArray& data);

// Turned upright by its EXIF orientation.
QImage LoadJpeg(const QString& path);
// Through Qt's reader of that format ("bmp", "ico", "png", "gif", "webp", "tiff"), the first
// image or frame; upright when autoTransform and the reader knows the file's orientation.
QImage LoadWithQt(const QString& path, const char* format, bool autoTransform = false);
QImage LoadWmf(const QString& path);
QImage LoadEmf(const QString& path);
// Decoded by the helper program, upright by the file's own rotation and mirroring.
QImage LoadHeif(const QString& path);
// JPEG, PNG, GIF, WebP, TIFF or HEIF, as the first bytes say.
QImage LoadPhoto(const QString& path);

// The orientation (1..8) in EXIF data (a TIFF structure, with or without the "Exif\0\0" of a
// JPEG marker); 1 when it holds none or is damaged.
int ExifOrientation(const QByteArray& exif);
// The picture as EXIF orientation 1..8 says it is to be shown.
QImage Oriented(const QImage& image, int orientation);

} // namespace picture
