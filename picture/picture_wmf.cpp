#include "picture/picture_child.h"
#include "picture/picture_metafile.h"
#include "picture/picture_support.h"

#include <QColor>
#include <cstdlib>
#include <vector>

#include <libwmf/api.h>
#include <libwmf/gd.h>
#include <libwmf/gd/gd.h>

using namespace picture;

namespace {

constexpr quint32 kPlaceableKey = 0x9AC6CDD7u;
constexpr qsizetype kPlaceableSize = 22;
constexpr qsizetype kMetaHeaderSize = 18;

// libwmf hands its drawing over as a gd image and does not export gd's destructor; this frees
// what libwmf's gd allocates for a true-colour image, as laid out in its installed header.
void FreeGdImage(void* p) {
    auto* im = static_cast<gdImage*>(p);
    if (!im) return;
    if (im->_tpixels) {
        std::free(im->_tpixels);
    } else if (im->tpixels) {
        for (int y = 0; y < im->sy; ++y)
            std::free(im->tpixels[y]);
    }
    std::free(im->tpixels);
    if (im->pixels) {
        for (int y = 0; y < im->sy; ++y)
            std::free(im->pixels[y]);
        std::free(im->pixels);
    }
    std::free(im->polyInts);
    std::free(im->style);
    if (im->clip) {
        std::free(im->clip->list);
        std::free(im->clip);
    }
    std::free(im);
}

struct WmfApi {
    wmfAPI* api = nullptr;
    bool opened = false;
    WmfApi() = default;
    WmfApi(const WmfApi&) = delete;
    WmfApi& operator=(const WmfApi&) = delete;
    ~WmfApi() {
        if (!api) return;
        FreeGdImage(WMF_GD_GetData(api)->gd_image);
        if (opened) wmf_mem_close(api);
        wmf_api_destroy(api);
    }
};

} // namespace

// Checks the record chain of a Windows metafile before libwmf reads it, so that no record
// points outside the file. Returns the offset of the standard header.
qsizetype picture::CheckWmf(const QByteArray& d, const QString& path) {
    const qsizetype start = d.size() >= 4 && DWord(d, 0) == kPlaceableKey ? kPlaceableSize : 0;
    if (d.size() < start + kMetaHeaderSize)
        Fail(QStringLiteral("%1 is cut short.").arg(Quoted(path)));
    const quint16 type = Word(d, start);
    const quint16 headerWords = Word(d, start + 2);
    if ((type != 1 && type != 2) || headerWords != 9) {
        Fail(QStringLiteral("%1 is not a Windows metafile.").arg(Quoted(path)));
    }
    qsizetype at = start + kMetaHeaderSize;
    for (;;) {
        if (at + 6 > d.size()) Fail(QStringLiteral("%1 is cut short.").arg(Quoted(path)));
        const qint64 bytes = qint64{DWord(d, at)} * 2;
        const quint16 function = Word(d, at + 4);
        if (bytes < 6 || bytes > d.size() - at) {
            Fail(QStringLiteral("%1 has a damaged record at byte %2.").arg(Quoted(path)).arg(at));
        }
        at += bytes;
        if (function == 0) return start;
    }
}

void picture::DrawWmf(QByteArray& data, const QString& path, int out) {
    const qsizetype start = CheckWmf(data, path);
    std::int64_t width = 0;
    std::int64_t height = 0;
    if (start == kPlaceableSize) {
        const std::int64_t inch = Word(data, 14);
        if (inch == 0) Fail(QStringLiteral("%1 has no unit size.").arg(Quoted(path)));
        width = MulDiv(std::abs(Short(data, 10) - Short(data, 6)), kScreenPixelsPerInch, inch);
        height = MulDiv(std::abs(Short(data, 12) - Short(data, 8)), kScreenPixelsPerInch, inch);
        CheckPixelCount(width, height, path);
    }

    wmfAPI_Options options{};
    options.function = wmf_gd_function;
    const unsigned long flags =
        WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
    WmfApi w;
    if (wmf_api_create(&w.api, flags, &options) != wmf_E_None || !w.api) {
        Fail(QStringLiteral("The metafile reader could not start."));
    }
    const auto check = [&](wmf_error_t e) {
        if (e != wmf_E_None || w.api->err != wmf_E_None) {
            Fail(QStringLiteral("%1 is not a readable Windows metafile (error %2).")
                     .arg(Quoted(path))
                     .arg(static_cast<int>(e != wmf_E_None ? e : w.api->err)));
        }
    };
    check(wmf_mem_open(w.api, reinterpret_cast<unsigned char*>(data.data()), data.size()));
    w.opened = true;
    wmfD_Rect bbox{};
    check(wmf_scan(w.api, 0, &bbox));
    if (start == kPlaceableSize) {
        // libwmf measures a placeable file in points; the frame, not the extent of what is
        // drawn, is the picture.
        const double inch = Word(data, 14);
        bbox.TL.x = Short(data, 6) * 72.0 / inch;
        bbox.TL.y = Short(data, 8) * 72.0 / inch;
        bbox.BR.x = Short(data, 10) * 72.0 / inch;
        bbox.BR.y = Short(data, 12) * 72.0 / inch;
    } else {
        // Without a placeable header the drawing's own extent gives the size.
        unsigned int dw = 0, dh = 0;
        check(wmf_display_size(w.api, &dw, &dh, kScreenPixelsPerInch, kScreenPixelsPerInch));
        width = dw;
        height = dh;
        CheckPixelCount(width, height, path);
    }
    wmf_gd_t* gd = WMF_GD_GetData(w.api);
    gd->type = wmf_gd_image;
    gd->bbox = bbox;
    gd->width = static_cast<unsigned int>(width);
    gd->height = static_cast<unsigned int>(height);
    check(wmf_play(w.api, 0, &bbox));
    const int* pixels = gd->gd_image ? wmf_gd_image_pixels(gd->gd_image) : nullptr;
    if (!pixels) Fail(QStringLiteral("%1 could not be drawn.").arg(Quoted(path)));

    const qint32 size[2] = {static_cast<qint32>(width), static_cast<qint32>(height)};
    HelperBegin(out, 'O', sizeof size + static_cast<std::uint64_t>(width * height) * sizeof(QRgb));
    HelperWrite(out, size, sizeof size);
    std::vector<QRgb> line(static_cast<size_t>(width));
    for (std::int64_t y = 0; y < height; ++y) {
        const int* in = pixels + y * width;
        for (std::int64_t x = 0; x < width; ++x) {
            // gd keeps 7 bits of transparency above the colour, 127 being clear.
            const unsigned int p = static_cast<unsigned int>(in[x]);
            const int alpha = 255 - static_cast<int>(((p >> 24) & 0x7f) * 255 / 127);
            line[static_cast<size_t>(x)] =
                qRgba(static_cast<int>((p >> 16) & 0xff), static_cast<int>((p >> 8) & 0xff),
                      static_cast<int>(p & 0xff), alpha);
        }
        HelperWrite(out, line.data(), line.size() * sizeof(QRgb));
    }
}

QImage picture::LoadWmf(const QString& path) {
    const posix::UniqueFd fd = OpenRegularFile(path);
    CheckWmf(ReadWholeFile(fd, path), path);
    MetafileRun child(path, "wmf", fd);
    return child.ReadPicture();
}
