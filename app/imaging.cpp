#include "app/imaging.h"

#include "common/posix_file.h"

#include "picture/picture.h"

#include <QFile>
#include <QPainter>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char16_t kEscape = 0xDC00;

bool IsEscapedByte(QStringView name, qsizetype i) {
    const char16_t c = name[i].unicode();
    // The low half of a surrogate pair is a character of a valid name, not an escaped byte.
    return c >= kEscape + 0x80 && c <= kEscape + 0xFF && (i == 0 || !name[i - 1].isHighSurrogate());
}

QImage LoadNamedPicture(const QString& path, TPictureKind kind) {
    const QByteArray native = NativeFileName(path);
    if (QFile::encodeName(path) == native) return LoadPicture(path, kind);
    // The picture layer opens names through QFile::encodeName, which cannot spell these bytes:
    // it gets the name of a descriptor for the file instead.
    const posix::UniqueFd fd(::open(native.constData(), O_PATH | O_CLOEXEC));
    if (fd.Get() < 0) {
        throw EPictureError(QStringLiteral("Cannot open the picture file: %1")
                                .arg(QString::fromLocal8Bit(std::strerror(errno)))
                                .toStdString());
    }
    return LoadPicture(QStringLiteral("/proc/self/fd/%1").arg(fd.Get()), kind);
}

int IntOr(const QString& text, int fallback) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : fallback;
}

} // namespace

TImageSettings ParseImageSettings(const QString& widthText, const QString& heightText,
                                  const QString& qualityText) {
    TImageSettings s;
    s.MaxWidth = std::max(1, IntOr(widthText, 620));
    s.MaxHeight = std::max(1, IntOr(heightText, 480));
    s.Quality = std::clamp(IntOr(qualityText, 80), 1, 100);
    return s;
}

TScaledSize ComputeScaledSize(std::int64_t sourceWidth, std::int64_t sourceHeight, int maxWidth,
                              int maxHeight, bool keepOriginalSize, bool constrainProportions) {
    if (keepOriginalSize) return {sourceWidth, sourceHeight};
    if (!constrainProportions) return {maxWidth, maxHeight};
    const std::int64_t sw = std::max<std::int64_t>(sourceWidth, 1);
    const std::int64_t sh = std::max<std::int64_t>(sourceHeight, 1);
    const std::int64_t mw = maxWidth;
    const std::int64_t mh = maxHeight;
    // Both factors are below 2^31, so neither product nor quotient overflows 64 bits.
    if (mh * sw >= sh * mw) return {mw, mw * sh / sw};
    return {mh * sw / sh, mh};
}

QImage ResizeImage(const QImage& source, QSize sourceSize, const TImageSettings& settings,
                   bool keepOriginalSize, bool constrainProportions) {
    const TScaledSize size =
        ComputeScaledSize(sourceSize.width(), sourceSize.height(), settings.MaxWidth,
                          settings.MaxHeight, keepOriginalSize, constrainProportions);
    // A thin picture scales to a width or height of 0; it is drawn one pixel wide or high
    // instead, so that it can still be shown, saved and uploaded.
    const std::int64_t width = std::max<std::int64_t>(size.Width, 1);
    const std::int64_t height = std::max<std::int64_t>(size.Height, 1);
    // Both sides are at most the larger of a bound and a source side, so they fit an int and
    // their product fits 64 bits.
    if (width * height > kMaxScaledPixels) {
        throw EImageSizeError(QStringLiteral("The scaled picture would be %1 x %2 pixels, more "
                                             "than the %3 pixels allowed.")
                                  .arg(width)
                                  .arg(height)
                                  .arg(kMaxScaledPixels)
                                  .toStdString());
    }
    QImage scaled(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGB32);
    if (scaled.isNull()) {
        throw EImageSizeError(QStringLiteral("Not enough memory for a scaled picture of %1 x %2 "
                                             "pixels.")
                                  .arg(width)
                                  .arg(height)
                                  .toStdString());
    }
    // A new bitmap is white; transparent parts of icons and metafiles show it.
    scaled.fill(Qt::white);
    if (!source.isNull()) {
        QPainter painter(&scaled);
        // No SmoothPixmapTransform: nearest pixel, as the platform's stretched drawing.
        painter.drawImage(QRect(0, 0, scaled.width(), scaled.height()), source);
    }
    return scaled;
}

QString FileNameOfNative(const QByteArray& native) {
    const QString name = QFile::decodeName(native);
    if (QFile::encodeName(name) == native) return name;
    QString escaped;
    escaped.reserve(native.size());
    for (const char byte : native) {
        const auto value = static_cast<unsigned char>(byte);
        escaped += value < 0x80 ? QChar(value) : QChar(char16_t(kEscape + value));
    }
    return escaped;
}

QByteArray NativeFileName(const QString& name) {
    QByteArray native;
    qsizetype run = 0; // start of the characters not yet converted
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (!IsEscapedByte(name, i)) continue;
        native += QFile::encodeName(name.mid(run, i - run));
        native += static_cast<char>(name[i].unicode() - kEscape);
        run = i + 1;
    }
    return native + QFile::encodeName(name.mid(run));
}

QStringList FileArguments(int argc, const char* const* argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << FileNameOfNative(QByteArray(argv[i]));
    return arguments;
}

QStringList LocalFileNames(const QList<QUrl>& urls) {
    QStringList names;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        if (!url.host().isEmpty()) {
            names << url.toLocalFile();
            continue;
        }
        // toLocalFile reads the percent-encoded bytes as UTF-8 and loses those that are not.
        names << FileNameOfNative(
            QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
    }
    return names;
}

bool IsExistingFile(const QString& name) {
    struct stat st {};
    return ::stat(NativeFileName(name).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

QString FileExtension(const QString& path) {
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    return dot < 0 ? path : path.mid(dot + 1);
}

bool CheckImageFileType(const QString& path) {
    return PictureKindOfExtension(FileExtension(path)).has_value();
}

bool LoadImageFile(QImage& image, const QString& path, QString* error) {
    image = QImage();
    const auto kind = PictureKindOfExtension(FileExtension(path));
    try {
        if (!kind) throw EPictureError("Not a supported picture file type.");
        image = LoadNamedPicture(path, *kind);
        return true;
    } catch (const std::exception& e) {
        // Also std::bad_alloc from a decoder: the picture is simply not loaded.
        image = QImage();
        if (error) *error = QString::fromStdString(e.what());
        return false;
    }
}

QString UploadFileName(const QString& imageFile) {
    QString name = imageFile.mid(imageFile.lastIndexOf(QLatin1Char('/')) + 1);
    name.chop(std::min(name.size(), FileExtension(imageFile).size()));
    for (qsizetype i = 0; i < name.size(); ++i)
        if (IsEscapedByte(name, i)) name[i] = QChar(char16_t(name[i].unicode() - kEscape));
    return name + QStringLiteral("jpg");
}

QString CreateFilename(const QString& appDir, const QString& name) {
    QString path = appDir;
    if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
    return path + name;
}
