#include "app/platform/screen.h"

#include <QGuiApplication>

namespace screen {

std::unique_ptr<TScreen> ChooseScreen() {
    const QByteArray forced = qgetenv("IMGLIFT_SCREEN").trimmed().toLower();
    if (forced == "portal") return MakePortalScreen();
    if (forced == "x11") return MakeX11Screen();
    if (forced == "none") return nullptr;
    if (PortalOffered()) return MakePortalScreen();
    if (QGuiApplication::platformName() == QLatin1String("xcb")) return MakeX11Screen();
    return nullptr;
}

} // namespace screen
