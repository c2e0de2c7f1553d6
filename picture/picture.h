#pragma once

// Picture files in and out: JPEG through libjpeg, Windows bitmap and icon through Qt's readers,
// Windows metafiles through libwmf and enhanced metafiles through libemf2svg and QtSvg; PNG, GIF,
// WebP and TIFF through Qt's readers (WebP and TIFF from Debian's qt6-image-formats-plugins), HEIF
// and AVIF through libheif. Every failure is an EPictureError; nothing here shows a message.

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

// pkPhoto: the types that cameras, browsers and screenshot tools write (png, gif, webp, tif,
// tiff, heic, heif, avif), decoded by their content, since such files are often misnamed.
enum TPictureKind { pkJPEG, pkBitmap, pkIcon, pkEnhMetafile, pkMetafile, pkPhoto };

// The decoder for a lower-cased or mixed-case extension without the dot ("JPG", "wmf", "png");
// nothing for any other extension.
std::optional<TPictureKind> PictureKindOfExtension(const QString& extension);

// Loads the file with the decoder of the given kind. Bitmaps keep their own format, JPEG gives
// RGB888 (CMYK converted), icons their first image as ARGB32, metafiles ARGB32 at their frame
// size at 96 pixels per inch (a Windows metafile on white, an enhanced one on a transparent
// ground). A pkPhoto file is decoded by what its first bytes say it is (JPEG, PNG, GIF, WebP,
// TIFF, HEIF/AVIF), in the format Qt or libheif gives (palette, 16-bit and alpha kept), an
// animation's first frame. JPEG (whatever its kind), WebP and TIFF are turned upright by their
// EXIF orientation, HEIF by its own rotation and mirroring. Throws EPictureError for an
// unreadable file, a folder or FIFO, a file that does not decode or is cut short, and a picture
// larger than kMaxPicturePixels.
QImage LoadPicture(const QString& path, TPictureKind kind);

// The same for picture data in memory (from the clipboard); name only words the messages.
// Metafiles are not taken.
QImage LoadPictureData(const QByteArray& data, TPictureKind kind, const QString& name);

// Metafiles, and HEIF and AVIF pictures, are drawn by a helper program (imglift-metafile) so
// that a decoder crashing, looping or asking for gigabytes on a damaged file only fails the load.
// The event loop keeps running while it draws (user input waits). A drawing that takes longer
// than the time limit (5 s at first; six times that for HEIF and AVIF) is given up; the helper's
// address space is limited to the memory limit (1 GiB at first, room for the largest picture
// allowed).
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
