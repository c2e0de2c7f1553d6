#include "picture/picture_support.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <jerror.h>
#include <jpeglib.h>

using namespace picture;

namespace {

// A progressive JPEG has a handful of scans; thousands only make decoding take forever.
constexpr int kMaxJpegScans = 1000;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

FilePtr OpenForReading(const QString& path) {
    posix::UniqueFd fd = OpenRegularFile(path);
    FilePtr file(::fdopen(fd.Get(), "rb"));
    if (!file) Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), ErrnoText()));
    fd.Release();
    return file;
}

// libjpeg. Its errors leave through longjmp, so every libjpeg call sits in a small function that
// holds the setjmp and no C++ object with a destructor; the objects that own the libjpeg structs,
// the file and the picture live in the callers.

struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool lostData;
    bool tooManyScans;
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

// Warnings go nowhere, but those that mean missing picture data fail the load: a truncated file
// would otherwise decode with a grey lower part.
void JpegEmitMessage(j_common_ptr cinfo, int level) {
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    if (level >= 0) return;
    ++err->pub.num_warnings;
    const int code = err->pub.msg_code;
    if (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER || code == JWRN_MUST_RESYNC) {
        err->lostData = true;
    }
}

void JpegOutputMessage(j_common_ptr) {
}

QString JpegMessage(const JpegErrorManager& err, j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX] = {};
    (*err.pub.format_message)(cinfo, text);
    return QString::fromLocal8Bit(text);
}

void InitJpegErrors(JpegErrorManager& err) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = JpegErrorExit;
    err.pub.emit_message = JpegEmitMessage;
    err.pub.output_message = JpegOutputMessage;
    err.lostData = false;
    err.tooManyScans = false;
}

void JpegScanLimit(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor) return;
    const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (d->input_scan_number > kMaxJpegScans) {
        auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
        err->tooManyScans = true;
        std::longjmp(err->jump, 1);
    }
}

class JpegDecompressor {
public:
    JpegDecompressor() {
        InitJpegErrors(err);
        cinfo.err = &err.pub;
        progress.progress_monitor = JpegScanLimit;
    }
    ~JpegDecompressor() {
        if (created) jpeg_destroy_decompress(&cinfo);
    }
    JpegDecompressor(const JpegDecompressor&) = delete;
    JpegDecompressor& operator=(const JpegDecompressor&) = delete;

    jpeg_decompress_struct cinfo{};
    JpegErrorManager err{};
    jpeg_progress_mgr progress{};
    bool created = false;
};

bool JpegReadHeader(JpegDecompressor& d, FILE* file) {
    if (setjmp(d.err.jump) != 0) return false;
    jpeg_create_decompress(&d.cinfo);
    d.created = true;
    d.cinfo.progress = &d.progress;
    jpeg_stdio_src(&d.cinfo, file);
    // EXIF, for the orientation.
    jpeg_save_markers(&d.cinfo, JPEG_APP0 + 1, 0xFFFF);
    jpeg_read_header(&d.cinfo, TRUE);
    switch (d.cinfo.jpeg_color_space) {
    case JCS_CMYK:
    case JCS_YCCK:
        d.cinfo.out_color_space = JCS_CMYK;
        break;
    default:
        d.cinfo.out_color_space = JCS_RGB;
        break;
    }
    jpeg_calc_output_dimensions(&d.cinfo);
    return true;
}

// Reads the rows straight into the picture's RGB888 lines; CMYK goes through one spare row.
bool JpegReadRows(JpegDecompressor& d, uchar* bits, qsizetype bytesPerLine) {
    if (setjmp(d.err.jump) != 0) return false;
    jpeg_decompress_struct& c = d.cinfo;
    jpeg_start_decompress(&c);
    const bool cmyk = c.out_color_space == JCS_CMYK;
    // Photoshop writes CMYK inverted and says so in its Adobe marker.
    const bool inverted = cmyk && c.saw_Adobe_marker;
    JSAMPARRAY spare = cmyk ? (*c.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&c),
                                                     JPOOL_IMAGE, c.output_width * 4, 1)
                            : nullptr;
    while (c.output_scanline < c.output_height) {
        uchar* line = bits + bytesPerLine * static_cast<qsizetype>(c.output_scanline);
        if (!cmyk) {
            JSAMPROW row = line;
            jpeg_read_scanlines(&c, &row, 1);
            continue;
        }
        jpeg_read_scanlines(&c, spare, 1);
        const JSAMPLE* in = spare[0];
        for (JDIMENSION x = 0; x < c.output_width; ++x, in += 4, line += 3) {
            int cc = in[0], m = in[1], y = in[2], k = in[3];
            if (!inverted) {
                cc = 255 - cc;
                m = 255 - m;
                y = 255 - y;
                k = 255 - k;
            }
            line[0] = static_cast<uchar>(cc * k / 255);
            line[1] = static_cast<uchar>(m * k / 255);
            line[2] = static_cast<uchar>(y * k / 255);
        }
    }
    jpeg_finish_decompress(&c);
    return true;
}

// A growing memory buffer as libjpeg's destination. Unlike jpeg_mem_dest it keeps the buffer
// in one owner even when compression fails half-way.
struct JpegMemoryDestination {
    jpeg_destination_mgr pub;
    JOCTET* data;
    size_t capacity;
    size_t size;
};

void JpegDestinationInit(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegMemoryDestination*>(cinfo->dest);
    dest->capacity = 64 * 1024;
    dest->data = static_cast<JOCTET*>(std::malloc(dest->capacity));
    if (!dest->data) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
    dest->pub.next_output_byte = dest->data;
    dest->pub.free_in_buffer = dest->capacity;
}

boolean JpegDestinationGrow(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegMemoryDestination*>(cinfo->dest);
    const size_t grown = dest->capacity * 2;
    auto* data = static_cast<JOCTET*>(std::realloc(dest->data, grown));
    if (!data) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 1);
    dest->data = data;
    dest->pub.next_output_byte = data + dest->capacity;
    dest->pub.free_in_buffer = grown - dest->capacity;
    dest->capacity = grown;
    return TRUE;
}

void JpegDestinationTerm(j_compress_ptr cinfo) {
    auto* dest = reinterpret_cast<JpegMemoryDestination*>(cinfo->dest);
    dest->size = dest->capacity - dest->pub.free_in_buffer;
}

class JpegCompressor {
public:
    JpegCompressor() {
        InitJpegErrors(err);
        cinfo.err = &err.pub;
        dest.pub.init_destination = JpegDestinationInit;
        dest.pub.empty_output_buffer = JpegDestinationGrow;
        dest.pub.term_destination = JpegDestinationTerm;
    }
    ~JpegCompressor() {
        if (created) jpeg_destroy_compress(&cinfo);
        std::free(dest.data);
    }
    JpegCompressor(const JpegCompressor&) = delete;
    JpegCompressor& operator=(const JpegCompressor&) = delete;

    jpeg_compress_struct cinfo{};
    JpegErrorManager err{};
    JpegMemoryDestination dest{};
    bool created = false;
};

// image is RGB888, RGB32 or ARGB32 (the alpha byte is ignored).
bool JpegCompress(JpegCompressor& e, const QImage& image, int quality) {
    if (setjmp(e.err.jump) != 0) return false;
    jpeg_compress_struct& c = e.cinfo;
    jpeg_create_compress(&c);
    e.created = true;
    c.dest = &e.dest.pub;
    c.image_width = static_cast<JDIMENSION>(image.width());
    c.image_height = static_cast<JDIMENSION>(image.height());
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    const bool packed = image.format() == QImage::Format_RGB888;
    JSAMPARRAY spare = packed ? nullptr
                              : (*c.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&c),
                                                       JPOOL_IMAGE, c.image_width * 3, 1);
    while (c.next_scanline < c.image_height) {
        const uchar* line = image.constScanLine(static_cast<int>(c.next_scanline));
        if (packed) {
            JSAMPROW row = const_cast<JSAMPROW>(line);
            jpeg_write_scanlines(&c, &row, 1);
            continue;
        }
        const auto* in = reinterpret_cast<const QRgb*>(line);
        JSAMPLE* out = spare[0];
        for (JDIMENSION x = 0; x < c.image_width; ++x, out += 3) {
            out[0] = static_cast<JSAMPLE>(qRed(in[x]));
            out[1] = static_cast<JSAMPLE>(qGreen(in[x]));
            out[2] = static_cast<JSAMPLE>(qBlue(in[x]));
        }
        jpeg_write_scanlines(&c, spare, 1);
    }
    jpeg_finish_compress(&c);
    return true;
}

} // namespace

QImage picture::LoadJpeg(const QString& path) {
    const FilePtr file = OpenForReading(path);
    JpegDecompressor d;
    const auto failed = [&] {
        if (d.err.tooManyScans) {
            Fail(QStringLiteral("%1 has more than %2 scans.").arg(Quoted(path)).arg(kMaxJpegScans));
        }
        Fail(QStringLiteral("%1 is not a readable JPEG file: %2")
                 .arg(Quoted(path), JpegMessage(d.err, reinterpret_cast<j_common_ptr>(&d.cinfo))));
    };
    if (!JpegReadHeader(d, file.get())) failed();
    CheckPixelCount(d.cinfo.output_width, d.cinfo.output_height, path);
    // Cameras and phones store the picture as the sensor saw it and say how to turn it. The saved
    // markers live until the decompression finishes.
    int orientation = 1;
    for (jpeg_saved_marker_ptr m = d.cinfo.marker_list; m; m = m->next) {
        const QByteArray exif = QByteArray::fromRawData(reinterpret_cast<const char*>(m->data),
                                                        static_cast<qsizetype>(m->data_length));
        if (m->marker == JPEG_APP0 + 1 && exif.startsWith(QByteArray("Exif\0\0", 6))) {
            orientation = ExifOrientation(exif);
            break;
        }
    }
    QImage image(static_cast<int>(d.cinfo.output_width), static_cast<int>(d.cinfo.output_height),
                 QImage::Format_RGB888);
    if (image.isNull()) Fail(QStringLiteral("Not enough memory for %1.").arg(Quoted(path)));
    if (!JpegReadRows(d, image.bits(), image.bytesPerLine())) failed();
    if (d.err.lostData) {
        Fail(QStringLiteral("%1 is damaged or cut short: %2")
                 .arg(Quoted(path), JpegMessage(d.err, reinterpret_cast<j_common_ptr>(&d.cinfo))));
    }
    return Oriented(image, orientation);
}

// A growing memory buffer as libjpeg's destination. Unlike jpeg_mem_dest it keeps the buffer

QByteArray EncodeJpeg(const QImage& image, int quality) {
    CheckWritable(image, "JPEG");
    QImage converted;
    const QImage* rows = &image;
    switch (image.format()) {
    case QImage::Format_RGB888:
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
        break;
    default:
        converted = image.convertToFormat(QImage::Format_RGB888);
        if (converted.isNull()) Fail(QStringLiteral("Not enough memory to convert the picture."));
        rows = &converted;
        break;
    }
    JpegCompressor e;
    if (!JpegCompress(e, *rows, std::clamp(quality, 1, 100))) {
        Fail(QStringLiteral("Cannot write the picture as JPEG: %1")
                 .arg(JpegMessage(e.err, reinterpret_cast<j_common_ptr>(&e.cinfo))));
    }
    return QByteArray(reinterpret_cast<const char*>(e.dest.data),
                      static_cast<qsizetype>(e.dest.size));
}

void WriteJpeg(const QImage& image, const QString& path, int quality) {
    ReplaceFile(path, EncodeJpeg(image, quality));
}
