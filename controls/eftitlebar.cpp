#include "controls/eftitlebar.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QWhatsThis>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <cstdlib>

int TEFTitleBar::MulDiv(int a, int b, int c) {
    if (c == 0) return -1;
    const std::int64_t p = std::int64_t{a} * b;
    const bool negative = (p < 0) != (c < 0);
    const std::int64_t ap = std::llabs(p);
    const std::int64_t ac = std::llabs(std::int64_t{c});
    const std::int64_t q = (ap + ac / 2) / ac;
    return static_cast<int>(negative ? -q : q);
}

// ---------------------------------------------------------------------------------------------
// Special captions

void TEFTBSpecialCaption::SetCaption(const QString& value) {
    if (value == FCaption) return;
    FCaption = value;
    Changed(FEnabled);
}

void TEFTBSpecialCaption::SetEnabled(bool value) {
    if (value == FEnabled) return;
    const bool was = FEnabled;
    FEnabled = value;
    Changed(was || value); // switching it off must clear it from the bar too
}

void TEFTBSpecialCaption::SetFontStyle(TFontStyles value) {
    if (value == FFontStyle) return;
    FFontStyle = value;
    Changed(FEnabled);
}

void TEFTBSpecialCaption::Changed(bool wasEnabled) {
    if (wasEnabled && FTitleBar) FTitleBar->Update();
}

// ---------------------------------------------------------------------------------------------
// The strip the title bar is painted on

namespace {

QFont StyledFont(QFont font, TFontStyles style) {
    font.setBold(style & fsBold);
    font.setItalic(style & fsItalic);
    font.setUnderline(style & fsUnderline);
    font.setStrikeOut(style & fsStrikeOut);
    return font;
}

QStyle::StandardPixmap ButtonPixmap(TEFTitleBar::TEFCaptionButton button, Qt::WindowStates state) {
    switch (button) {
    case TEFTitleBar::cbClose:
        return QStyle::SP_TitleBarCloseButton;
    case TEFTitleBar::cbMaximize:
        return (state & Qt::WindowMaximized) ? QStyle::SP_TitleBarNormalButton
                                             : QStyle::SP_TitleBarMaxButton;
    case TEFTitleBar::cbMinimize:
        return (state & Qt::WindowMinimized) ? QStyle::SP_TitleBarNormalButton
                                             : QStyle::SP_TitleBarMinButton;
    case TEFTitleBar::cbHelp:
        return QStyle::SP_TitleBarContextHelpButton;
    }
    return QStyle::SP_TitleBarCloseButton;
}

} // namespace

class TEFTitleBarStrip : public QWidget {
public:
    TEFTitleBarStrip(TEnhancedForm* owner, QWidget* form) : QWidget(form), FOwner(owner) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setMouseTracking(true);
    }

    int PressedButton() const { return FPressed; }

protected:
    void paintEvent(QPaintEvent*) override {
        const QImage image = FOwner->TitleBar().Render(FOwner->TitleBar().Active());
        QPainter p(this);
        p.drawImage(0, 0, image);
        // A pressed caption button shows sunken.
        if (FPressed >= 0 && FPressedInside) {
            for (const auto& place : FOwner->TitleBar().ButtonPlaces()) {
                if (place.Button != FPressed) continue;
                const QRect r = place.Rect.translated(-pos());
                p.setPen(palette().color(QPalette::Dark));
                p.drawRect(r.adjusted(0, 0, -1, -1));
            }
        }
    }

    void mousePressEvent(QMouseEvent* event) override {
        update();
        if (event->button() != Qt::LeftButton) return;
        const int hit = HitButton(event->position().toPoint());
        if (hit >= 0) {
            FPressed = hit;
            FPressedInside = true;
            return;
        }
        // Dragging the strip moves the window through the window manager.
        if (QWindow* handle = window()->windowHandle()) handle->startSystemMove();
    }

    void mouseMoveEvent(QMouseEvent* event) override {
        if (FPressed >= 0) FPressedInside = HitButton(event->position().toPoint()) == FPressed;
        update();
    }

    void mouseReleaseEvent(QMouseEvent* event) override {
        update();
        if (event->button() != Qt::LeftButton || FPressed < 0) return;
        const int pressed = FPressed;
        FPressed = -1;
        if (HitButton(event->position().toPoint()) == pressed) Act(pressed);
    }

    void mouseDoubleClickEvent(QMouseEvent* event) override {
        update();
        if (event->button() != Qt::LeftButton) return;
        if (HitButton(event->position().toPoint()) >= 0) {
            mousePressEvent(event);
            return;
        }
        if (FOwner->CanMaximize()) ToggleMaximized();
    }

    void leaveEvent(QEvent*) override { update(); }

private:
    int HitButton(const QPoint& local) const {
        const QPoint at = local + pos();
        for (const auto& place : FOwner->TitleBar().ButtonPlaces())
            if (!place.Inactive && place.Rect.contains(at)) return place.Button;
        return -1;
    }

    void ToggleMaximized() {
        QWidget* form = window();
        if (form->windowState() & Qt::WindowMaximized)
            form->showNormal();
        else
            form->showMaximized();
    }

    void Act(int button) {
        QWidget* form = window();
        switch (button) {
        case TEFTitleBar::cbClose:
            form->close();
            break;
        case TEFTitleBar::cbMaximize:
            ToggleMaximized();
            break;
        case TEFTitleBar::cbMinimize:
            if (form->windowState() & Qt::WindowMinimized)
                form->showNormal();
            else
                form->showMinimized();
            break;
        case TEFTitleBar::cbHelp:
            QWhatsThis::enterWhatsThisMode();
            break;
        }
    }

    TEnhancedForm* FOwner;
    int FPressed = -1;
    bool FPressedInside = false;
};

QWidget* TEFTitleBar::MakeStrip(QWidget* form) const {
    return new TEFTitleBarStrip(FOwner, form);
}

// ---------------------------------------------------------------------------------------------
// Title bar

TEFTitleBar::TEFTitleBar(TEnhancedForm* owner)
    : TEFBase(owner), FApplicationInfo(this, fsBold), FCompanyInfo(this, fsBold | fsItalic) {
    if (QWidget* form = owner->Form()) FOriginalCaption = form->windowTitle();
    ReadCaptionFont();
}

void TEFTitleBar::SetAlignment(TAlignment value) {
    if (value == FAlignment) return;
    FAlignment = value;
    Update();
}

void TEFTitleBar::SetColor(const QColor& value) {
    if (value == FColor) return;
    FColor = value;
    Update();
}

void TEFTitleBar::SetEnabled(bool value) {
    if (value == FEnabled) return;
    FEnabled = value;
    // Switching off hands the title back to the window system.
    FOwner->Paint();
}

void TEFTitleBar::SetNbOfColors(std::int32_t value) {
    if (value == FNbOfColors) return;
    if (value != 0 && (value < 2 || value > 256)) return;
    FNbOfColors = value;
    Update();
}

void TEFTitleBar::SetType(TGradientType value) {
    if (value == FType) return;
    FType = value;
    Update();
}

void TEFTitleBar::Update() {
    if (FEnabled) FOwner->Paint();
}

QColor TEFTitleBar::CaptionColor(bool active) const {
    const QWidget* form = FOwner->Form();
    const QPalette pal = form ? form->palette() : QApplication::palette();
    return active ? pal.color(QPalette::Active, QPalette::Highlight)
                  : pal.color(QPalette::Active, QPalette::Mid);
}

QColor TEFTitleBar::CaptionTextColor(bool active) const {
    const QWidget* form = FOwner->Form();
    const QPalette pal = form ? form->palette() : QApplication::palette();
    return active ? pal.color(QPalette::Active, QPalette::HighlightedText)
                  : pal.color(QPalette::Active, QPalette::Midlight);
}

void TEFTitleBar::ReadCaptionFont() {
    // The desktop's title font: face, size, italic and bold; pitch left to the default.
    const QFont title = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    QFont font;
    font.setFamilies(title.families());
    if (title.pixelSize() > 0)
        font.setPixelSize(title.pixelSize());
    else
        font.setPointSizeF(title.pointSizeF());
    font.setItalic(title.italic());
    font.setBold(title.weight() >= QFont::Bold);
    FCaptionFont = font;
}

bool TEFTitleBar::Active() const {
    if (FActiveReported) return FReportedActive;
    const QWidget* form = FOwner->Form();
    return form && form->isActiveWindow();
}

void TEFTitleBar::SetReportedActive(bool active) {
    FReportedActive = active;
    FActiveReported = true;
}

TEFTitleMetrics TEFTitleBar::Metrics() const {
    TEFTitleMetrics m;
    const int fontHeight = QFontMetrics(FCaptionFont).height();
    if (FOwner->BorderStyle() == bsToolWindow) {
        m.CaptionHeight = std::max(15, fontHeight + 2);
        m.ButtonWidth = (m.CaptionHeight - 2) - 4; // small caption button width less 4
    } else {
        m.CaptionHeight = std::max(19, fontHeight + 6);
        m.ButtonWidth = m.SmallIconWidth - 2;
    }
    return m;
}

QRect TEFTitleBar::TitleRect() const {
    const QWidget* form = FOwner->Form();
    if (!form || FOwner->BorderStyle() == bsNone) return {};
    // The window draws no frame of its own: the strip runs across the whole width.
    return QRect(0, 0, form->width(), Metrics().CaptionHeight - 1);
}

int TEFTitleBar::ButtonAreaWidth() const {
    const int w = Metrics().ButtonWidth;
    const bool minMax = FOwner->CanMinimize() || FOwner->CanMaximize();
    int area = 2;
    switch (FOwner->BorderStyle()) {
    case bsNone:
        return 0;
    case bsSingle:
    case bsSizeable:
        if (FOwner->HasSystemMenu()) area += w - 2;
        if (minMax)
            area += 2 * w;
        else if (FOwner->HasHelp())
            area += w - 2;
        break;
    case bsDialog:
        if (FOwner->HasSystemMenu()) area += w - 2;
        if (FOwner->HasHelp()) area += w - 2;
        break;
    case bsToolWindow:
        if (FOwner->HasSystemMenu()) area += w - 2;
        break;
    }
    return area;
}

QRect TEFTitleBar::TextArea() const {
    const QRect title = TitleRect();
    QRect area = title.adjusted(0, 0, -ButtonAreaWidth(), 0);
    if (area.width() <= 0) area.setWidth(2);
    return area;
}

std::vector<TEFTitleBar::TEFButtonPlace> TEFTitleBar::ButtonPlaces() const {
    std::vector<TEFButtonPlace> places;
    const TEFBorderStyle border = FOwner->BorderStyle();
    if (border == bsNone) return places;
    const int w = Metrics().ButtonWidth;
    const QRect inner = TitleRect().adjusted(2, 2, -2, -2);
    const bool sizing = border == bsSingle || border == bsSizeable;
    const bool minMax = sizing && (FOwner->CanMinimize() || FOwner->CanMaximize());
    const bool help =
        (sizing && !minMax && FOwner->HasHelp()) || (border == bsDialog && FOwner->HasHelp());
    int right = inner.right() + 1; // exclusive
    const auto place = [&](TEFCaptionButton button, bool inactive) {
        places.push_back(
            {button, QRect(right - (w + 2), inner.top(), w + 2, inner.height()), inactive});
    };
    if (FOwner->HasSystemMenu()) {
        place(cbClose, false);
        right -= w + 4;
    }
    if (minMax) {
        place(cbMaximize, !FOwner->CanMaximize());
        right -= w + 2;
        place(cbMinimize, !FOwner->CanMinimize());
    } else if (help) {
        place(cbHelp, false);
    }
    return places;
}

std::vector<TEFTitleText> TEFTitleBar::TextLayout() const {
    struct Candidate {
        QString text;
        QFont font;
        int slot;
    };
    const QWidget* form = FOwner->Form();
    const QRect title = TitleRect();
    if (!form || title.isEmpty()) return {};
    QRect area = TextArea();
    const TEFBorderStyle border = FOwner->BorderStyle();
    if (FOwner->HasSystemMenu() && (border == bsSingle || border == bsSizeable))
        area.setLeft(area.left() + 1 + Metrics().SmallIconWidth);

    const auto make = [](const QString& text, const QFont& font) {
        return Candidate{text, font, QFontMetrics(font).horizontalAdvance(text) + 2 + 3};
    };
    std::vector<Candidate> company, application, caption;
    const auto special = [&](const TEFTBSpecialCaption& c, std::vector<Candidate>& into) {
        if (!c.Caption().isEmpty() && c.Enabled() && FEnabled)
            into.push_back(make(c.Caption(), StyledFont(FCaptionFont, c.FontStyle())));
    };
    special(FCompanyInfo, company);
    special(FApplicationInfo, application);
    if (!form->windowTitle().isEmpty()) caption.push_back(make(form->windowTitle(), FCaptionFont));

    const auto total = [](const std::vector<const std::vector<Candidate>*>& groups) {
        int sum = 0;
        for (const auto* g : groups)
            for (const auto& c : *g)
                sum += c.slot;
        return sum;
    };
    std::vector<Candidate> shown;
    const int room = area.width();
    if (total({&company, &application, &caption}) <= room) {
        for (const auto* g : {&company, &application, &caption})
            shown.insert(shown.end(), g->begin(), g->end());
    } else if (total({&application, &caption}) <= room) {
        for (const auto* g : {&application, &caption})
            shown.insert(shown.end(), g->begin(), g->end());
    } else {
        shown = caption;
        for (auto& c : shown)
            c.slot = std::min(c.slot, std::max(room, 0));
    }

    int width = 0;
    for (const auto& c : shown)
        width += c.slot;
    int x = area.left();
    if (FAlignment == taRightJustify) x = area.left() + area.width() - width;
    if (FAlignment == taCenter) x = area.left() + (area.width() - width) / 2;
    x += 3;
    std::vector<TEFTitleText> out;
    for (const auto& c : shown) {
        const QFontMetrics fm(c.font);
        const QRect slot(x, title.top(), c.slot, title.height());
        out.push_back({fm.elidedText(c.text, Qt::ElideRight, c.slot), slot, c.font});
        x += c.slot;
    }
    return out;
}

void TEFTitleBar::PaintGradient(QPainter& p, const QRect& background, bool active) const {
    const QColor caption = CaptionColor(active);
    QColor start = caption, end = caption;
    if (FType == gtLeftToRight) start = FColor;
    if (FType == gtCenterToBorder) end = FColor;
    const int width = std::max(background.width() - ButtonAreaWidth(), 0);
    const int left = background.left();
    int n = FNbOfColors;
    if (n == 0) n = std::clamp(width, 2, 256);
    const auto mix = [&](int k, bool back) {
        const auto ch = [&](int s, int e) {
            return back ? e - MulDiv(k, e - s, n - 1) : s + MulDiv(k, e - s, n - 1);
        };
        return QColor(ch(start.red(), end.red()), ch(start.green(), end.green()),
                      ch(start.blue(), end.blue()));
    };
    const int half = n / 2;
    for (int k = 0; k < n; ++k) {
        QColor c;
        if (FType == gtCenterToBorder)
            c = k < half ? mix(2 * k, false) : mix(2 * (k - half), true);
        else
            c = mix(k, false);
        const int x0 = left + MulDiv(k, width, n);
        const int x1 = left + MulDiv(k + 1, width, n);
        p.fillRect(QRect(x0, background.top(), x1 - x0, background.height()), c);
    }
    const QColor rest = FType == gtCenterToBorder ? start : end;
    p.fillRect(QRect(left + width, background.top(), background.right() + 1 - (left + width),
                     background.height()),
               rest);
}

QImage TEFTitleBar::Render(bool active) const {
    const QRect title = TitleRect();
    if (title.isEmpty()) return {};
    const QWidget* form = FOwner->Form();
    QImage image(title.size(), QImage::Format_RGB32);
    QPainter p(&image);
    p.translate(-title.topLeft());
    PaintGradient(p, title, active);

    const TEFBorderStyle border = FOwner->BorderStyle();
    const TEFTitleMetrics m = Metrics();
    if (FOwner->HasSystemMenu() && (border == bsSingle || border == bsSizeable)) {
        QIcon icon = form->windowIcon();
        if (icon.isNull()) icon = QApplication::windowIcon();
        if (icon.isNull()) icon = form->style()->standardIcon(QStyle::SP_TitleBarMenuButton);
        const QRect place(title.left() + 1, title.top() + 1, m.SmallIconWidth, m.SmallIconWidth);
        icon.paint(&p, place);
    }

    for (const auto& place : ButtonPlaces()) {
        const QRect r = place.Rect;
        const QPalette pal = form->palette();
        p.fillRect(r, pal.color(QPalette::Button));
        p.fillRect(QRect(r.left(), r.top(), r.width(), 1), pal.color(QPalette::Light));
        p.fillRect(QRect(r.left(), r.top(), 1, r.height()), pal.color(QPalette::Light));
        p.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), pal.color(QPalette::Shadow));
        p.fillRect(QRect(r.right(), r.top(), 1, r.height()), pal.color(QPalette::Shadow));
        const QIcon glyph =
            form->style()->standardIcon(ButtonPixmap(place.Button, form->windowState()));
        const int side = std::max(std::min(r.width(), r.height()) - 4, 1);
        const QRect g(r.left() + (r.width() - side) / 2, r.top() + (r.height() - side) / 2, side,
                      side);
        glyph.paint(&p, g, Qt::AlignCenter, place.Inactive ? QIcon::Disabled : QIcon::Normal);
    }

    p.setBrush(Qt::NoBrush);
    p.setPen(CaptionTextColor(active));
    for (const auto& text : TextLayout()) {
        p.setFont(text.Font);
        p.drawText(text.Slot, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text.Text);
    }
    p.end();
    return image;
}
