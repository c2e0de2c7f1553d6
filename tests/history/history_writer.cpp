// Records COUNT uploads into the history at PATH, named TAG-<n>.jpg, as fast as it can; prints
// "ready" after the first. The tests run two at once, or kill one in the middle.
#include "history/history.h"

#include <QGuiApplication>
#include <QImage>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    QGuiApplication app(argc, argv);
    TUploadHistory history(QString::fromLocal8Bit(argv[1]));
    const QString tag = QString::fromLocal8Bit(argv[2]);
    const int count = QString::fromLocal8Bit(argv[3]).toInt();
    QImage picture(300, 200, QImage::Format_RGB32);
    for (int i = 0; i < count; ++i) {
        picture.fill(QColor::fromHsv(i * 7 % 360, 200, 200));
        THistoryEntry entry;
        entry.Protocol = "ftp";
        entry.Host = "127.0.0.1";
        entry.Port = "21";
        entry.User = "user";
        entry.Folder = "/";
        entry.Name = QStringLiteral("%1-%2.jpg").arg(tag).arg(i);
        entry.Size = i;
        entry.Width = 300;
        entry.Height = 200;
        entry.Source = entry.Name;
        entry.Thumbnail = TUploadHistory::MakeThumbnail(picture);
        if (!history.Record(entry)) {
            std::fprintf(stderr, "%s\n", qPrintable(history.Problem()));
            return 1;
        }
        if (i == 0) {
            std::puts("ready");
            std::fflush(stdout);
        }
    }
    return 0;
}
