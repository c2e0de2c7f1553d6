#include "app/platform/desktop.h"

#include "app/platform/screen.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

namespace desktop {

bool PressPrintScreen() {
    const std::unique_ptr<screen::TScreen> source = screen::ChooseScreen();
    if (!source) return false;
    const std::optional<QImage> shot = source->Grab();
    if (!shot || shot->isNull()) return false;
    QGuiApplication::clipboard()->setImage(*shot);
    return true;
}

void ClearClipboard() {
    QGuiApplication::clipboard()->clear();
}

namespace {

QStringList LocalFiles(const QList<QUrl>& urls) {
    QStringList files;
    for (const QUrl& url : urls)
        if (url.isLocalFile()) files << url.toLocalFile();
    return files;
}

// GNOME's form: "copy" or "cut", then one URL a line.
QStringList GnomeCopiedFiles(const QByteArray& data) {
    QList<QByteArray> lines = data.split('\n');
    const QByteArray verb = lines.isEmpty() ? QByteArray() : lines.takeFirst().trimmed();
    if (verb != "copy" && verb != "cut") return {};
    QList<QUrl> urls;
    for (const QByteArray& line : lines)
        if (!line.trimmed().isEmpty()) urls << QUrl::fromEncoded(line.trimmed());
    return LocalFiles(urls);
}

// The older plain-text form: nothing but file URLs, one a line. Any other line makes it text.
QStringList PlainTextFiles(const QString& text) {
    QStringList files;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QString entry = line.trimmed();
        if (entry.isEmpty()) continue;
        if (!entry.startsWith(QLatin1String("file://"), Qt::CaseInsensitive)) return {};
        const QUrl url(entry);
        if (!url.isValid() || !url.isLocalFile()) return {};
        files << url.toLocalFile();
    }
    return files;
}

} // namespace

std::optional<QStringList> ClipboardFileList() {
    const QMimeData* const data = QGuiApplication::clipboard()->mimeData();
    if (!data) return std::nullopt;
    QStringList files;
    if (data->hasUrls()) files = LocalFiles(data->urls());
    const QString gnome = QStringLiteral("x-special/gnome-copied-files");
    if (files.isEmpty() && data->hasFormat(gnome)) files = GnomeCopiedFiles(data->data(gnome));
    if (files.isEmpty() && data->hasText()) files = PlainTextFiles(data->text());
    if (files.isEmpty()) return std::nullopt;
    return files;
}

} // namespace desktop
