#include "app/platform/screen.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

namespace screen {

namespace {

class TX11Screen final : public TScreen {
public:
    QString Name() const override { return QStringLiteral("x11"); }

    std::optional<QImage> Grab() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) return std::nullopt;
        QScreen* const primary = QGuiApplication::primaryScreen();
        if (!primary) return std::nullopt;
        // One picture of the virtual desktop; a gap between screens stays black.
        const QRect desktop = primary->virtualGeometry();
        const qreal ratio = primary->devicePixelRatio();
        QImage whole(desktop.size() * ratio, QImage::Format_RGB32);
        if (whole.isNull()) return std::nullopt;
        whole.setDevicePixelRatio(ratio);
        whole.fill(Qt::black);
        bool any = false;
        QPainter p(&whole);
        for (QScreen* const s : primary->virtualSiblings()) {
            const QRect place = s->geometry();
            const QPixmap part = s->grabWindow(0, 0, 0, place.width(), place.height());
            if (part.isNull()) continue;
            p.drawPixmap(QRect(place.topLeft() - desktop.topLeft(), place.size()), part);
            any = true;
        }
        p.end();
        if (!any) return std::nullopt;
        whole.setDevicePixelRatio(1);
        return whole;
    }

    std::optional<QImage> GrabArea() override {
        const std::optional<QImage> whole = Grab();
        if (!whole) return std::nullopt;
        return ChooseArea(*whole);
    }
};

} // namespace

std::unique_ptr<TScreen> MakeX11Screen() {
    return std::make_unique<TX11Screen>();
}

} // namespace screen
