#include "capture/vsnapshot.h"

#include "picture/picture.h"

#include <QColor>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <exception>
#include <memory>
#include <stdexcept>

TVSnapShot::TVSnapShot(QObject* parent) : QObject(parent) {
}

namespace {

// What the screen shows of the form's rectangle source, in a picture of the same size. Parts of the
// rectangle outside the form's client area are clipped, as a copy from the form's drawing
// surface is, and stay white like a fresh bitmap.
QImage CopyFromScreen(const QWidget* form, const QRect& source) {
    QImage picture(source.size(), QImage::Format_RGB32);
    picture.fill(Qt::white);
    const QRect visible = source.intersected(form->rect());
    const QWidget* const window = form->window();
    QScreen* const screen = window->screen();
    if (visible.isEmpty() || !screen || !form->isVisible() || !window->internalWinId())
        return picture;
    const QPoint at = form->mapTo(window, visible.topLeft());
    const QPixmap shot = screen->grabWindow(window->internalWinId(), at.x(), at.y(),
                                            visible.width(), visible.height());
    if (shot.isNull()) return picture;
    QPainter p(&picture);
    p.drawPixmap(QRect(visible.topLeft() - source.topLeft(), visible.size()), shot);
    return picture;
}

} // namespace

void TVSnapShot::SaveToJPEGFile(std::int32_t Quality, const QString& FileName, QWidget* Form,
                                QWidget* Control, std::int32_t XOffset,
                                std::int32_t YOffset) const {
    if (!Form || !Control) throw std::invalid_argument("SaveToJPEGFile needs a form and a control");
    const int width = Control->width();
    const int height = Control->height();
    // The picture control is the form's child for the length of the call; it is never shown.
    const auto holder = std::make_unique<QLabel>(Form);
    holder->hide();
    holder->resize(width, height);
    const QRect source(Control->x() + XOffset, Control->y() + YOffset, width, height);
    const QImage bitmap = source.isEmpty() ? QImage() : CopyFromScreen(Form, source);
    holder->setPixmap(QPixmap::fromImage(bitmap));
    try {
        WriteJpeg(holder->pixmap().toImage(), FileName, Quality & 0xff);
    } catch (const std::exception&) {
        // The caller learns nothing of a failed write.
    }
}
