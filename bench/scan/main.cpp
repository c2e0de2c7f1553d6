// One scan from the default source without its dialog, through the manager and TSRTWAIN into a
// bitmap. Prints: width height depth, seconds until the manager is open, seconds in all, seconds
// from Acquire until the image is in the bitmap, peak memory in KiB before the scan and at the
// end. With --empty it only makes the application and exits, as the baseline to subtract.

#include "twain/apphook.h"
#include "twain/srtwain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

long PeakKiB() {
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').at(0).toLong();
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--empty") == 0) return 0;
    try {
        QElapsedTimer clock;
        clock.start();
        TSRTWAIN twain;
        bool done = false;
        twain.OnScanReady = [&](QObject*) { done = true; };
        twain.SetShowUI(false);
        twain.InitTWAIN();
        const double opened = clock.nsecsElapsed() / 1e9;
        const long peakBefore = PeakKiB();
        TBitmap bitmap;
        QElapsedTimer acquire;
        acquire.start();
        twain.Acquire(bitmap);
        while (!done)
            apphook::ProcessMessages(50);
        const double acquired = acquire.nsecsElapsed() / 1e9;
        const QImage& image = bitmap.Image();
        std::printf("%d %d %d %.3f %.3f %.4f %ld %ld\n", image.width(), image.height(),
                    image.depth(), opened, clock.nsecsElapsed() / 1e9, acquired, peakBefore,
                    PeakKiB());
        return image.isNull() ? 1 : 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "scan: %s\n", e.what());
        return 1;
    }
}
