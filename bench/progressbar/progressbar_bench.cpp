// Cost of the upload panel's progress bar: one off-screen render, one screen update per
// progress report, and how much of the bar a report repaints.
#include "controls/progressbar.h"

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TdxfProgressBar bar;
    bar.resize(289, 25);
    bar.SetStyle(sExRectangles);
    bar.SetBeginColor(QColor(0, 0, 128));
    bar.SetEndColor(QColor(0, 0, 255));
    bar.SetShowTextStyle(stsPosition);

    const auto styles = {sSolid, sRectangles, sExSolid, sExRectangles};
    const char* names[] = {"sSolid", "sRectangles", "sExSolid", "sExRectangles"};
    int i = 0;
    for (TdxfPBStyle style : styles) {
        bar.SetStyle(style);
        constexpr int rounds = 20000;
        QElapsedTimer t;
        t.start();
        qint64 sink = 0;
        for (int r = 0; r < rounds; ++r) {
            bar.SetPosition(r % 101);
            sink += bar.Render().pixel(2, 2);
        }
        std::printf("render %-14s 289x25: %.2f us per frame (%lld)\n", names[i++],
                    t.nsecsElapsed() / 1000.0 / rounds, static_cast<long long>(sink & 1));
    }

    // An upload reports every few blocks: positions 0..100 one by one.
    bar.SetStyle(sExRectangles);
    bar.SetPosition(0);
    bar.ClearInvalidated();
    long long area = 0;
    for (int p = 1; p <= 100; ++p)
        bar.SetPosition(p);
    for (const QRect& r : bar.Invalidated())
        area += static_cast<long long>(r.intersected(bar.rect()).width()) *
                r.intersected(bar.rect()).height();
    const long long whole = 100LL * bar.width() * bar.height();
    std::printf("invalidated by 100 steps: %lld px of %lld for whole repaints (%.1f %%)\n", area,
                whole, 100.0 * area / whole);

    // Through the window system: set a position and let the event loop paint it.
    bar.show();
    app.processEvents();
    constexpr int updates = 5000;
    QElapsedTimer t;
    t.start();
    for (int r = 0; r < updates; ++r) {
        bar.SetPosition(r % 101);
        app.processEvents();
    }
    std::printf("screen update per progress report: %.2f us\n",
                t.nsecsElapsed() / 1000.0 / updates);
    return 0;
}
