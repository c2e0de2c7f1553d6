#include "picture/picture_child.h"

#include "picture/picture_log.h"
#include "picture/picture_support.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace picture {
namespace {

std::atomic<int> metafileTimeLimitMs{5000};
std::atomic<std::uint64_t> metafileMemoryLimit{kMetafileMemoryLimit};

// Waits until fd is readable, at most until the deadline; false when the deadline came first.
// On the application's thread the event loop runs meanwhile, so the window keeps painting and
// answering; user input waits, so that nothing starts a second load halfway through this one.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    const QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread()) {
        QEventLoop loop;
        QSocketNotifier notifier(fd, QSocketNotifier::Read);
        QTimer timer;
        timer.setSingleShot(true);
        bool ready = false;
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, [&] {
            ready = true;
            loop.quit();
        });
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(static_cast<int>(left));
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        return ready;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR) {
        Fail(QStringLiteral("Cannot read the metafile reader: %1").arg(ErrnoText()));
    }
    return ready > 0;
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

} // namespace

QString MetafileHelperPath() {
    const QString name = QStringLiteral("imglift-metafile");
    if (const QString env = qEnvironmentVariable("IMGLIFT_METAFILE_HELPER"); !env.isEmpty()) {
        return env;
    }
    const QString dir =
        QFileInfo(QFile::decodeName(QByteArray::fromStdString(posix::ExecutablePath())))
            .absolutePath();
    for (const QString& candidate : {dir + QLatin1Char('/') + name,
                                     dir + QStringLiteral("/../" IMGLIFT_PKGLIBDIR "/") + name}) {
        if (QFileInfo(candidate).isExecutable()) return QFileInfo(candidate).absoluteFilePath();
    }
    return {};
}

MetafileRun::MetafileRun(const QString& path, const char* kind, const posix::UniqueFd& input,
                         int timeFactor)
    : path_(path), limitMs_(metafileTimeLimitMs.load() * std::max(1, timeFactor)),
      started_(std::chrono::steady_clock::now()),
      deadline_(started_ + std::chrono::milliseconds(limitMs_)) {
    const QString helper = MetafileHelperPath();
    if (helper.isEmpty()) {
        Fail(QStringLiteral("The metafile reader imglift-metafile is not installed."));
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        Fail(QStringLiteral("Cannot start the metafile reader: %1").arg(ErrnoText()));
    }
    posix::UniqueFd readEnd(fds[0]);
    const posix::UniqueFd writeEnd(fds[1]);
    // Fewer wake-ups for a large picture; the default size is fine where this is refused.
    ::fcntl(readEnd.Get(), F_SETPIPE_SZ, 1 << 20);

    const QByteArray program = QFile::encodeName(helper);
    const QByteArray name = QFile::encodeName(path);
    const QByteArray memory =
        QByteArray::number(static_cast<qulonglong>(metafileMemoryLimit.load()));
    // A CPU limit a little beyond the deadline ends a helper whose caller died meanwhile.
    const QByteArray seconds = QByteArray::number(limitMs_ / 1000 + 2);
    std::vector<char*> argv{
        const_cast<char*>(program.constData()), const_cast<char*>(kind),
        const_cast<char*>(name.constData()),    const_cast<char*>(memory.constData()),
        const_cast<char*>(seconds.constData()), nullptr};
    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, input.Get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.Get(), STDOUT_FILENO);
    // Whatever this program blocks or ignores, the helper starts with the defaults: a helper
    // whose reader is gone dies of SIGPIPE.
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigmask(&setup.attributes, &mask);
    sigaddset(&mask, SIGPIPE);
    posix_spawnattr_setsigdefault(&setup.attributes, &mask);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int err = ::posix_spawn(&pid_, program.constData(), &setup.actions, &setup.attributes,
                                  argv.data(), environ);
    if (err != 0) {
        pid_ = -1;
        errno = err;
        Fail(QStringLiteral("Cannot start the metafile reader %1: %2")
                 .arg(Quoted(helper), ErrnoText()));
    }
    // Reads are non-blocking: the deadline is checked between them.
    ::fcntl(readEnd.Get(), F_SETFL, ::fcntl(readEnd.Get(), F_GETFL) | O_NONBLOCK);
    fd_ = std::move(readEnd);
}

MetafileRun::~MetafileRun() {
    fd_.Close();
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

QImage MetafileRun::ReadPicture() {
    const std::uint64_t length = ExpectResult();
    qint32 size[2] = {};
    if (length < sizeof size) Fail(QStringLiteral("%1 could not be decoded.").arg(Quoted(path_)));
    ReadExactly(size, sizeof size);
    CheckPixelCount(size[0], size[1], path_);
    if (length != sizeof size + std::uint64_t{4} * static_cast<std::uint32_t>(size[0]) *
                                    static_cast<std::uint32_t>(size[1])) {
        Fail(QStringLiteral("%1 could not be decoded.").arg(Quoted(path_)));
    }
    QImage image(size[0], size[1], QImage::Format_ARGB32);
    if (image.isNull()) Fail(QStringLiteral("Not enough memory for %1.").arg(Quoted(path_)));
    // ARGB32 lines are exactly width * 4 bytes: the rows arrive in place.
    ReadExactly(image.bits(), static_cast<size_t>(image.sizeInBytes()));
    Finish();
    return image;
}

std::uint64_t MetafileRun::ExpectResult() {
    char kind = 0;
    std::uint64_t length = 0;
    if (ReadSome(&kind, 1) == 1 && (kind == 'O' || kind == 'E'))
        ReadExactly(&length, sizeof length);
    if (kind == 'O') return length;
    QByteArray message;
    if (kind == 'E' && length <= 4096) {
        message.resize(static_cast<qsizetype>(length));
        ReadExactly(message.data(), static_cast<std::size_t>(length));
    }
    Finish();
    Fail(message.isEmpty() ? QStringLiteral("%1 could not be decoded.").arg(Quoted(path_))
                           : QString::fromUtf8(message));
}

void MetafileRun::ReadExactly(void* buffer, std::size_t size) {
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        const std::size_t n = ReadSome(p, size);
        if (n == 0) {
            Finish();
            Fail(QStringLiteral("%1 could not be decoded.").arg(Quoted(path_)));
        }
        p += n;
        size -= n;
    }
}

void MetafileRun::Finish() {
    // The helper's closing figures; a helper that was killed has none.
    char trailer[1 + 2 * sizeof(std::int64_t)] = {};
    std::size_t got = 0;
    while (got < sizeof trailer) {
        const std::size_t n = ReadSome(trailer + got, sizeof trailer - got);
        if (n == 0) break;
        got += n;
    }
    std::int64_t peak[2] = {-1, -1};
    if (got == sizeof trailer && trailer[0] == 'M') std::memcpy(peak, trailer + 1, sizeof peak);
    char rest = 0;
    while (ReadSome(&rest, 1) == 1) {
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started_)
                        .count();
    qCDebug(lcPicture, "Drew %s in %lld ms, helper peak %lld KiB resident, %lld KiB address space",
            qUtf8Printable(path_), static_cast<long long>(ms), static_cast<long long>(peak[0]),
            static_cast<long long>(peak[1]));
    if (WIFSIGNALED(status)) {
        Fail(QStringLiteral("The metafile reader failed on %1 (signal %2).")
                 .arg(Quoted(path_))
                 .arg(WTERMSIG(status)));
    }
}

std::size_t MetafileRun::ReadSome(void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_.Get(), buffer, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN) {
            Fail(QStringLiteral("Cannot read the metafile reader: %1").arg(ErrnoText()));
        }
        if (std::chrono::steady_clock::now() >= deadline_) Overrun();
        WaitReadable(fd_.Get(), deadline_);
    }
}

void MetafileRun::Overrun() {
    Fail(QStringLiteral("%1 took longer than %2 seconds to draw and was given up.")
             .arg(Quoted(path_))
             .arg(limitMs_ / 1000.0));
}

} // namespace picture

void SetMetafileTimeLimit(std::chrono::milliseconds limit) {
    picture::metafileTimeLimitMs.store(static_cast<int>(std::max<long long>(1, limit.count())));
}

void SetMetafileMemoryLimit(std::uint64_t bytes) {
    picture::metafileMemoryLimit.store(bytes);
}
