// picture_pipeline SRC OUT: loads SRC as the program does, fits it into 620 x 480 keeping its
// proportions, writes OUT as JPEG of quality 80, and prints the time of each stage and the
// peak memory.

#include "app/imaging.h"
#include "picture/picture.h"

#include <QGuiApplication>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

namespace {

// VmRSS or VmHWM of this process in KiB.
long StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
    }
    return -1;
}

// Wall and processor time; the machine may be shared, so both are shown.
struct Stamp {
    std::chrono::steady_clock::time_point wall;
    double cpuMs;
};

Stamp Now() {
    timespec cpu{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return {std::chrono::steady_clock::now(), cpu.tv_sec * 1e3 + cpu.tv_nsec / 1e6};
}

void PrintStage(const char* name, const Stamp& from, const Stamp& to) {
    std::printf("%-8s %8.1f ms wall %8.1f ms cpu\n", name,
                std::chrono::duration<double, std::milli>(to.wall - from.wall).count(),
                to.cpuMs - from.cpuMs);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SRC OUT\n", argv[0]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString source = QString::fromLocal8Bit(argv[1]);
    const QString target = QString::fromLocal8Bit(argv[2]);
    try {
        const auto kind = PictureKindOfExtension(FileExtension(source));
        if (!CheckImageFileType(source) || !kind) {
            std::fprintf(stderr, "Not supportet Image File\n");
            return 1;
        }
        const long baseKiB = StatusKiB("VmRSS");
        const Stamp t0 = Now();
        const QImage picture = LoadPicture(source, *kind);
        const Stamp t1 = Now();
        const TImageSettings settings = ParseImageSettings("620", "480", "80");
        const QImage scaled = ResizeImage(picture, picture.size(), settings, false, true);
        const Stamp t2 = Now();
        WriteJpeg(scaled, target, settings.Quality);
        const Stamp t3 = Now();
        const long peakKiB = StatusKiB("VmHWM");

        const double decodedMiB = static_cast<double>(picture.sizeInBytes()) / (1 << 20);
        std::printf("source   %d x %d, decoded %.1f MiB\n", picture.width(), picture.height(),
                    decodedMiB);
        std::printf("output   %d x %d\n", scaled.width(), scaled.height());
        PrintStage("load", t0, t1);
        PrintStage("scale", t1, t2);
        PrintStage("write", t2, t3);
        PrintStage("total", t0, t3);
        std::printf(
            "peak     %8.1f MiB (before loading %.1f MiB, growth %.1f MiB = %.2fx decoded)\n",
            peakKiB / 1024.0, baseKiB / 1024.0, (peakKiB - baseKiB) / 1024.0,
            (peakKiB - baseKiB) / 1024.0 / decodedMiB);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
