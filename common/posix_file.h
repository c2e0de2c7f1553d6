#pragma once

// Thin RAII and retry-on-EINTR wrappers over POSIX descriptors. Failures come back as values
// with errno set, so each caller words its own error.

#include <string>
#include <string_view>
#include <utility>

namespace posix {

// A file descriptor that closes itself.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { Close(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = other.Release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }
    // Closes now and reports the result: a failing close can mean lost data.
    int Close();

private:
    int fd_;
};

// Reads from fd until its end into out (appending). False with errno set on a read error.
bool ReadAll(int fd, std::string& out);

// Writes all of data. False with errno set when a write fails or writes nothing.
bool WriteAll(int fd, std::string_view data);
bool WriteAll(int fd, const void* data, std::size_t size);

// strerror of the given error number.
std::string ErrnoText(int err);

// Full path of the running program file (/proc/self/exe); empty when it cannot be found.
std::string ExecutablePath();

} // namespace posix
