#include "picture/picture_support.h"

#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace picture {

[[noreturn]] void Fail(const QString& text) {
    throw EPictureError(text.toStdString());
}

QString Quoted(const QString& path) {
    return QLatin1Char('"') + path + QLatin1Char('"');
}

QString ErrnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
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

// Opens a regular file for reading. A folder would open and then fail in read, a FIFO would
// block in open or read; both are refused, checked on the open descriptor itself.
posix::UniqueFd OpenRegularFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty()) Fail(QStringLiteral("No file name given."));
    posix::UniqueFd fd(::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), ErrnoText()));
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), ErrnoText()));
    }
    if (S_ISDIR(st.st_mode)) {
        Fail(QStringLiteral("%1 is a folder, not a picture file.").arg(Quoted(path)));
    }
    if (!S_ISREG(st.st_mode)) Fail(QStringLiteral("%1 is not a regular file.").arg(Quoted(path)));
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), ErrnoText()));
    }
    return fd;
}

// The QFile owns the descriptor once open succeeded.
void OpenQFile(QFile& file, const QString& path) {
    posix::UniqueFd fd = OpenRegularFile(path);
    if (!file.open(fd.Get(), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        Fail(QStringLiteral("Cannot open %1: %2").arg(Quoted(path), file.errorString()));
    }
    fd.Release();
}

QByteArray ReadWholeFile(const posix::UniqueFd& fd, const QString& path) {
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        Fail(QStringLiteral("Cannot read %1: %2").arg(Quoted(path), ErrnoText()));
    }
    if (st.st_size > kMaxMetafileBytes) {
        Fail(QStringLiteral("%1 is too large for a metafile (%2 bytes).")
                 .arg(Quoted(path))
                 .arg(st.st_size));
    }
    QByteArray data(static_cast<qsizetype>(st.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n =
            ::pread(fd.Get(), data.data() + done, static_cast<size_t>(data.size() - done), done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(QStringLiteral("Cannot read %1: %2").arg(Quoted(path), ErrnoText()));
        if (n == 0) Fail(QStringLiteral("%1 was cut short while being read.").arg(Quoted(path)));
        done += n;
    }
    return data;
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

} // namespace picture
