#include "app/platform/picture.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QSaveFile>
#include <QSvgRenderer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <jerror.h>
#include <jpeglib.h>

#include <libwmf/api.h>
#include <libwmf/gd.h>
#include <libwmf/gd/gd.h>

#include <emf2svg.h>

namespace {

// Screen resolution at which metafiles get their pixel size, as on the original desktop.
constexpr int kScreenPixelsPerInch = 96;
// Metafiles are read whole; anything larger is not a picture this program should take.
constexpr qint64 kMaxMetafileBytes = qint64{256} << 20;
// The drawing an enhanced metafile converts to; text, so larger than the file.
constexpr qint64 kMaxSvgBytes = qint64{1} << 30;
// A progressive JPEG has a handful of scans; thousands only make decoding take forever.
constexpr int kMaxJpegScans = 1000;

[[noreturn]] void Fail(const QString& text) {
    throw EPictureError(text.toStdString());
}

QString Quoted(const QString& path) {
    return QLatin1Char('"') + path + QLatin1Char('"');
}

// Little-endian fields of bitmap and metafile headers; callers check the lengths.
quint16 Word(const QByteArray& d, qsizetype at) {
    return static_cast<quint16>(static_cast<uchar>(d[at]) | static_cast<uchar>(d[at + 1]) << 8);
}
qint16 Short(const QByteArray& d, qsizetype at) {
    return static_cast<qint16>(Word(d, at));
}
quint32 DWord(const QByteArray& d, qsizetype at) {
    return Word(d, at) | static_cast<quint32>(Word(d, at + 2)) << 16;
}
qint32 Long(const QByteArray& d, qsizetype at) {
    return static_cast<qint32>(DWord(d, at));
}

void CheckPixelCount(std::int64_t width, std::int64_t height, const QString& path) {
    if (width <= 0 || height <= 0) {
        Fail(
            QStringLiteral("%1 has no pixels (%2 x %3).").arg(Quoted(path)).arg(width).arg(height));
    }
    if (width > kMaxPicturePixels || height > kMaxPicturePixels ||
        width * height > kMaxPicturePixels) {
        Fail(QStringLiteral("%1 is %2 x %3 pixels, more than the %4 pixels allowed.")
                 .arg(Quoted(path))
                 .arg(width)
                 .arg(height)
                 .arg(kMaxPicturePixels));
    }
}

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

QString ErrnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Opens a regular file for reading. A folder would open and then fail in read, a FIFO would
// block in open or read; both are refused, checked on the open descriptor itself.
UniqueFd OpenRegularFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty()) Fail(QStringLiteral("No file name given."));
    UniqueFd fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), ErrnoText()));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), ErrnoText()));
    }
    if (S_ISDIR(st.st_mode)) {
        Fail(QStringLiteral("%1 is a folder, not a picture file.").arg(Quoted(path)));
    }
    if (!S_ISREG(st.st_mode)) Fail(QStringLiteral("%1 is not a regular file.").arg(Quoted(path)));
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), ErrnoText()));
    }
    return fd;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

FilePtr OpenForReading(const QString& path) {
    UniqueFd fd = OpenRegularFile(path);
    FilePtr file(::fdopen(fd.get(), "rb"));
    if (!file) Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), ErrnoText()));
    fd.release();
    return file;
}

// The QFile owns the descriptor once open succeeded.
void OpenQFile(QFile& file, const QString& path) {
    UniqueFd fd = OpenRegularFile(path);
    if (!file.open(fd.get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), file.errorString()));
    }
    fd.release();
}

QByteArray ReadWholeFile(const QString& path) {
    QFile file;
    OpenQFile(file, path);
    if (file.size() > kMaxMetafileBytes) {
        Fail(QStringLiteral("%1 is too large for a metafile (%2 bytes).")
                 .arg(Quoted(path))
                 .arg(file.size()));
    }
    QByteArray data = file.readAll();
    if (data.size() != file.size()) {
        Fail(QStringLiteral("Cannot read %1: %2").arg(Quoted(path), file.errorString()));
    }
    return data;
}

// ---------------------------------------------------------------------------------------------
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

QImage LoadJpeg(const QString& path) {
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
    QImage image(static_cast<int>(d.cinfo.output_width), static_cast<int>(d.cinfo.output_height),
                 QImage::Format_RGB888);
    if (image.isNull()) Fail(QStringLiteral("Not enough memory for %1.").arg(Quoted(path)));
    if (!JpegReadRows(d, image.bits(), image.bytesPerLine())) failed();
    if (d.err.lostData) {
        Fail(QStringLiteral("%1 is damaged or cut short: %2")
                 .arg(Quoted(path), JpegMessage(d.err, reinterpret_cast<j_common_ptr>(&d.cinfo))));
    }
    return image;
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

void CheckWritable(const QImage& image, const char* what) {
    if (image.isNull() || image.width() <= 0 || image.height() <= 0) {
        Fail(QStringLiteral("Cannot write an empty picture as %1: its width or height is 0.")
                 .arg(QLatin1String(what)));
    }
}

void ReplaceFile(const QString& path, const QByteArray& data) {
    QSaveFile file(path);
    // A writable file in a folder we may not create files in is still written, in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)) {
        Fail(QStringLiteral("Cannot create %1: %2").arg(Quoted(path), file.errorString()));
    }
    if (file.write(data) != data.size() || !file.commit()) {
        Fail(QStringLiteral("Cannot write %1: %2").arg(Quoted(path), file.errorString()));
    }
}

// ---------------------------------------------------------------------------------------------
// Windows bitmap and icon.

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

QImage LoadWithQt(const QString& path, const char* format) {
    QFile file;
    OpenQFile(file, path);
    if (std::strcmp(format, "bmp") == 0) CheckBitmapComplete(file, path);
    QImageReader reader(&file, format);
    reader.setDecideFormatFromContent(false);
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

// ---------------------------------------------------------------------------------------------
// Metafiles.

std::int64_t MulDiv(std::int64_t value, std::int64_t num, std::int64_t den) {
    return (value * num + den / 2) / den;
}

// Metafile decoders are old C code that can crash or loop for minutes on a damaged file (a
// bitmap record stretched over 30000 units, say). They run in a child process that writes 'O'
// and its result, or 'E' and a message; the parent reads with a deadline and kills a child that
// overruns it. The child touches no Qt object beyond plain strings and exits with _exit.
std::atomic<int> metafileTimeLimitMs{20000};

void WriteAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ::_exit(1);
        p += n;
        size -= static_cast<size_t>(n);
    }
}

class IsolatedRun {
public:
    // Runs work(fd) in a child; work writes 'O' and its result to fd or throws.
    IsolatedRun(const QString& path, const std::function<void(int)>& work)
        : path_(path), deadline_(std::chrono::steady_clock::now() +
                                 std::chrono::milliseconds(metafileTimeLimitMs.load())) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            Fail(QStringLiteral("Cannot start the metafile reader: %1").arg(ErrnoText()));
        }
        UniqueFd readEnd(fds[0]);
        UniqueFd writeEnd(fds[1]);
        pid_ = ::fork();
        if (pid_ < 0) Fail(QStringLiteral("Cannot start the metafile reader: %1").arg(ErrnoText()));
        if (pid_ == 0) {
            ::close(readEnd.release());
            try {
                work(writeEnd.get());
            } catch (const std::exception& e) {
                WriteAll(writeEnd.get(), "E", 1);
                WriteAll(writeEnd.get(), e.what(), std::strlen(e.what()));
            }
            ::_exit(0);
        }
        fd_ = readEnd.release();
    }
    ~IsolatedRun() {
        if (fd_ >= 0) ::close(fd_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    IsolatedRun(const IsolatedRun&) = delete;
    IsolatedRun& operator=(const IsolatedRun&) = delete;

    // The child's first byte: true for a result, false for an error (thrown with its message).
    void ExpectResult() {
        char status = 0;
        if (ReadSome(&status, 1) == 1 && status == 'O') return;
        QByteArray message;
        if (status == 'E') message = ReadToEnd(4096);
        Finish();
        Fail(message.isEmpty() ? QStringLiteral("%1 could not be decoded.").arg(Quoted(path_))
                               : QString::fromUtf8(message));
    }

    void ReadExactly(void* buffer, size_t size) {
        auto* p = static_cast<char*>(buffer);
        while (size > 0) {
            const size_t n = ReadSome(p, size);
            if (n == 0) {
                Finish();
                Fail(QStringLiteral("%1 could not be decoded.").arg(Quoted(path_)));
            }
            p += n;
            size -= n;
        }
    }

    QByteArray ReadToEnd(qint64 maxBytes) {
        QByteArray data;
        char chunk[65536];
        for (;;) {
            const size_t n = ReadSome(chunk, sizeof chunk);
            if (n == 0) return data;
            if (data.size() + static_cast<qint64>(n) > maxBytes) {
                Fail(QStringLiteral("%1 gives a drawing too large to handle.").arg(Quoted(path_)));
            }
            data.append(chunk, static_cast<qsizetype>(n));
        }
    }

    // Waits for the child's end; a child that died of a signal reports a crash.
    void Finish() {
        char rest = 0;
        while (ReadSome(&rest, 1) == 1) {
        }
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        if (WIFSIGNALED(status)) {
            Fail(QStringLiteral("The metafile reader failed on %1 (signal %2).")
                     .arg(Quoted(path_))
                     .arg(WTERMSIG(status)));
        }
    }

private:
    // Up to size bytes, 0 at the end of the child's output; throws at the deadline.
    size_t ReadSome(void* buffer, size_t size) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline_ - std::chrono::steady_clock::now());
            if (left.count() <= 0) Overrun();
            pollfd p{fd_, POLLIN, 0};
            const int ready =
                ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
            if (ready < 0 && errno != EINTR)
                Fail(QStringLiteral("Cannot read the metafile reader: %1").arg(ErrnoText()));
            if (ready <= 0) continue;
            const ssize_t n = ::read(fd_, buffer, size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) Fail(QStringLiteral("Cannot read the metafile reader: %1").arg(ErrnoText()));
            return static_cast<size_t>(n);
        }
    }

    [[noreturn]] void Overrun() {
        Fail(QStringLiteral("%1 took longer than %2 seconds to draw and was given up.")
                 .arg(Quoted(path_))
                 .arg(metafileTimeLimitMs.load() / 1000.0));
    }

    QString path_;
    std::chrono::steady_clock::time_point deadline_;
    pid_t pid_ = -1;
    int fd_ = -1;
};

constexpr quint32 kPlaceableKey = 0x9AC6CDD7u;
constexpr qsizetype kPlaceableSize = 22;
constexpr qsizetype kMetaHeaderSize = 18;

// Checks the record chain of a Windows metafile before libwmf reads it, so that no record
// points outside the file. Returns the offset of the standard header.
qsizetype CheckWmf(const QByteArray& d, const QString& path) {
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

// In the child: draws the metafile and writes 'O', width, height and the ARGB32 rows.
void DrawWmf(QByteArray& data, qsizetype start, const QString& path, int out) {
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
    WriteAll(out, "O", 1);
    WriteAll(out, size, sizeof size);
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
        WriteAll(out, line.data(), line.size() * sizeof(QRgb));
    }
}

QImage LoadWmf(const QString& path) {
    QByteArray data = ReadWholeFile(path);
    const qsizetype start = CheckWmf(data, path);
    IsolatedRun child(path, [&](int out) { DrawWmf(data, start, path, out); });
    child.ExpectResult();
    qint32 size[2] = {};
    child.ReadExactly(size, sizeof size);
    CheckPixelCount(size[0], size[1], path);
    QImage image(size[0], size[1], QImage::Format_ARGB32);
    if (image.isNull()) Fail(QStringLiteral("Not enough memory for %1.").arg(Quoted(path)));
    // ARGB32 lines are exactly width * 4 bytes: the rows arrive in place.
    child.ReadExactly(image.bits(), static_cast<size_t>(image.sizeInBytes()));
    child.Finish();
    return image;
}

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

QImage LoadEmf(const QString& path) {
    QByteArray data = ReadWholeFile(path);
    std::int64_t frameWidth = 0;
    std::int64_t frameHeight = 0;
    CheckEmf(data, path, frameWidth, frameHeight);
    const std::int64_t width = MulDiv(std::abs(frameWidth), kScreenPixelsPerInch, 2540);
    const std::int64_t height = MulDiv(std::abs(frameHeight), kScreenPixelsPerInch, 2540);
    CheckPixelCount(width, height, path);

    char nameSpace[] = "svg";
    generatorOptions options{};
    options.nameSpace = nameSpace;
    options.verbose = false;
    options.emfplus = true;
    options.svgDelimiter = true;
    options.imgWidth = static_cast<double>(width);
    options.imgHeight = static_cast<double>(height);
    IsolatedRun child(path, [&](int fd) {
        char* out = nullptr;
        size_t outLength = 0;
        const int ok =
            emf2svg(data.data(), static_cast<size_t>(data.size()), &out, &outLength, &options);
        const std::unique_ptr<char, MallocFree> svgText(out);
        if (!ok || !out || outLength == 0) {
            Fail(QStringLiteral("%1 is not a readable enhanced metafile.").arg(Quoted(path)));
        }
        WriteAll(fd, "O", 1);
        WriteAll(fd, out, outLength);
    });
    child.ExpectResult();
    const QByteArray svg = child.ReadToEnd(kMaxSvgBytes);
    child.Finish();
    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) Fail(QStringLiteral("%1 could not be drawn.").arg(Quoted(path)));

    QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_ARGB32);
    if (image.isNull()) Fail(QStringLiteral("Not enough memory for %1.").arg(Quoted(path)));
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter, QRectF(0, 0, width, height));
    painter.end();
    return image;
}

} // namespace

void SetMetafileTimeLimit(std::chrono::milliseconds limit) {
    metafileTimeLimitMs.store(static_cast<int>(std::max<long long>(1, limit.count())));
}

std::optional<TPictureKind> PictureKindOfExtension(const QString& extension) {
    const QString e = extension.toLower();
    if (e == QLatin1String("jpg") || e == QLatin1String("jpeg")) return pkJPEG;
    if (e == QLatin1String("bmp")) return pkBitmap;
    if (e == QLatin1String("ico")) return pkIcon;
    if (e == QLatin1String("emf")) return pkEnhMetafile;
    if (e == QLatin1String("wmf")) return pkMetafile;
    return std::nullopt;
}

QImage LoadPicture(const QString& path, TPictureKind kind) {
    switch (kind) {
    case pkJPEG:
        return LoadJpeg(path);
    case pkBitmap:
        return LoadWithQt(path, "bmp");
    case pkIcon:
        return LoadWithQt(path, "ico");
    case pkEnhMetafile:
        return LoadEmf(path);
    case pkMetafile:
        return LoadWmf(path);
    }
    Fail(QStringLiteral("Unknown picture kind."));
}

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
