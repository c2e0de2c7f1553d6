#include "picture/picture_support.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <cstdlib>
#include <cstring>

using namespace picture;

namespace {

// Qt's reader fills a bitmap cut short with black; the program must refuse it instead.
void CheckBitmapComplete(QFile& file, const QString& path) {
    const QByteArray h = file.peek(54);
    if (h.size() < 26 || !h.startsWith("BM")) {
        Fail(QStringLiteral("%1 is not a Windows bitmap.").arg(Quoted(path)));
    }
    const qint64 offset = DWord(h, 10);
    const quint32 infoSize = DWord(h, 14);
    qint64 width = 0;
    qint64 height = 0;
    int bits = 0;
    quint32 compression = 0;
    if (infoSize == 12) {
        width = Word(h, 18);
        height = Word(h, 20);
        bits = Word(h, 24);
    } else if (infoSize >= 40 && h.size() >= 54) {
        width = Long(h, 18);
        height = std::abs(static_cast<qint64>(Long(h, 22)));
        bits = Word(h, 28);
        compression = DWord(h, 30);
    } else {
        Fail(QStringLiteral("%1 has a damaged bitmap header.").arg(Quoted(path)));
    }
    CheckPixelCount(width, height, path);
    // Run-length compressed rows have no fixed size; Qt's reader checks those itself.
    const bool uncompressed = compression == 0 || compression == 3 || compression == 6;
    if (uncompressed && bits > 0 && bits <= 32) {
        const qint64 stride = (width * bits + 31) / 32 * 4;
        if (file.size() < offset + stride * height) {
            Fail(QStringLiteral("%1 is cut short.").arg(Quoted(path)));
        }
    }
}

// Qt's reader also fills a GIF cut short within its first picture; the blocks up to that
// picture's end must all be there. Its size is checked from the screen descriptor on the way.
void CheckGifComplete(QFile& file, const QString& path) {
    const QByteArray d = file.peek(file.size());
    const auto cut = [&] { Fail(QStringLiteral("%1 is cut short.").arg(Quoted(path))); };
    if (d.size() < 13) cut();
    CheckPixelCount(Word(d, 6), Word(d, 8), path);
    const auto table = [&](uchar flags) { return flags & 0x80 ? 3 << ((flags & 7) + 1) : 0; };
    qsizetype at = 13 + table(static_cast<uchar>(d[10]));
    // Data sub-blocks: a length byte and that many bytes, up to a length of 0.
    const auto skipBlocks = [&] {
        for (;;) {
            if (at >= d.size()) cut();
            const int length = static_cast<uchar>(d[at++]);
            if (length == 0) return;
            at += length;
        }
    };
    for (;;) {
        if (at >= d.size()) cut();
        const char kind = d[at++];
        if (kind == '!') { // an extension: its label, then its blocks
            ++at;
            skipBlocks();
        } else if (kind == ',') { // the first picture: descriptor, colours, code size, data
            if (at + 9 > d.size()) cut();
            at += 9 + table(static_cast<uchar>(d[at + 8])) + 1;
            skipBlocks();
            return;
        } else {
            Fail(QStringLiteral("%1 holds no picture.").arg(Quoted(path)));
        }
    }
}

} // namespace

QImage picture::LoadWithQt(const QString& path, const char* format, bool autoTransform) {
    QFile file;
    OpenQFile(file, path);
    if (std::strcmp(format, "bmp") == 0) CheckBitmapComplete(file, path);
    if (std::strcmp(format, "gif") == 0) CheckGifComplete(file, path);
    QImageReader reader(&file, format);
    reader.setDecideFormatFromContent(false);
    reader.setAutoTransform(autoTransform);
    reader.setAllocationLimit(static_cast<int>(kMaxPicturePixels * 4 >> 20));
    const QSize size = reader.size();
    if (size.isValid()) CheckPixelCount(size.width(), size.height(), path);
    QImage image = reader.read();
    if (image.isNull()) {
        Fail(QStringLiteral("%1 is not a readable %2 file: %3")
                 .arg(Quoted(path), QLatin1String(format), reader.errorString()));
    }
    return image;
}

void WriteBitmap(const QImage& image, const QString& path) {
    CheckWritable(image, "bitmap");
    // Qt writes 24-bit bitmaps for opaque 32-bit pictures.
    const QImage opaque =
        image.hasAlphaChannel() ? image.convertToFormat(QImage::Format_RGB32) : image;
    QByteArray data;
    {
        QBuffer buffer(&data);
        QImageWriter writer(&buffer, "bmp");
        if (!writer.write(opaque)) {
            Fail(
                QStringLiteral("Cannot write the picture as bitmap: %1").arg(writer.errorString()));
        }
    }
    ReplaceFile(path, data);
}
