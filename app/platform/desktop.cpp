#include "app/platform/desktop.h"

#include "app/platform/screen.h"
#include "picture/picture.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QUrl>

namespace desktop {

bool PressPrintScreen(bool area) {
    const std::unique_ptr<screen::TScreen> source = screen::ChooseScreen();
    if (!source) return false;
    const std::optional<QImage> shot = area ? source->GrabArea() : source->Grab();
    if (!shot || shot->isNull()) return false;
    QGuiApplication::clipboard()->setImage(*shot);
    return true;
}

void ClearClipboard() {
    QGuiApplication::clipboard()->clear();
}

namespace {

QList<QUrl> LocalFiles(const QList<QUrl>& urls) {
    QList<QUrl> files;
    for (const QUrl& url : urls)
        if (url.isLocalFile()) files << url;
    return files;
}

// GNOME's form: "copy" or "cut", then one URL a line.
QList<QUrl> GnomeCopiedFiles(const QByteArray& data) {
    QList<QByteArray> lines = data.split('\n');
    const QByteArray verb = lines.isEmpty() ? QByteArray() : lines.takeFirst().trimmed();
    if (verb != "copy" && verb != "cut") return {};
    QList<QUrl> urls;
    for (const QByteArray& line : lines)
        if (!line.trimmed().isEmpty()) urls << QUrl::fromEncoded(line.trimmed());
    return LocalFiles(urls);
}

// The older plain-text form: nothing but file URLs, one a line. Any other line makes it text.
QList<QUrl> PlainTextFiles(const QByteArray& text) {
    QList<QUrl> files;
    for (const QByteArray& line : text.split('\n')) {
        const QByteArray entry = line.trimmed();
        if (entry.isEmpty()) continue;
        if (!entry.toLower().startsWith("file://")) return {};
        const QUrl url = QUrl::fromEncoded(entry);
        if (!url.isValid() || !url.isLocalFile()) return {};
        files << url;
    }
    return files;
}

} // namespace

std::optional<QList<QUrl>> ClipboardFileList() {
    const QMimeData* const data = QGuiApplication::clipboard()->mimeData();
    if (!data) return std::nullopt;
    QList<QUrl> files;
    if (data->hasUrls()) files = LocalFiles(data->urls());
    const QString gnome = QStringLiteral("x-special/gnome-copied-files");
    if (files.isEmpty() && data->hasFormat(gnome)) files = GnomeCopiedFiles(data->data(gnome));
    if (files.isEmpty() && data->hasText()) {
        // The raw bytes, so that names that are not UTF-8 keep them.
        QByteArray plain = data->data(QStringLiteral("text/plain"));
        if (plain.isEmpty()) plain = data->text().toUtf8();
        files = PlainTextFiles(plain);
    }
    if (files.isEmpty()) return std::nullopt;
    return files;
}

std::optional<QImage> ClipboardPicture() {
    const QMimeData* const data = QGuiApplication::clipboard()->mimeData();
    if (!data) return std::nullopt;
    // The bytes another program offers go through the same limits as a file.
    const std::pair<const char*, TPictureKind> offered[] = {
        {"image/png", pkPhoto}, {"image/jpeg", pkJPEG}, {"image/bmp", pkBitmap}};
    for (const auto& [type, kind] : offered) {
        if (!data->hasFormat(QLatin1String(type))) continue;
        const QByteArray bytes = data->data(QLatin1String(type));
        if (bytes.isEmpty()) continue;
        return LoadPictureData(bytes, kind, QStringLiteral("The clipboard's %1").arg(type));
    }
    if (!data->hasImage()) return std::nullopt;
    const QImage image = qvariant_cast<QImage>(data->imageData());
    if (image.isNull()) throw EPictureError("The clipboard's picture does not decode.");
    return image;
}

} // namespace desktop
