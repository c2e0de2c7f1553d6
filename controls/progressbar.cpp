#include "controls/progressbar.h"

#include <QEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

namespace {

// Far outside any widget, yet safe to build a QRect from.
constexpr std::int64_t kCoordLimit = std::int64_t{1} << 24;

int ClampCoord(std::int64_t v) {
    return static_cast<int>(std::clamp(v, -kCoordLimit, kCoordLimit));
}

// Rectangle from left, top and exclusive right, bottom.
QRect Ltrb(int l, int t, int r, int b) {
    return QRect(l, t, r - l, b - t);
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// a / b rounded to the nearest integer, halves to the even neighbour; b > 0.
std::int64_t RoundHalfEven(std::int64_t a, std::int64_t b) {
    std::int64_t q = FloorDiv(a, b);
    const std::int64_t r = a - q * b; // 0 <= r < b
    if (2 * r > b || (2 * r == b && (q % 2 != 0))) ++q;
    return q;
}

bool IsEmpty(const QImage& image) {
    return image.isNull() || image.width() <= 0 || image.height() <= 0;
}

bool IsScalable(const QFont& font) {
    const QFontInfo info(font);
    return QFontDatabase::isSmoothlyScalable(info.family(), info.styleName());
}

} // namespace

TdxfProgressBar::TdxfProgressBar(QWidget* parent) : QWidget(parent) {
    // Paint covers every pixel; erasing first would only flicker.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(150, 16);
}

TdxfProgressBar::~TdxfProgressBar() = default;

void TdxfProgressBar::SetBarBevelOuter(TdxfBevelOuter value) {
    if (value == FBarBevelOuter) return;
    FBarBevelOuter = value;
    Invalidate();
}

void TdxfProgressBar::SetBevelOuter(TdxfBevelOuter value) {
    if (value == FBevelOuter) return;
    FBevelOuter = value;
    Invalidate();
}

void TdxfProgressBar::SetOrientation(TdxfPBOrientation value) {
    if (value == FOrientation) return;
    FOrientation = value;
    Invalidate();
}

void TdxfProgressBar::SetMax(std::int32_t value) {
    if (value == FMax || value < FMin) return;
    FMax = value;
    Invalidate();
}

void TdxfProgressBar::SetMin(std::int32_t value) {
    if (value == FMin || value > FMax) return;
    FMin = value;
    Invalidate();
}

void TdxfProgressBar::SetPosition(std::int32_t value) {
    if (value == FPosition) return;
    const std::int32_t old = FPosition;
    const QString oldText = FShowText ? Text() : QString();
    FPosition = value;
    InvalidatePositionStrip(old, value);
    if (FShowText) {
        // The unclamped value can be wider than the widest regular text; cover old and new too.
        const QFontMetrics fm(font(), this);
        const int extra = std::max(fm.horizontalAdvance(oldText), fm.horizontalAdvance(Text()));
        InvalidateTextArea(extra);
    }
}

void TdxfProgressBar::SetShowText(bool value) {
    if (value == FShowText) return;
    FShowText = value;
    Invalidate();
}

void TdxfProgressBar::SetShowTextStyle(TdxfShowTextStyle value) {
    if (value == FShowTextStyle) return;
    FShowTextStyle = value;
    if (FShowText) Invalidate();
}

void TdxfProgressBar::SetBeginColor(const QColor& value) {
    if (value == FBeginColor) return;
    FBeginColor = value;
    if (FStyle != sPictures) Invalidate();
}

void TdxfProgressBar::SetEndColor(const QColor& value) {
    if (value == FEndColor) return;
    FEndColor = value;
    if (FStyle == sExSolid || FStyle == sExRectangles) Invalidate();
}

void TdxfProgressBar::SetStyle(TdxfPBStyle value) {
    if (value == FStyle) return;
    FStyle = value;
    Invalidate();
}

void TdxfProgressBar::SetGlyph(const QImage& value) {
    if (&value == &FGlyph || value == FGlyph) return;
    FGlyph = value.copy();
    if (!IsEmpty(FGlyph)) {
        if (FOrientation == orVertical)
            resize(FGlyph.width() + 4, height());
        else
            resize(width(), FGlyph.height() + 4);
        FGlyphTransparent = FTransparentGlyph;
    }
    if (FStyle == sPictures) Invalidate();
}

void TdxfProgressBar::SetStep(std::int32_t value) {
    FStep = value;
}

void TdxfProgressBar::SetTransparentGlyph(bool value) {
    if (value == FTransparentGlyph) return;
    FTransparentGlyph = value;
    FGlyphTransparent = value;
    Invalidate();
}

QColor TdxfProgressBar::Color() const {
    return palette().color(QPalette::Window);
}

void TdxfProgressBar::SetColor(const QColor& value) {
    if (value == Color()) return;
    QPalette pal = palette();
    pal.setColor(QPalette::Window, value);
    setPalette(pal); // repaints through changeEvent
}

void TdxfProgressBar::StepIt() {
    if (FStep != 0) SetPosition(static_cast<std::int32_t>(std::int64_t{FPosition} + FStep));
}

void TdxfProgressBar::StepBy(std::int32_t delta) {
    if (delta != 0) SetPosition(static_cast<std::int32_t>(std::int64_t{FPosition} + delta));
}

void TdxfProgressBar::Loaded() {
    if (!IsEmpty(FGlyph)) FGlyphTransparent = FTransparentGlyph;
    Invalidate();
}

QString TdxfProgressBar::Text() const {
    if (FShowTextStyle == stsPosition) return QString::number(FPosition);
    const std::int64_t range = std::int64_t{FMax} - FMin;
    const std::int64_t shown = std::int64_t{FPosition} - FMin;
    std::int64_t percent;
    if (range > 0)
        percent = RoundHalfEven(shown * 100, range);
    else // an empty range is either reached or not
        percent = shown > 0 ? 100 : 0;
    return QString::number(percent) + QStringLiteral(" %");
}

void TdxfProgressBar::Invalidate() {
    InvalidateRect(rect());
}

void TdxfProgressBar::InvalidateRect(const QRect& r) {
    FInvalidated.push_back(r);
    update(r);
}

std::int64_t TdxfProgressBar::EndOf(int extent, std::int32_t value) const {
    const std::int64_t range = std::int64_t{FMax} - FMin;
    const std::int64_t shown = std::int64_t{value} - FMin;
    if (range <= 0) return shown > 0 ? extent : 0;
    return std::int64_t{extent} * shown / range; // truncates toward zero
}

void TdxfProgressBar::InvalidatePositionStrip(std::int32_t oldPos, std::int32_t newPos) {
    const std::int32_t lo = std::min(oldPos, newPos);
    const std::int32_t hi = std::max(oldPos, newPos);
    const int w = width();
    const int h = height();
    std::int64_t l = 0, t = 0, r = w, b = h;
    const bool blocks = FStyle == sRectangles || FStyle == sExRectangles;
    if (FOrientation == orHorizontal) {
        l = EndOf(w, lo) - 2;
        r = EndOf(w, hi) + 2;
        std::int64_t pitch = 0;
        if (blocks) pitch = (2 * std::int64_t{h}) / 3 + 2;
        if (FStyle == sPictures) pitch = FGlyph.width();
        l -= pitch;
        r += pitch;
    } else {
        t = h - EndOf(h, hi) - 2;
        b = h - EndOf(h, lo) + 2;
        std::int64_t pitch = 0;
        if (blocks) pitch = (2 * std::int64_t{w}) / 3 + 2;
        if (FStyle == sPictures) pitch = FGlyph.height();
        t -= pitch;
        b += pitch;
    }
    if (l > r) std::swap(l, r);
    if (t > b) std::swap(t, b);
    if (l == r || t == b) return;
    InvalidateRect(Ltrb(ClampCoord(l), ClampCoord(t), ClampCoord(r), ClampCoord(b)));
}

void TdxfProgressBar::InvalidateTextArea(int minWidth) {
    const QFontMetrics fm(font(), this);
    const QString widest =
        FShowTextStyle == stsPosition ? QString::number(FMax) : QStringLiteral("100 %");
    const int tw = std::max(fm.horizontalAdvance(widest), minWidth);
    const int th = fm.height();
    const int rw = FOrientation == orVertical ? th : tw;
    const int rh = FOrientation == orVertical ? tw : th;
    const QRect area((width() - rw) / 2, (height() - rh) / 2, rw, rh);
    if (area.isEmpty()) return;
    InvalidateRect(area);
}

QColor TdxfProgressBar::Gradient(std::int64_t offset, int n) const {
    const auto channel = [&](int begin, int end) {
        // begin + offset * (end - begin) / n, truncated; the sum is never negative in range.
        const std::int64_t v = begin + FloorDiv(offset * (end - begin), n);
        return static_cast<int>(std::clamp<std::int64_t>(v, 0, 255));
    };
    if (n <= 0) return FBeginColor;
    return QColor(channel(FBeginColor.red(), FEndColor.red()),
                  channel(FBeginColor.green(), FEndColor.green()),
                  channel(FBeginColor.blue(), FEndColor.blue()));
}

namespace {

// One-pixel edge: first the top and left sides, then the bottom and right ones.
void DrawEdgePair(QPainter& p, const QRect& r, TdxfBevelOuter bevel, const QPalette& pal) {
    if (bevel == bvNone || r.isEmpty()) return;
    // Sunken outer: shadow above, highlight below; raised inner: the reverse.
    const QColor topLeft = pal.color(bevel == bvLowered ? QPalette::Dark : QPalette::Light);
    const QColor bottomRight = pal.color(bevel == bvLowered ? QPalette::Light : QPalette::Dark);
    const int l = r.left(), t = r.top(), rr = r.right(), bb = r.bottom();
    p.fillRect(QRect(l, t, r.width(), 1), topLeft);
    p.fillRect(QRect(l, t, 1, r.height()), topLeft);
    p.fillRect(QRect(l, bb, r.width(), 1), bottomRight);
    p.fillRect(QRect(rr, t, 1, r.height()), bottomRight);
}

} // namespace

void TdxfProgressBar::DrawBarEdge(QPainter& p, const QRect& r) const {
    DrawEdgePair(p, r, FBarBevelOuter, palette());
}

QImage TdxfProgressBar::Render() const {
    const int w = std::max(width(), 0);
    const int h = std::max(height(), 0);
    QImage image(w, h, QImage::Format_RGB32);
    if (image.isNull()) return image;
    QPainter p(&image);
    int L = 0, T = 0, R = w, B = h;
    p.fillRect(Ltrb(L, T, R, B), Color());
    if (FBevelOuter != bvNone) {
        DrawEdgePair(p, Ltrb(L, T, R, B), FBevelOuter, palette());
        L += 2;
        T += 2;
        R -= 2;
        B -= 2;
    }
    // A bar needs a non-empty inner rectangle to grow in.
    if (FPosition != FMin && R > L && B > T) {
        // Pictures and a final block never reach into the bevel.
        p.setClipRect(Ltrb(L, T, R, B));
        if (FOrientation == orHorizontal)
            PaintHorizontal(p, L, T, R, B);
        else
            PaintVertical(p, L, T, R, B);
        p.setClipping(false);
    }
    if (FShowText) PaintText(p);
    p.end();
    return image;
}

namespace {

// The glyph as drawn: with its transparent colour (that of the bottom-left pixel) cut out.
QImage PreparedGlyph(const QImage& glyph, bool transparent) {
    if (!transparent) return glyph;
    QImage out = glyph.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = out.pixel(0, out.height() - 1) | 0xff000000u;
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            if ((line[x] | 0xff000000u) == key) line[x] = 0;
    }
    return out;
}

} // namespace

void TdxfProgressBar::PaintHorizontal(QPainter& p, int L, int T, int R, int B) const {
    const int n = R - L;
    const std::int64_t E64 = std::clamp<std::int64_t>(L + EndOf(n, FPosition), L, R);
    const int E = static_cast<int>(E64);
    const bool full = FPosition >= FMax;
    switch (FStyle) {
    case sSolid: {
        const QRect bar = Ltrb(L, T, E, B);
        p.fillRect(bar, FBeginColor);
        DrawBarEdge(p, bar);
        break;
    }
    case sExSolid: {
        // One row of column colours, stretched down without smoothing: every column one colour.
        if (E > L) {
            QImage row(E - L, 1, QImage::Format_RGB32);
            for (int x = L; x < E; ++x)
                row.setPixel(x - L, 0, Gradient(x - L, n).rgb());
            p.drawImage(Ltrb(L, T, E, B), row);
        }
        DrawBarEdge(p, Ltrb(L, T, E, B));
        break;
    }
    case sRectangles:
    case sExRectangles: {
        const bool shaded = FStyle == sExRectangles;
        const int P = (2 * B - 2 * T) / 3 + 2;
        int mark = L; // where a final block starts when no block was drawn
        for (int x = L + P; x < E; x += P) {
            const QRect block = Ltrb(x - P, T, x - 2, B);
            p.fillRect(block, shaded ? Gradient(x - L, n) : FBeginColor);
            DrawBarEdge(p, block);
            mark = x;
        }
        if (full) {
            const QRect block = Ltrb(mark, T, E, B);
            if (!block.isEmpty()) {
                p.fillRect(block, shaded ? Gradient(mark - L, n) : FBeginColor);
                DrawBarEdge(p, block);
            }
        }
        break;
    }
    case sPictures: {
        if (IsEmpty(FGlyph)) break;
        const QImage glyph = PreparedGlyph(FGlyph, FGlyphTransparent);
        const int P = glyph.width();
        int mark = L;
        for (int x = L + P; x < E; x += P) {
            p.drawImage(x - P, T, glyph);
            mark = x;
        }
        if (FPosition == FMax) p.drawImage(mark, T, glyph);
        break;
    }
    }
}

void TdxfProgressBar::PaintVertical(QPainter& p, int L, int T, int R, int B) const {
    const int n = B - T;
    const std::int64_t S64 = std::clamp<std::int64_t>(B - EndOf(n, FPosition), T, B);
    const int S = static_cast<int>(S64);
    const bool full = FPosition >= FMax;
    switch (FStyle) {
    case sSolid: {
        const QRect bar = Ltrb(L, S, R, B);
        p.fillRect(bar, FBeginColor);
        DrawBarEdge(p, bar);
        break;
    }
    case sExSolid: {
        if (B > S) {
            QImage column(1, B - S, QImage::Format_RGB32);
            for (int y = B - 1; y >= S; --y)
                column.setPixel(0, y - S, Gradient(B - y, n).rgb());
            p.drawImage(Ltrb(L, S, R, B), column);
        }
        DrawBarEdge(p, Ltrb(L, S, R, B));
        break;
    }
    case sRectangles:
    case sExRectangles: {
        const bool shaded = FStyle == sExRectangles;
        const int P = (2 * R - 2 * L) / 3 + 2;
        int mark = B - 1; // where a final block ends when no block was drawn
        for (int y = B - 1 - P; y >= S; y -= P) {
            const QRect block = Ltrb(L, y + 2, R, y + P);
            p.fillRect(block, shaded ? Gradient(B - y, n) : FBeginColor);
            DrawBarEdge(p, block);
            mark = y;
        }
        if (full) {
            const QRect block = Ltrb(L, T, R, mark);
            if (!block.isEmpty()) {
                p.fillRect(block, shaded ? Gradient(B - mark, n) : FBeginColor);
                DrawBarEdge(p, block);
            }
        }
        break;
    }
    case sPictures: {
        if (IsEmpty(FGlyph)) break;
        const QImage glyph = PreparedGlyph(FGlyph, FGlyphTransparent);
        const int P = glyph.height();
        int mark = B - 1;
        for (int y = B - 1 - P; y >= S; y -= P) {
            p.drawImage(L, y, glyph);
            mark = y;
        }
        if (FPosition == FMax) p.drawImage(L, mark - P, glyph);
        break;
    }
    }
}

void TdxfProgressBar::PaintText(QPainter& p) const {
    const QString text = Text();
    p.setBrush(Qt::NoBrush);
    p.setPen(palette().color(QPalette::WindowText));
    const int w = width();
    const int h = height();
    if (FOrientation == orHorizontal) {
        p.setFont(font());
        const QFontMetrics fm = p.fontMetrics();
        const int tw = fm.horizontalAdvance(text);
        const int th = fm.height();
        p.drawText((w - tw) / 2, (h - th) / 2 + fm.ascent(), text);
        return;
    }
    // Turned a quarter clockwise, so the text runs downward; only outline fonts turn well.
    QFont turned = font();
    if (!IsScalable(turned)) turned.setFamily(QStringLiteral("Arial"));
    p.setFont(turned);
    const QFontMetrics fm = p.fontMetrics();
    const int tw = fm.horizontalAdvance(text);
    const int th = fm.height();
    p.save();
    p.translate(th + (w - th) / 2, (h - tw) / 2);
    p.rotate(90);
    p.drawText(0, fm.ascent(), text);
    p.restore();
}

void TdxfProgressBar::Paint() {
    const QImage image = Render();
    QPainter p(this);
    p.drawImage(0, 0, image);
}

void TdxfProgressBar::paintEvent(QPaintEvent*) {
    Paint();
}

void TdxfProgressBar::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange) Invalidate();
    QWidget::changeEvent(event);
}

void TdxfProgressBar::mousePressEvent(QMouseEvent* event) {
    FPressed = event->button() == Qt::LeftButton;
    if (OnMouseDown) {
        const QPoint pos = event->position().toPoint();
        OnMouseDown(this, event->button(), event->modifiers(), pos.x(), pos.y());
    }
}

void TdxfProgressBar::mouseMoveEvent(QMouseEvent* event) {
    if (OnMouseMove) {
        const QPoint pos = event->position().toPoint();
        OnMouseMove(this, event->modifiers(), pos.x(), pos.y());
    }
}

void TdxfProgressBar::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    const bool click = FPressed && event->button() == Qt::LeftButton && rect().contains(pos);
    FPressed = false;
    if (click && OnClick) OnClick(this);
    if (OnMouseUp) OnMouseUp(this, event->button(), event->modifiers(), pos.x(), pos.y());
}

void TdxfProgressBar::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && OnDblClick) OnDblClick(this);
    mousePressEvent(event);
}
