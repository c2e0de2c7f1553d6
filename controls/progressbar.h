#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

class QPainter;

enum TdxfBevelOuter { bvNone, bvLowered, bvRaised };
enum TdxfPBOrientation { orVertical, orHorizontal };
enum TdxfShowTextStyle { stsPercent, stsPosition };
enum TdxfPBStyle { sSolid, sRectangles, sExSolid, sExRectangles, sPictures };

// Self-painted progress bar: solid, blocks, gradient, shaded blocks or repeated pictures, with the
// value as optional text. Painting is double-buffered, and a change of Position invalidates only
// the strip around the moving end of the bar, so frequent updates do not flicker.
class TdxfProgressBar : public QWidget {
    Q_OBJECT
public:
    using TNotifyEvent = std::function<void(QObject* Sender)>;
    using TMouseEvent = std::function<void(QObject* Sender, Qt::MouseButton Button,
                                           Qt::KeyboardModifiers Shift, int X, int Y)>;
    using TMouseMoveEvent =
        std::function<void(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y)>;

    explicit TdxfProgressBar(QWidget* parent = nullptr);
    ~TdxfProgressBar() override;

    TdxfBevelOuter BarBevelOuter() const { return FBarBevelOuter; }
    void SetBarBevelOuter(TdxfBevelOuter value);
    TdxfBevelOuter BevelOuter() const { return FBevelOuter; }
    void SetBevelOuter(TdxfBevelOuter value);
    TdxfPBOrientation Orientation() const { return FOrientation; }
    void SetOrientation(TdxfPBOrientation value);
    std::int32_t Max() const { return FMax; }
    void SetMax(std::int32_t value);
    std::int32_t Min() const { return FMin; }
    void SetMin(std::int32_t value);
    std::int32_t Position() const { return FPosition; }
    void SetPosition(std::int32_t value);
    bool ShowText() const { return FShowText; }
    void SetShowText(bool value);
    TdxfShowTextStyle ShowTextStyle() const { return FShowTextStyle; }
    void SetShowTextStyle(TdxfShowTextStyle value);
    QColor BeginColor() const { return FBeginColor; }
    void SetBeginColor(const QColor& value);
    QColor EndColor() const { return FEndColor; }
    void SetEndColor(const QColor& value);
    TdxfPBStyle Style() const { return FStyle; }
    void SetStyle(TdxfPBStyle value);
    const QImage& Glyph() const { return FGlyph; }
    void SetGlyph(const QImage& value);
    std::int32_t Step() const { return FStep; }
    void SetStep(std::int32_t value);
    bool TransparentGlyph() const { return FTransparentGlyph; }
    void SetTransparentGlyph(bool value);

    // Inherited Color: the background, kept in the palette's Window role so that a parent's colour
    // reaches the bar as long as none is set on it.
    QColor Color() const;
    void SetColor(const QColor& value);

    // Whether the owned glyph is currently drawn with its transparent colour (the colour of its
    // bottom-left pixel) left out.
    bool GlyphTransparent() const { return FGlyphTransparent; }

    void StepIt();
    void StepBy(std::int32_t delta);

    // To be called once the owner has set the properties.
    void Loaded();

    // The text the bar shows for the current settings (drawn only when ShowText is true).
    QString Text() const;

    // Draws the whole control into a new image of the control's size; Paint copies it to the
    // screen.
    QImage Render() const;

    // Rectangles handed to update() since the last ClearInvalidated(), oldest first.
    const std::vector<QRect>& Invalidated() const { return FInvalidated; }
    void ClearInvalidated() { FInvalidated.clear(); }

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseEvent OnMouseDown;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseUp;

protected:
    virtual void Paint();

    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void Invalidate();
    void InvalidateRect(const QRect& r);
    void InvalidatePositionStrip(std::int32_t oldPos, std::int32_t newPos);
    void InvalidateTextArea(int minWidth);
    std::int64_t EndOf(int extent, std::int32_t value) const;
    QColor Gradient(std::int64_t offset, int n) const;
    void DrawBarEdge(QPainter& p, const QRect& r) const;
    void PaintHorizontal(QPainter& p, int L, int T, int R, int B) const;
    void PaintVertical(QPainter& p, int L, int T, int R, int B) const;
    void PaintText(QPainter& p) const;

    TdxfBevelOuter FBarBevelOuter = bvNone;
    TdxfBevelOuter FBevelOuter = bvLowered;
    TdxfPBOrientation FOrientation = orHorizontal;
    std::int32_t FMax = 100;
    std::int32_t FMin = 0;
    std::int32_t FPosition = 0;
    bool FShowText = false;
    TdxfShowTextStyle FShowTextStyle = stsPercent;
    QColor FBeginColor{0, 0, 128};
    QColor FEndColor{255, 255, 255};
    TdxfPBStyle FStyle = sRectangles;
    QImage FGlyph;
    bool FGlyphTransparent = false;
    std::int32_t FStep = 10;
    bool FTransparentGlyph = true;
    bool FPressed = false;
    std::vector<QRect> FInvalidated;
};
