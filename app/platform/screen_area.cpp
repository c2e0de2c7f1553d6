// The part of the screen the user marks: the frozen desktop over every screen, a rubber band drawn
// with the mouse, Escape to give up.

#include "app/platform/screen.h"

#include <QEventLoop>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWidget>

namespace screen {

namespace {

class TAreaChooser final : public QWidget {
public:
    explicit TAreaChooser(const QImage& Frozen) : FFrozen(Frozen) {
        setObjectName(QStringLiteral("imglift-area"));
        // Above everything, without a frame, and past the window manager so that it covers all
        // screens at once; the grabs below then bring it the keyboard.
        setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                       Qt::X11BypassWindowManagerHint);
        setAttribute(Qt::WA_DeleteOnClose, false);
        setCursor(Qt::CrossCursor);
    }

    // The chosen rectangle in the picture's pixels, or nothing when the user gave up.
    std::optional<QRect> Choose(const QRect& Desktop) {
        setGeometry(Desktop);
        show();
        raise();
        activateWindow();
        grabKeyboard();
        grabMouse();
        QEventLoop loop;
        FLoop = &loop;
        loop.exec();
        FLoop = nullptr;
        releaseMouse();
        releaseKeyboard();
        hide();
        return FChosen;
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.drawImage(rect(), FFrozen);
        p.fillRect(rect(), QColor(0, 0, 0, 80));
        if (FDragging && !FBand.isEmpty()) {
            // The band shows the picture as it will be taken.
            p.drawImage(FBand, FFrozen, ToPicture(FBand));
            p.setPen(QPen(QColor(48, 140, 255), 1));
            p.drawRect(FBand.adjusted(0, 0, -1, -1));
        }
    }

    void mousePressEvent(QMouseEvent* Event) override {
        if (Event->button() != Qt::LeftButton) return;
        FDragging = true;
        FOrigin = Event->position().toPoint();
        FBand = QRect();
        update();
    }

    void mouseMoveEvent(QMouseEvent* Event) override {
        if (!FDragging) return;
        FBand = Band(Event->position().toPoint());
        update();
    }

    void mouseReleaseEvent(QMouseEvent* Event) override {
        if (!FDragging || Event->button() != Qt::LeftButton) return;
        FDragging = false;
        FBand = Band(Event->position().toPoint());
        // A click without a drag marks nothing; the user may try again.
        if (FBand.isEmpty()) {
            update();
            return;
        }
        FChosen = ToPicture(FBand);
        Finish();
    }

    void keyPressEvent(QKeyEvent* Event) override {
        if (Event->key() == Qt::Key_Escape) Finish();
    }

private:
    // From the press to here; the corner under the mouse is outside, as a drag from x 100 to
    // x 300 marks 200 pixels.
    QRect Band(QPoint To) const {
        const QPoint a(std::min(FOrigin.x(), To.x()), std::min(FOrigin.y(), To.y()));
        const QPoint b(std::max(FOrigin.x(), To.x()), std::max(FOrigin.y(), To.y()));
        return QRect(a, QSize(b.x() - a.x(), b.y() - a.y())).intersected(rect());
    }

    // The window may be smaller than the picture by the screens' scale.
    QRect ToPicture(const QRect& Band) const {
        const qreal sx = static_cast<qreal>(FFrozen.width()) / std::max(1, width());
        const qreal sy = static_cast<qreal>(FFrozen.height()) / std::max(1, height());
        return QRect(qRound(Band.x() * sx), qRound(Band.y() * sy), qRound(Band.width() * sx),
                     qRound(Band.height() * sy))
            .intersected(FFrozen.rect());
    }

    void Finish() {
        if (FLoop) FLoop->quit();
    }

    const QImage FFrozen;
    QEventLoop* FLoop = nullptr;
    bool FDragging = false;
    QPoint FOrigin;
    QRect FBand;
    std::optional<QRect> FChosen;
};

} // namespace

std::optional<QImage> ChooseArea(const QImage& Desktop) {
    if (Desktop.isNull()) return std::nullopt;
    QScreen* const primary = QGuiApplication::primaryScreen();
    if (!primary) return std::nullopt;
    TAreaChooser chooser(Desktop);
    const std::optional<QRect> area = chooser.Choose(primary->virtualGeometry());
    if (!area || area->isEmpty()) return std::nullopt;
    return Desktop.copy(*area);
}

} // namespace screen
