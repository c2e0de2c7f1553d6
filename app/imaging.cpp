#include "app/imaging.h"

#include "app/platform/picture.h"

#include <QPainter>
#include <algorithm>

namespace {

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
        image = LoadPicture(path, *kind);
        return true;
    } catch (const std::exception& e) {
        // Also std::bad_alloc from a decoder: the picture is simply not loaded.
        image = QImage();
        if (error) *error = QString::fromStdString(e.what());
        return false;
    }
}

QString UploadFileName(const QString& imageFile) {
    const QString name = imageFile.mid(imageFile.lastIndexOf(QLatin1Char('/')) + 1);
    return name.chopped(std::min(name.size(), FileExtension(imageFile).size())) +
           QStringLiteral("jpg");
}

QString CreateFilename(const QString& appDir, const QString& name) {
    QString path = appDir;
    if (!path.endsWith(QLatin1Char('/'))) path += QLatin1Char('/');
    return path + name;
}
