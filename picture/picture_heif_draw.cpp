// The helper's half of the HEIF reader: libheif and its codecs (libde265 for HEIC, dav1d or aom
// for AVIF) run in imglift-metafile, where a damaged file can only end the helper.

#include "picture/picture_metafile.h"
#include "picture/picture_support.h"

#include <QImage>
#include <memory>
#include <new>

#include <libheif/heif.h>

using namespace picture;

namespace {

struct HeifFree {
    void operator()(heif_context* p) const { heif_context_free(p); }
    void operator()(const heif_image_handle* p) const { heif_image_handle_release(p); }
    void operator()(const heif_image* p) const { heif_image_release(p); }
    void operator()(heif_decoding_options* p) const { heif_decoding_options_free(p); }
};

void Check(const heif_error& error, const QString& path) {
    if (error.code == heif_error_Ok) return;
    if (error.code == heif_error_Memory_allocation_error) throw std::bad_alloc();
    Fail(QStringLiteral("%1 is not a readable HEIF picture: %2")
             .arg(Quoted(path), QString::fromUtf8(error.message)));
}

} // namespace

void picture::DrawHeif(QByteArray& data, const QString& path, int out) {
    const std::unique_ptr<heif_context, HeifFree> context(heif_context_alloc());
    if (!context) throw std::bad_alloc();
    heif_context_set_maximum_image_size_limit(context.get(), 1 << 16);
    Check(heif_context_read_from_memory_without_copy(context.get(), data.constData(),
                                                     static_cast<size_t>(data.size()), nullptr),
          path);
    heif_image_handle* rawHandle = nullptr;
    Check(heif_context_get_primary_image_handle(context.get(), &rawHandle), path);
    const std::unique_ptr<const heif_image_handle, HeifFree> handle(rawHandle);
    // The size before any pixel is decoded, turned or not (the cap holds either way).
    CheckPixelCount(heif_image_handle_get_width(handle.get()),
                    heif_image_handle_get_height(handle.get()), path);

    const std::unique_ptr<heif_decoding_options, HeifFree> options(heif_decoding_options_alloc());
    if (!options) throw std::bad_alloc();
    // Rotation and mirroring of the file are applied (the default); EXIF orientation is not,
    // as HEIF readers must: the file's own transformations already say it.
    options->convert_hdr_to_8bit = 1;
    heif_image* rawImage = nullptr;
    Check(heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                            heif_chroma_interleaved_RGBA, options.get()),
          path);
    const std::unique_ptr<const heif_image, HeifFree> decoded(rawImage);
    data = QByteArray();
    const int width = heif_image_get_width(decoded.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(decoded.get(), heif_channel_interleaved);
    CheckPixelCount(width, height, path);
    int stride = 0;
    const uint8_t* rows =
        heif_image_get_plane_readonly(decoded.get(), heif_channel_interleaved, &stride);
    if (!rows || stride < width * 4) {
        Fail(QStringLiteral("%1 could not be decoded.").arg(Quoted(path)));
    }
    // libheif hands out straight (not premultiplied) RGBA; the caller expects ARGB32.
    const QImage rgba(rows, width, height, stride, QImage::Format_RGBA8888);
    const QImage image = rgba.convertToFormat(QImage::Format_ARGB32);
    if (image.isNull()) throw std::bad_alloc();

    const qint32 dimensions[2] = {width, height};
    HelperBegin(out, 'O', sizeof dimensions + static_cast<std::uint64_t>(image.sizeInBytes()));
    HelperWrite(out, dimensions, sizeof dimensions);
    HelperWrite(out, image.constBits(), static_cast<std::size_t>(image.sizeInBytes()));
}
