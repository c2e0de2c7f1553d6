#include "picture/picture.h"

#include "picture/picture_log.h"
#include "picture/picture_support.h"

Q_LOGGING_CATEGORY(lcPicture, "imglift.picture", QtInfoMsg)

std::optional<TPictureKind> PictureKindOfExtension(const QString& extension) {
    const QString e = extension.toLower();
    if (e == QLatin1String("jpg") || e == QLatin1String("jpeg")) return pkJPEG;
    if (e == QLatin1String("bmp")) return pkBitmap;
    if (e == QLatin1String("ico")) return pkIcon;
    if (e == QLatin1String("emf")) return pkEnhMetafile;
    if (e == QLatin1String("wmf")) return pkMetafile;
    return std::nullopt;
}

namespace {

QImage Decode(const QString& path, TPictureKind kind) {
    switch (kind) {
    case pkJPEG:
        return picture::LoadJpeg(path);
    case pkBitmap:
        return picture::LoadWithQt(path, "bmp");
    case pkIcon:
        return picture::LoadWithQt(path, "ico");
    case pkEnhMetafile:
        return picture::LoadEmf(path);
    case pkMetafile:
        return picture::LoadWmf(path);
    }
    picture::Fail(QStringLiteral("Unknown picture kind."));
}

} // namespace

QImage LoadPicture(const QString& path, TPictureKind kind) {
    try {
        return Decode(path, kind);
    } catch (const EPictureError& e) {
        qCWarning(lcPicture, "Refused: %s", e.what());
        throw;
    }
}
