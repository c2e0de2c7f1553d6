// Owns the X clipboard for a test, from a process of its own, so that the test reads it through
// the X server as it would read a file manager's.
//   clipboard_owner FORMAT DATA [FORMAT DATA ...]
// DATA "@PATH" offers the bytes of that file (a picture, say).
// Prints "ready" once it owns the clipboard and keeps it until it is ended.
#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.size() % 2 != 0) {
        std::fprintf(stderr, "usage: clipboard_owner FORMAT DATA [FORMAT DATA ...]\n");
        return 2;
    }
    auto* const data = new QMimeData; // the clipboard takes it
    for (qsizetype i = 0; i < args.size(); i += 2) {
        QByteArray bytes = args[i + 1].toUtf8();
        if (args[i + 1].startsWith('@')) {
            QFile file(args[i + 1].mid(1));
            if (!file.open(QIODevice::ReadOnly)) return 2;
            bytes = file.readAll();
        }
        data->setData(args[i], bytes);
    }
    QGuiApplication::clipboard()->setMimeData(data);
    QTimer::singleShot(0, &app, [] {
        std::printf(QGuiApplication::clipboard()->ownsClipboard() ? "ready\n" : "not owner\n");
        std::fflush(stdout);
    });
    return app.exec();
}
