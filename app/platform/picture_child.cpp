#include "app/platform/picture_child.h"

#include "app/platform/picture_support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace picture {
namespace {

std::atomic<int> metafileTimeLimitMs{20000};

} // namespace

void ChildWrite(int fd, const void* data, std::size_t size) {
    if (!posix::WriteAll(fd, data, size)) ::_exit(1);
}

IsolatedRun::IsolatedRun(const QString& path, const std::function<void(int)>& work)
    : path_(path), deadline_(std::chrono::steady_clock::now() +
                             std::chrono::milliseconds(metafileTimeLimitMs.load())) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        Fail(QStringLiteral("Cannot start the metafile reader: %1").arg(ErrnoText()));
    }
    posix::UniqueFd readEnd(fds[0]);
    posix::UniqueFd writeEnd(fds[1]);
    pid_ = ::fork();
    if (pid_ < 0) Fail(QStringLiteral("Cannot start the metafile reader: %1").arg(ErrnoText()));
    if (pid_ == 0) {
        ::close(readEnd.Release());
        try {
            work(writeEnd.Get());
        } catch (const std::exception& e) {
            ChildWrite(writeEnd.Get(), "E", 1);
            ChildWrite(writeEnd.Get(), e.what(), std::strlen(e.what()));
        }
        ::_exit(0);
    }
    fd_ = readEnd.Release();
}

IsolatedRun::~IsolatedRun() {
    if (fd_ >= 0) ::close(fd_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

void IsolatedRun::ExpectResult() {
    char status = 0;
    if (ReadSome(&status, 1) == 1 && status == 'O') return;
    QByteArray message;
    if (status == 'E') message = ReadToEnd(4096);
    Finish();
    Fail(message.isEmpty() ? QStringLiteral("%1 could not be decoded.").arg(Quoted(path_))
                           : QString::fromUtf8(message));
}

void IsolatedRun::ReadExactly(void* buffer, std::size_t size) {
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

QByteArray IsolatedRun::ReadToEnd(qint64 maxBytes) {
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

void IsolatedRun::Finish() {
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

std::size_t IsolatedRun::ReadSome(void* buffer, std::size_t size) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) Overrun();
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (ready < 0 && errno != EINTR)
            Fail(QStringLiteral("Cannot read the metafile reader: %1").arg(ErrnoText()));
        if (ready <= 0) continue;
        const ssize_t n = ::read(fd_, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(QStringLiteral("Cannot read the metafile reader: %1").arg(ErrnoText()));
        return static_cast<size_t>(n);
    }
}

void IsolatedRun::Overrun() {
    Fail(QStringLiteral("%1 took longer than %2 seconds to draw and was given up.")
             .arg(Quoted(path_))
             .arg(metafileTimeLimitMs.load() / 1000.0));
}

} // namespace picture

void SetMetafileTimeLimit(std::chrono::milliseconds limit) {
    picture::metafileTimeLimitMs.store(static_cast<int>(std::max<long long>(1, limit.count())));
}
