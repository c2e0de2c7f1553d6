#pragma once

// Metafile decoders are old C code that can crash, loop for minutes or ask for gigabytes on a
// damaged file (a bitmap record stretched over 30000 units, a pen billions of units wide), and
// the drawing an enhanced metafile converts to can be as slow or as large. Decoding and drawing
// run in imglift-metafile, a small program of ours started with exec under a memory limit; it
// reads the file on its standard input and replies with the pixels, as picture_metafile.h
// describes.
// The caller reads with a deadline, keeps the event loop running meanwhile and kills a helper
// that overruns it.

#include "common/posix_file.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace picture {

// Address space the helper may use at first: the largest picture (512 MiB of pixels), its file
// and the libraries.
inline constexpr std::uint64_t kMetafileMemoryLimit = std::uint64_t{1} << 30;

// The helper program: IMGLIFT_METAFILE_HELPER when set, else imglift-metafile beside the
// running program or in ../lib/imglift from its folder. Empty when none is found.
QString MetafileHelperPath();

class MetafileRun {
public:
    // Starts the helper for kind ("wmf", "emf" or "heif") on the open file. The time limit is
    // the metafile limit times timeFactor: a camera's HEIC takes seconds of honest work.
    MetafileRun(const QString& path, const char* kind, const posix::UniqueFd& input,
                int timeFactor = 1);
    ~MetafileRun();
    MetafileRun(const MetafileRun&) = delete;
    MetafileRun& operator=(const MetafileRun&) = delete;

    // The helper's picture, once it has ended; or throws its message.
    QImage ReadPicture();

private:
    // The length of the helper's result, or throws the helper's message.
    std::uint64_t ExpectResult();
    void ReadExactly(void* buffer, std::size_t size);
    // Waits for the helper's end and logs what it cost; one that died of a signal reports a
    // crash.
    void Finish();
    // Up to size bytes, 0 at the end of the helper's output; throws at the deadline.
    std::size_t ReadSome(void* buffer, std::size_t size);
    [[noreturn]] void Overrun();

    QString path_;
    int limitMs_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point deadline_;
    pid_t pid_ = -1;
    posix::UniqueFd fd_;
};

} // namespace picture
