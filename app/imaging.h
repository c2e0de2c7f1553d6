#pragma once

// The main window's picture arithmetic: size and quality settings, the scaled size, the stretched
// drawing and the names of the files it reads and writes. No widgets here, so every rule can be
// checked on its own.

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <cstdint>
#include <stdexcept>

// A scaled picture larger than this many pixels is refused before anything is allocated: sizes
// have no upper bound in the settings, and 100000 x 100000 would need 40 GB.
inline constexpr std::int64_t kMaxScaledPixels = std::int64_t{1} << 27;

// Raised by ResizeImage when the computed size is too large to allocate.
class EImageSizeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// MaxWidth, MaxHeight and Quality as UpdateData leaves them: MaxWidth >= 1, MaxHeight >= 1,
// 1 <= Quality <= 100.
struct TImageSettings {
    int MaxWidth = 620;
    int MaxHeight = 480;
    int Quality = 80;
    bool operator==(const TImageSettings&) const = default;
};

// Converts the three edit texts. A text that is not a 32-bit integer (empty, letters, a fraction,
// out of range) keeps the default 620, 480 or 80; blanks around the number and a sign are allowed.
// The results are then clamped. The texts themselves are never changed.
TImageSettings ParseImageSettings(const QString& widthText, const QString& heightText,
                                  const QString& qualityText);

// A computed picture size. 64-bit, because the products of typed sizes do not fit in 32 bits.
struct TScaledSize {
    std::int64_t Width = 0;
    std::int64_t Height = 0;
    bool operator==(const TScaledSize&) const = default;
};

// The output size for a source of sourceWidth x sourceHeight (both >= 1) and the bounds:
// keepOriginalSize wins; without constrainProportions the bounds themselves; otherwise the
// proportional size chosen by the exact cross products, divisions dropping the remainder.
TScaledSize ComputeScaledSize(std::int64_t sourceWidth, std::int64_t sourceHeight, int maxWidth,
                              int maxHeight, bool keepOriginalSize, bool constrainProportions);

// Draws source stretched (nearest pixel) into a new white RGB32 picture of the computed size,
// at least 1 x 1 (a computed width or height of 0 becomes 1). sourceSize is the current image's
// size; it counts even when source is null (then nothing is drawn). Throws EImageSizeError when
// the size exceeds kMaxScaledPixels or cannot be allocated.
QImage ResizeImage(const QImage& source, QSize sourceSize, const TImageSettings& settings,
                   bool keepOriginalSize, bool constrainProportions);

// File names are bytes, and not every name is valid UTF-8. Such a name is held with each byte
// from 0x80 up as the character U+DC80..U+DCFF, so that NativeFileName gives back exactly the
// bytes that FileNameOfNative was given. Valid UTF-8 names are held as they read.
QString FileNameOfNative(const QByteArray& native);
QByteArray NativeFileName(const QString& name);

// The command-line arguments after the program's name, their bytes kept.
QStringList FileArguments(int argc, const char* const* argv);

// The names of the local files among urls, in order, their bytes kept.
QStringList LocalFileNames(const QList<QUrl>& urls);

// True when a regular file (or a link to one) of that name exists.
bool IsExistingFile(const QString& name);

// The characters after the last "." of the whole path; the whole path when there is no ".".
QString FileExtension(const QString& path);

// True when the lower-cased extension is jpg, jpeg, bmp, ico, emf or wmf.
bool CheckImageFileType(const QString& path);

// Empties image, then loads the file with the decoder its extension names. False on any error
// (unsupported extension, unreadable or undecodable file, a picture too large); image is then
// empty and *error, when given, says why.
bool LoadImageFile(QImage& image, const QString& path, QString* error = nullptr);

// The upload name for a loaded file: its file-name part with the extension replaced by "jpg"
// (Photo.JPEG gives Photo.jpg, a.b.bmp gives a.b.jpg). Bytes of a name that is not UTF-8 are
// read as Latin-1.
QString UploadFileName(const QString& imageFile);

// A file of the given name in appDir (a "/" is put between them when appDir lacks one).
QString CreateFilename(const QString& appDir, const QString& name);
