#include "app/timage.h"

#include <QMouseEvent>
#include <QPainter>

TImage::TImage(QWidget* parent) : QWidget(parent) {
}

void TImage::SetPicture(const QImage& Picture) {
    FPicture = Picture;
    if (FAutoSize && !FPicture.isNull()) resize(FPicture.size());
    update();
}

void TImage::ClearPicture() {
    FPicture = QImage();
    update();
}

void TImage::SetAutoSize(bool Value) {
    FAutoSize = Value;
    if (FAutoSize && !FPicture.isNull()) resize(FPicture.size());
}

void TImage::SetStretch(bool Value) {
    FStretch = Value;
    update();
}

void TImage::paintEvent(QPaintEvent*) {
    if (FPicture.isNull()) return;
    QPainter painter(this);
    if (FStretch)
        painter.drawImage(rect(), FPicture);
    else
        painter.drawImage(0, 0, FPicture);
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        OnClick)
        OnClick();
    QWidget::mouseReleaseEvent(event);
}
