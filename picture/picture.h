#pragma once

// Picture files in and out: JPEG through libjpeg, Windows bitmap and icon through Qt's readers,
// Windows metafiles through libwmf and enhanced metafiles through libemf2svg and QtSvg. Every
// failure is an EPictureError; nothing here shows a message.

#include <QImage>
#include <QString>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>

// A decoded picture larger than this many pixels is refused before it is allocated
// (16384 x 8192; a 24-megapixel photo is a fifth of it).
inline constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 27;

class EPictureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TPictureKind { pkJPEG, pkBitmap, pkIcon, pkEnhMetafile, pkMetafile };

// The decoder for a lower-cased or mixed-case extension without the dot ("JPG", "wmf");
// nothing for any other extension.
std::optional<TPictureKind> PictureKindOfExtension(const QString& extension);

// Loads the file with the decoder of the given kind. Bitmaps keep their own format, JPEG gives
// RGB888 (CMYK converted), icons their first image as ARGB32, metafiles ARGB32 at their frame
// size at 96 pixels per inch (a Windows metafile on white, an enhanced one on a transparent
// ground). Throws EPictureError for an unreadable file, a folder or FIFO, a file that does not
// decode or is cut short, and a picture larger than kMaxPicturePixels.
QImage LoadPicture(const QString& path, TPictureKind kind);

// Metafiles are drawn by a helper program (imglift-metafile) so that a decoder crashing, looping
// or asking for gigabytes on a damaged file only fails the load. The event loop keeps running
// while it draws (user input waits). A drawing that takes longer than the time limit (5 s at
// first) is given up; the helper's address space is limited to the memory limit (1 GiB at
// first, room for the largest picture allowed).
void SetMetafileTimeLimit(std::chrono::milliseconds limit);
void SetMetafileMemoryLimit(std::uint64_t bytes);

// Writes the picture as a baseline JPEG file through libjpeg: default parameters, the quality
// (1..100, clamped) with libjpeg's standard scaling, 24-bit RGB input. The file is replaced in
// one step, so a failure never leaves a partial file. Throws EPictureError for an empty picture
// (a width or height of 0), a picture libjpeg refuses and any file error.
void WriteJpeg(const QImage& image, const QString& path, int quality);

// The JPEG bytes WriteJpeg writes, without the file.
QByteArray EncodeJpeg(const QImage& image, int quality);

// Writes the picture as a 24-bit Windows bitmap file, replaced in one step like WriteJpeg.
// Throws EPictureError for an empty picture and any file error.
void WriteBitmap(const QImage& image, const QString& path);
