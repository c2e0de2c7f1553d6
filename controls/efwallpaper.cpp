#include "controls/efwallpaper.h"

#include <QPainter>
#include <QScreen>
#include <QWidget>

TEFWallPaper::TEFWallPaper(TEnhancedForm* owner) : TEFBase(owner) {
    Prepare(true);
}

void TEFWallPaper::SetDisplay(TEFWallPaperDisplay value) {
    if (value == FDisplay) return;
    FDisplay = value;
    Prepare(true);
    Update();
}

void TEFWallPaper::SetEnabled(bool value) {
    if (value == FEnabled) return;
    FEnabled = value;
    Update();
}

void TEFWallPaper::SetBitmap(const QImage& value) {
    if (&value == &FBitmap || value == FBitmap) return;
    FBitmap = value.copy();
    Prepare(true);
    Update();
}

bool TEFWallPaper::Drawable() const {
    return FEnabled && !FBitmap.isNull() && FBitmap.width() > 0 && FBitmap.height() > 0;
}

void TEFWallPaper::Update() {
    if (QWidget* form = FOwner->Form()) form->update(form->contentsRect());
}

void TEFWallPaper::Prepare(bool force) {
    const QWidget* form = FOwner->Form();
    if (!form || !Drawable()) {
        FPrepared = QImage();
        FPreparedFor = QSize();
        return;
    }
    const QSize client = form->contentsRect().size();
    if (!force && !FPrepared.isNull() && client.width() <= FPreparedFor.width() &&
        client.height() <= FPreparedFor.height())
        return;
    QSize size = client;
    if (const QScreen* screen = form->screen()) size = size.expandedTo(screen->size());
    FPreparedFor = size;
    FPrepared = QImage(size, QImage::Format_RGB32);
    QPainter p(&FPrepared);
    if (FDisplay == dwTile) {
        for (int x = 0; x < size.width(); x += FBitmap.width())
            for (int y = 0; y < size.height(); y += FBitmap.height())
                p.drawImage(x, y, FBitmap);
    } else {
        p.fillRect(FPrepared.rect(), form->palette().color(QPalette::Window));
        p.drawImage((size.width() - FBitmap.width()) / 2, (size.height() - FBitmap.height()) / 2,
                    FBitmap);
    }
}

void TEFWallPaper::PaintOn(QPainter& p) const {
    const QWidget* form = FOwner->Form();
    if (!form || !Drawable() || FPrepared.isNull()) return;
    const QRect client = form->contentsRect();
    QPoint from(0, 0);
    if (FDisplay == dwCenter)
        from = QPoint((FPrepared.width() - client.width()) / 2,
                      (FPrepared.height() - client.height()) / 2);
    p.drawImage(client.topLeft(), FPrepared, QRect(from, client.size()));
}
