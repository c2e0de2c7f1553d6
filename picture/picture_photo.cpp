// The picture types of today's desktops, told apart by their first bytes, and EXIF orientation.

#include "picture/picture_support.h"

#include <QTransform>
#include <QtEndian>

using namespace picture;

namespace {

// ISO base media brands of HEIF stills and AVIF.
bool IsHeifBrand(const QByteArray& brand) {
    for (const char* b :
         {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1", "avif", "avis"})
        if (brand == b) return true;
    return false;
}

// EXIF in a WebP file: the EXIF chunk of the extended format.
QByteArray WebpExif(QFile& file) {
    const QByteArray head = file.peek(12);
    if (head.size() < 12) return {};
    QByteArray chunk;
    qint64 at = 12;
    // Chunks are few; the EXIF one follows the image data, so only the headers are read.
    for (int n = 0; n < 64 && at + 8 <= file.size(); ++n) {
        if (!file.seek(at)) break;
        const QByteArray header = file.read(8);
        if (header.size() < 8) break;
        const quint32 size = qFromLittleEndian<quint32>(header.constData() + 4);
        if (header.startsWith("EXIF")) {
            if (size > (1u << 20)) break;
            chunk = file.read(size);
            break;
        }
        at += 8 + size + (size & 1);
    }
    file.seek(0);
    return chunk;
}

} // namespace

int picture::ExifOrientation(const QByteArray& exif) {
    const QByteArray d = exif.startsWith(QByteArray("Exif\0\0", 6)) ? exif.mid(6) : exif;
    if (d.size() < 8) return 1;
    const bool little = d.startsWith("II");
    if (!little && !d.startsWith("MM")) return 1;
    const auto u16 = [&](qsizetype at) -> quint32 {
        return little ? qFromLittleEndian<quint16>(d.constData() + at)
                      : qFromBigEndian<quint16>(d.constData() + at);
    };
    const auto u32 = [&](qsizetype at) -> quint32 {
        return little ? qFromLittleEndian<quint32>(d.constData() + at)
                      : qFromBigEndian<quint32>(d.constData() + at);
    };
    if (u16(2) != 42) return 1;
    const qint64 ifd = u32(4);
    if (ifd + 2 > d.size()) return 1;
    const quint32 entries = u16(ifd);
    for (quint32 i = 0; i < entries; ++i) {
        const qint64 entry = ifd + 2 + qint64{12} * i;
        if (entry + 12 > d.size()) return 1;
        // Orientation, a SHORT whose value sits in the entry itself.
        if (u16(entry) == 0x0112 && u16(entry + 2) == 3) {
            const quint32 value = u16(entry + 8);
            return value >= 1 && value <= 8 ? static_cast<int>(value) : 1;
        }
    }
    return 1;
}

QImage picture::Oriented(const QImage& image, int orientation) {
    if (orientation <= 1 || orientation > 8) return image;
    QTransform turn;
    switch (orientation) {
    case 2:
        return image.mirrored(true, false);
    case 3:
        return image.mirrored(true, true);
    case 4:
        return image.mirrored(false, true);
    case 5: // transposed: turned right, then mirrored left to right
        return image.transformed(turn.rotate(90)).mirrored(true, false);
    case 6:
        return image.transformed(turn.rotate(90));
    case 7: // transversed: turned right, then mirrored top to bottom
        return image.transformed(turn.rotate(90)).mirrored(false, true);
    default:
        return image.transformed(turn.rotate(270));
    }
}

QImage picture::LoadPhoto(const QString& path) {
    QFile file;
    OpenQFile(file, path);
    const QByteArray head = file.peek(16);
    if (head.startsWith("\xFF\xD8\xFF")) return LoadJpeg(path);
    if (head.startsWith("\x89PNG\r\n\x1A\n")) return LoadWithQt(path, "png");
    if (head.startsWith("GIF87a") || head.startsWith("GIF89a")) return LoadWithQt(path, "gif");
    if (head.startsWith("RIFF") && head.mid(8, 4) == "WEBP") {
        const int orientation = ExifOrientation(WebpExif(file));
        return Oriented(LoadWithQt(path, "webp"), orientation);
    }
    if (head.startsWith(QByteArray("II*\0", 4)) || head.startsWith(QByteArray("MM\0*", 4))) {
        return LoadWithQt(path, "tiff", true);
    }
    if (head.mid(4, 4) == "ftyp" && IsHeifBrand(head.mid(8, 4))) return LoadHeif(path);
    Fail(QStringLiteral("%1 is not a PNG, GIF, WebP, TIFF, HEIF, AVIF or JPEG picture.")
             .arg(Quoted(path)));
}
