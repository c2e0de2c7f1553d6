#pragma once

#include "controls/enhancedform.h"

#include <QImage>
#include <QSize>

class QPainter;

enum TEFWallPaperDisplay { dwTile, dwCenter };

class TEFWallPaper : public TEFBase {
public:
    explicit TEFWallPaper(TEnhancedForm* owner);

    TEFWallPaperDisplay Display() const { return FDisplay; }
    void SetDisplay(TEFWallPaperDisplay value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    const QImage& Bitmap() const { return FBitmap; }
    void SetBitmap(const QImage& value);

    void Update() override;

    // Makes the prepared picture again when the client area has outgrown it.
    void Prepare(bool force = false);
    const QImage& Prepared() const { return FPrepared; }
    // Copies the client-sized part of the prepared picture into the client area.
    void PaintOn(QPainter& p) const;
    bool Drawable() const;

private:
    TEFWallPaperDisplay FDisplay = dwTile;
    bool FEnabled = true;
    QImage FBitmap;
    QImage FPrepared;
    QSize FPreparedFor;
};
