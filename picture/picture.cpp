#include "picture/picture.h"

#include "picture/picture_log.h"
#include "picture/picture_support.h"

#include <cerrno>
#include <sys/mman.h>

Q_LOGGING_CATEGORY(lcPicture, "imglift.picture", QtInfoMsg)

std::optional<TPictureKind> PictureKindOfExtension(const QString& extension) {
    const QString e = extension.toLower();
    if (e == QLatin1String("jpg") || e == QLatin1String("jpeg")) return pkJPEG;
    if (e == QLatin1String("bmp")) return pkBitmap;
    if (e == QLatin1String("ico")) return pkIcon;
    if (e == QLatin1String("emf")) return pkEnhMetafile;
    if (e == QLatin1String("wmf")) return pkMetafile;
    for (const char* photo : {"png", "gif", "webp", "tif", "tiff", "heic", "heif", "avif"})
        if (e == QLatin1String(photo)) return pkPhoto;
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
    case pkPhoto:
        return picture::LoadPhoto(path);
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

QImage LoadPictureData(const QByteArray& data, TPictureKind kind, const QString& name) {
    using picture::Fail;
    if (kind == pkEnhMetafile || kind == pkMetafile) {
        Fail(QStringLiteral("%1: metafiles are read from files only.").arg(name));
    }
    // The readers take files (the HEIF one hands its file to the helper): an anonymous one.
    const posix::UniqueFd fd(::memfd_create("imglift-picture", MFD_CLOEXEC));
    if (!fd.Valid()) Fail(QStringLiteral("Cannot hold %1: %2").arg(name, picture::ErrnoText()));
    if (!posix::WriteAll(fd.Get(), data.constData(), static_cast<std::size_t>(data.size()))) {
        Fail(QStringLiteral("Cannot hold %1: %2").arg(name, picture::ErrnoText()));
    }
    const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd.Get());
    try {
        return Decode(path, kind);
    } catch (const EPictureError& e) {
        const QString text = QString::fromStdString(e.what()).replace(path, name);
        qCWarning(lcPicture, "Refused: %s", qUtf8Printable(text));
        throw EPictureError(text.toStdString());
    }
}
