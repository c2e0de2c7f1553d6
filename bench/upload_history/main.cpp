// What the upload history costs.
//   upload_history uploads --port P --dir D --db PATH [--rounds N]
//     N uploads of a 620 x 465 JPEG to a local FTP server (user "user", password "secret"), each
//     followed by what the window does to record it (thumbnail and one transaction); prints the
//     median and largest times of both.
//   upload_history fill --db PATH --entries N
//     fills a history with N entries, thumbnails included, for timing `imglift --history`.
//   upload_history list --db PATH
//     opens the history and reads every entry without thumbnails, five times.

#include "ftp/ftpclient.h"
#include "history/history.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

QImage Picture(int Seed) {
    QImage image(620, 465, QImage::Format_RGB32);
    QPainter painter(&image);
    painter.fillRect(image.rect(), QColor::fromHsv(Seed * 37 % 360, 180, 220));
    painter.drawText(image.rect(), Qt::AlignCenter, QString::number(Seed));
    return image;
}

THistoryEntry Entry(int Seed, const QImage& Image, qint64 Size) {
    THistoryEntry entry;
    entry.Protocol = "ftp";
    entry.Host = "127.0.0.1";
    entry.Port = "21";
    entry.User = "user";
    entry.Folder = "/";
    entry.Name = QStringLiteral("bench-%1.jpg").arg(Seed);
    entry.Address = "https://pics.example/up/" + entry.Name;
    entry.Size = Size;
    entry.Width = Image.width();
    entry.Height = Image.height();
    entry.Source = "/home/user/Pictures/" + entry.Name;
    entry.Thumbnail = TUploadHistory::MakeThumbnail(Image);
    return entry;
}

double Ms(const QElapsedTimer& Clock) {
    return double(Clock.nsecsElapsed()) / 1e6;
}

void Report(const char* What, std::vector<double> Times) {
    std::sort(Times.begin(), Times.end());
    std::printf("%-8s median %7.2f ms  max %7.2f ms\n", What, Times[Times.size() / 2],
                Times.back());
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const auto option = [&](const QString& Name, const QString& Default = {}) {
        const qsizetype at = args.indexOf(Name);
        return at > 0 && at + 1 < args.size() ? args[at + 1] : Default;
    };
    const QString db = option("--db");
    if (args.size() < 2 || db.isEmpty()) {
        std::fprintf(stderr, "usage: upload_history uploads|fill --db PATH ...\n");
        return 2;
    }
    TUploadHistory history(db);

    if (args[1] == "fill") {
        const int entries = option("--entries", "10000").toInt();
        for (int i = 0; i < entries; ++i)
            if (!history.Record(Entry(i, Picture(i % 50), 40000 + i))) {
                std::fprintf(stderr, "%s\n", qPrintable(history.Problem()));
                return 1;
            }
        return 0;
    }

    if (args[1] == "list") {
        // Opening and reading every entry, as `imglift --history` does, inside the process.
        // Processor time beside wall time: on a shared machine the wall clock mostly waits.
        std::vector<double> times, cpu;
        for (int i = 0; i < 5; ++i) {
            QElapsedTimer clock;
            clock.start();
            const std::clock_t start = std::clock();
            TUploadHistory reader(db);
            const std::size_t count = reader.Query({}, -1, false).size();
            times.push_back(Ms(clock));
            cpu.push_back(double(std::clock() - start) * 1000.0 / CLOCKS_PER_SEC);
            if (count == 0) return 1;
        }
        Report("query", times);
        Report("cpu", cpu);
        return 0;
    }

    const int rounds = option("--rounds", "100").toInt();
    TFtpClient ftp;
    ftp.SetHostName("127.0.0.1");
    ftp.SetPort(option("--port").toStdString());
    ftp.SetUserName("user");
    ftp.SetPassWord("secret");
    ftp.SetHostDirName("/");
    const QString local = option("--dir") + "/bench.jpg";
    std::vector<double> uploads, records;
    for (int i = 0; i < rounds; ++i) {
        const QImage image = Picture(i);
        if (!image.save(local, "JPG", 80)) return 1;
        ftp.SetLocalFileName(QFile::encodeName(local).toStdString());
        ftp.SetHostFileName(QStringLiteral("bench-%1.jpg").arg(i).toStdString());
        QElapsedTimer clock;
        clock.start();
        if (!ftp.Upload()) {
            std::fprintf(stderr, "upload failed: %s\n", ftp.ErrorMessage().c_str());
            return 1;
        }
        uploads.push_back(Ms(clock));
        clock.restart();
        if (!history.Record(Entry(i, image, QFile(local).size()))) {
            std::fprintf(stderr, "%s\n", qPrintable(history.Problem()));
            return 1;
        }
        records.push_back(Ms(clock));
    }
    std::printf("%d uploads of a 620 x 465 JPEG\n", rounds);
    Report("upload", uploads);
    Report("record", records);
    return 0;
}
