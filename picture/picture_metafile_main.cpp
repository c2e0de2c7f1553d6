// imglift-metafile KIND NAME MEMORY SECONDS: draws the Windows metafile (KIND "wmf"), the
// enhanced metafile ("emf") or the HEIF or AVIF picture ("heif") on standard input and writes the
// pixels to standard output, as the picture reader of the main program expects them. NAME only
// words the messages; MEMORY (bytes of address space) and SECONDS (of processor time) bound what a
// damaged file can take.

#include "picture/picture_metafile.h"
#include "picture/picture_support.h"

#include <QFile>
#include <QGuiApplication>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <utility>

using namespace picture;

namespace {

void Limit(int resource, rlim_t value) {
    const rlimit limit{value, value};
    if (::setrlimit(resource, &limit) != 0) {
        std::perror("imglift-metafile: setrlimit");
        std::exit(2);
    }
}

void Report(std::string_view message) {
    HelperBegin(STDOUT_FILENO, 'E', message.size());
    HelperWrite(STDOUT_FILENO, message.data(), message.size());
}

// VmHWM and VmPeak of this process in KiB: what the drawing took, after the exec.
void WritePeak() {
    std::int64_t peak[2] = {-1, -1};
    std::string status;
    const posix::UniqueFd fd(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    if (fd.Valid() && posix::ReadAll(fd.Get(), status)) {
        for (const auto& [key, slot] : {std::pair{"\nVmHWM:", 0}, std::pair{"\nVmPeak:", 1}}) {
            const auto at = status.find(key);
            if (at != std::string::npos)
                peak[slot] = std::strtoll(status.c_str() + at + std::strlen(key), nullptr, 10);
        }
    }
    HelperWrite(STDOUT_FILENO, "M", 1);
    HelperWrite(STDOUT_FILENO, peak, sizeof peak);
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view kind = argc == 5 ? argv[1] : "";
    if (kind != "wmf" && kind != "emf" && kind != "heif") {
        std::fprintf(stderr, "usage: imglift-metafile wmf|emf|heif NAME MEMORY SECONDS\n");
        return 2;
    }
    // Ends with the program that started it, whatever it is doing, and holds none of its
    // descriptors (sockets, say) that lacked close-on-exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1) return 1;
    ::close_range(STDERR_FILENO + 1, ~0U, 0);
    Limit(RLIMIT_AS, std::strtoull(argv[3], nullptr, 10));
    Limit(RLIMIT_CPU, std::strtoull(argv[4], nullptr, 10));
    Limit(RLIMIT_CORE, 0);

    // Text in an enhanced metafile needs Qt's fonts, which need an application; never a display.
    const bool enhanced = kind == "emf";
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    std::optional<QGuiApplication> app;
    if (enhanced) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qunsetenv("QT_QPA_PLATFORMTHEME");
        app.emplace(qtArgc, qtArgv);
    }

    const QString name = QFile::decodeName(argv[2]);
    try {
        const posix::UniqueFd input(STDIN_FILENO);
        QByteArray data = ReadWholeFile(input, name);
        if (enhanced) {
            DrawEmf(data, name, STDOUT_FILENO);
        } else if (kind == "heif") {
            DrawHeif(data, name, STDOUT_FILENO);
        } else {
            DrawWmf(data, name, STDOUT_FILENO);
        }
    } catch (const EPictureError& e) {
        Report(e.what());
    } catch (const std::bad_alloc&) {
        Report(QStringLiteral("%1 needs more memory than a picture may take.")
                   .arg(Quoted(name))
                   .toStdString());
    }
    WritePeak();
    return 0;
}
