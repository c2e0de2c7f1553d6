#include "picture/picture_child.h"
#include "picture/picture_metafile.h"
#include "picture/picture_support.h"

#include <QPainter>
#include <QSvgRenderer>
#include <cstdlib>
#include <memory>
#include <new>

#include <emf2svg.h>

using namespace picture;

namespace {

constexpr quint32 kEmrHeader = 1;
constexpr quint32 kEmrEof = 14;
constexpr quint32 kEmfSignature = 0x464D4520u;

// Checks the record chain of an enhanced metafile before the converter reads it and returns
// the frame (in 0.01 mm) from its header.
void CheckEmf(const QByteArray& d, const QString& path, std::int64_t& frameWidth,
              std::int64_t& frameHeight) {
    if (d.size() < 88 || DWord(d, 0) != kEmrHeader || DWord(d, 40) != kEmfSignature) {
        Fail(QStringLiteral("%1 is not an enhanced metafile.").arg(Quoted(path)));
    }
    frameWidth = std::int64_t{Long(d, 32)} - Long(d, 24);
    frameHeight = std::int64_t{Long(d, 36)} - Long(d, 28);
    qsizetype at = 0;
    for (;;) {
        if (at + 8 > d.size()) Fail(QStringLiteral("%1 is cut short.").arg(Quoted(path)));
        const quint32 type = DWord(d, at);
        const qint64 bytes = DWord(d, at + 4);
        if (bytes < 8 || bytes % 4 != 0 || bytes > d.size() - at) {
            Fail(QStringLiteral("%1 has a damaged record at byte %2.").arg(Quoted(path)).arg(at));
        }
        at += bytes;
        if (type == kEmrEof) return;
    }
}

struct MallocFree {
    void operator()(char* p) const { std::free(p); }
};

} // namespace

QSize picture::EmfPixelSize(const QByteArray& data, const QString& path) {
    std::int64_t frameWidth = 0;
    std::int64_t frameHeight = 0;
    CheckEmf(data, path, frameWidth, frameHeight);
    const std::int64_t width = MulDiv(std::abs(frameWidth), kScreenPixelsPerInch, 2540);
    const std::int64_t height = MulDiv(std::abs(frameHeight), kScreenPixelsPerInch, 2540);
    CheckPixelCount(width, height, path);
    return QSize(static_cast<int>(width), static_cast<int>(height));
}

void picture::DrawEmf(QByteArray& data, const QString& path, int out) {
    const QSize size = EmfPixelSize(data, path);
    char nameSpace[] = "svg";
    generatorOptions options{};
    options.nameSpace = nameSpace;
    options.verbose = false;
    options.emfplus = true;
    options.svgDelimiter = true;
    options.imgWidth = size.width();
    options.imgHeight = size.height();
    char* svg = nullptr;
    size_t svgLength = 0;
    const int ok =
        emf2svg(data.data(), static_cast<size_t>(data.size()), &svg, &svgLength, &options);
    std::unique_ptr<char, MallocFree> svgText(svg);
    if (!ok || !svg || svgLength == 0) {
        Fail(QStringLiteral("%1 is not a readable enhanced metafile.").arg(Quoted(path)));
    }
    // The drawing keeps what it parsed; the file and the text make room for the pixels.
    data = QByteArray();
    QSvgRenderer renderer(QByteArray::fromRawData(svg, static_cast<qsizetype>(svgLength)));
    svgText.reset();
    if (!renderer.isValid()) Fail(QStringLiteral("%1 could not be drawn.").arg(Quoted(path)));

    QImage image(size, QImage::Format_ARGB32);
    if (image.isNull()) throw std::bad_alloc();
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    painter.end();

    const qint32 dimensions[2] = {size.width(), size.height()};
    HelperBegin(out, 'O', sizeof dimensions + static_cast<std::uint64_t>(image.sizeInBytes()));
    HelperWrite(out, dimensions, sizeof dimensions);
    HelperWrite(out, image.constBits(), static_cast<std::size_t>(image.sizeInBytes()));
}

QImage picture::LoadEmf(const QString& path) {
    const posix::UniqueFd fd = OpenRegularFile(path);
    const QSize size = EmfPixelSize(ReadWholeFile(fd, path), path);
    MetafileRun child(path, "emf", fd);
    QImage image = child.ReadPicture();
    if (image.size() != size) Fail(QStringLiteral("%1 could not be decoded.").arg(Quoted(path)));
    return image;
}
