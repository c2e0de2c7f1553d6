#include "capture/vhtml.h"

#include <QDesktopServices>
#include <QUrl>

TVHTML::TVHTML(QObject* parent) : QObject(parent) {
}

void TVHTML::CallExternUrl(const QString& Url) const {
    // The shell's "open" verb: its outcome is deliberately ignored.
    (void)QDesktopServices::openUrl(QUrl::fromUserInput(Url));
}
