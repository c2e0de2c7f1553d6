#include "app/platform/desktop.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPixmap>
#include <QScreen>
#include <QUrl>

namespace desktop {

bool PressPrintScreen() {
    QScreen* const screen = QGuiApplication::primaryScreen();
    if (!screen) return false;
    const QPixmap shot = screen->grabWindow(0);
    if (shot.isNull()) return false;
    QGuiApplication::clipboard()->setImage(shot.toImage());
    return true;
}

void ClearClipboard() {
    QGuiApplication::clipboard()->clear();
}

std::optional<QStringList> ClipboardFileList() {
    const QMimeData* const data = QGuiApplication::clipboard()->mimeData();
    if (!data || !data->hasUrls()) return std::nullopt;
    QStringList files;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile()) files << url.toLocalFile();
    if (files.isEmpty()) return std::nullopt;
    return files;
}

} // namespace desktop
