#pragma once

// Metafile decoders are old C code that can crash or loop for minutes on a damaged file (a
// bitmap record stretched over 30000 units, say). They run in a child process that writes 'O'
// and its result, or 'E' and a message; the parent reads with a deadline and kills a child that
// overruns it. The child touches no Qt object beyond plain strings and exits with _exit.

#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstddef>
#include <functional>
#include <sys/types.h>

namespace picture {

// In the child: writes all of data or ends the child.
void ChildWrite(int fd, const void* data, std::size_t size);

class IsolatedRun {
public:
    // Runs work(fd) in a child; work writes 'O' and its result to fd or throws.
    IsolatedRun(const QString& path, const std::function<void(int)>& work);
    ~IsolatedRun();
    IsolatedRun(const IsolatedRun&) = delete;
    IsolatedRun& operator=(const IsolatedRun&) = delete;

    // The child's first byte: returns for a result, throws the child's message for an error.
    void ExpectResult();
    void ReadExactly(void* buffer, std::size_t size);
    QByteArray ReadToEnd(qint64 maxBytes);
    // Waits for the child's end; a child that died of a signal reports a crash.
    void Finish();

private:
    // Up to size bytes, 0 at the end of the child's output; throws at the deadline.
    std::size_t ReadSome(void* buffer, std::size_t size);
    [[noreturn]] void Overrun();

    QString path_;
    std::chrono::steady_clock::time_point deadline_;
    pid_t pid_ = -1;
    int fd_ = -1;
};

} // namespace picture
