#pragma once

#include "controls/enhancedform.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>
#include <vector>

class QPainter;
class QWidget;

enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TGradientType { gtNone, gtLeftToRight, gtCenterToBorder };
enum TFontStyle { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = unsigned;

// An extra text in the title bar (company or application name).
class TEFTBSpecialCaption {
public:
    explicit TEFTBSpecialCaption(TEFTitleBar* titleBar, TFontStyles style)
        : FTitleBar(titleBar), FFontStyle(style) {}

    const QString& Caption() const { return FCaption; }
    void SetCaption(const QString& value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    TFontStyles FontStyle() const { return FFontStyle; }
    void SetFontStyle(TFontStyles value);

private:
    void Changed(bool wasEnabled);

    TEFTitleBar* FTitleBar;
    QString FCaption;
    bool FEnabled = true;
    TFontStyles FFontStyle;
};

// One text placed in the title bar.
struct TEFTitleText {
    QString Text;
    QRect Slot;
    QFont Font;
};

// Sizes of the painted title bar, in pixels.
struct TEFTitleMetrics {
    int CaptionHeight = 0;   // full caption height; the strip is one pixel less
    int SmallIconWidth = 16; // icon in the caption
    int ButtonWidth = 0;     // w: one caption button is w + 2 wide
};

class TEFTitleBar : public TEFBase {
public:
    explicit TEFTitleBar(TEnhancedForm* owner);

    // Windows' MulDiv: a * b / c rounded to the nearest integer, halves away from zero; -1 when c
    // is 0. The gradient's bands and colours are measured with it.
    static int MulDiv(int a, int b, int c);

    TAlignment Alignment() const { return FAlignment; }
    void SetAlignment(TAlignment value);
    TEFTBSpecialCaption& ApplicationInfo() { return FApplicationInfo; }
    const TEFTBSpecialCaption& ApplicationInfo() const { return FApplicationInfo; }
    QColor Color() const { return FColor; }
    void SetColor(const QColor& value);
    TEFTBSpecialCaption& CompanyInfo() { return FCompanyInfo; }
    const TEFTBSpecialCaption& CompanyInfo() const { return FCompanyInfo; }
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    std::int32_t NbOfColors() const { return FNbOfColors; }
    void SetNbOfColors(std::int32_t value);
    TGradientType Type() const { return FType; }
    void SetType(TGradientType value);

    void Update() override;

    // The system's caption colours, from the form's palette.
    QColor CaptionColor(bool active) const;
    QColor CaptionTextColor(bool active) const;
    const QFont& CaptionFont() const { return FCaptionFont; }
    void ReadCaptionFont();

    // The form's caption when the component was created.
    const QString& OriginalCaption() const { return FOriginalCaption; }

    // Last state reported by the window system, else whether the form is the active window.
    bool Active() const;
    void SetReportedActive(bool active);

    TEFTitleMetrics Metrics() const;
    // In form coordinates; empty for a form without a border.
    QRect TitleRect() const;
    int ButtonAreaWidth() const;
    QRect TextArea() const; // before the icon is placed

    // The caption buttons and where they are, in form coordinates.
    enum TEFCaptionButton { cbClose, cbMaximize, cbMinimize, cbHelp };
    struct TEFButtonPlace {
        TEFCaptionButton Button;
        QRect Rect;
        bool Inactive;
    };
    std::vector<TEFButtonPlace> ButtonPlaces() const;

    // The texts as they are laid out for the current settings, in title-strip coordinates.
    std::vector<TEFTitleText> TextLayout() const;

    // Draws the whole title bar in the given state into an image of the strip's size.
    QImage Render(bool active) const;

    // A new strip for the form to paint the bar on and to take its clicks; the form owns it.
    QWidget* MakeStrip(QWidget* form) const;

private:
    void PaintGradient(QPainter& p, const QRect& background, bool active) const;

    TAlignment FAlignment = taLeftJustify;
    TEFTBSpecialCaption FApplicationInfo;
    QColor FColor{0, 0, 0};
    TEFTBSpecialCaption FCompanyInfo;
    bool FEnabled = true;
    std::int32_t FNbOfColors = 0;
    TGradientType FType = gtLeftToRight;
    QFont FCaptionFont;
    QString FOriginalCaption;
    bool FReportedActive = false;
    bool FActiveReported = false;
};
