#include "capture/vsnapshot.h"

#include "picture/picture.h"

#include <QColor>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QWidget>
#include <exception>
#include <memory>
#include <stdexcept>

TVSnapShot::TVSnapShot(QObject* parent) : QObject(parent) {
}

namespace {

// What the form's client area shows in its rectangle source (client coordinates: from the top
// left corner of the form's contentsRect()), in a picture of the same size. The
// form renders itself, so the picture does not depend on the screen (a Wayland compositor hands
// out no window contents, and another window may cover the form); a painted title strip lies
// outside the client area. Parts of the rectangle outside the client area are clipped, as a copy
// from the form's drawing surface is, and stay white like a fresh bitmap.
QImage RenderClientArea(QWidget* form, const QRect& source) {
    QImage picture(source.size(), QImage::Format_RGB32);
    picture.fill(Qt::white);
    const QRect client = form->contentsRect();
    const QRect inForm = source.translated(client.topLeft());
    const QRect visible = inForm.intersected(client);
    if (visible.isEmpty()) return picture;
    const QPixmap shot = form->grab(visible);
    if (shot.isNull()) return picture;
    QPainter p(&picture);
    p.drawPixmap(QRect(visible.topLeft() - inForm.topLeft(), visible.size()), shot);
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
    const QImage bitmap = source.isEmpty() ? QImage() : RenderClientArea(Form, source);
    holder->setPixmap(QPixmap::fromImage(bitmap));
    try {
        WriteJpeg(holder->pixmap().toImage(), FileName, Quality & 0xff);
    } catch (const std::exception&) {
        // The caller learns nothing of a failed write.
    }
}
