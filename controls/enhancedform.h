#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QList>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

class QPainter;
class QSystemTrayIcon;
class QTimer;
class QWidget;
class TEnhancedForm;

enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TGradientType { gtNone, gtLeftToRight, gtCenterToBorder };
enum TFontStyle { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = unsigned;
enum TEFIconType { itSingle, itList };
enum TEFOpenAppOn { ooClick, ooDblClick, ooNone };
enum TEFWallPaperDisplay { dwTile, dwCenter };

// How the form's window is framed; judged from its window flags and size limits.
enum TEFBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow };

// Common base of the three parts; each part redraws or re-registers itself in Update.
class TEFBase {
public:
    explicit TEFBase(TEnhancedForm* owner) : FOwner(owner) {}
    virtual ~TEFBase() = default;
    TEFBase(const TEFBase&) = delete;
    TEFBase& operator=(const TEFBase&) = delete;

    TEnhancedForm* Owner() const { return FOwner; }
    virtual void Update() = 0;

protected:
    TEnhancedForm* FOwner;
};

class TEFTitleBar;

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

class TEFTrayIcon : public TEFBase {
public:
    using TNotifyEvent = std::function<void(QObject* Sender)>;
    using TMouseEvent = std::function<void(QObject* Sender, Qt::MouseButton Button,
                                           Qt::KeyboardModifiers Shift, int X, int Y)>;
    using TMouseMoveEvent =
        std::function<void(QObject* Sender, Qt::KeyboardModifiers Shift, int X, int Y)>;

    explicit TEFTrayIcon(TEnhancedForm* owner);
    ~TEFTrayIcon() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    const QString& Hint() const { return FHint; }
    void SetHint(const QString& value);
    const QIcon& Icon() const { return FIcon; }
    void SetIcon(const QIcon& value);
    // Not owned; the list must outlive its use here.
    const QList<QIcon>* IconList() const { return FIconList; }
    void SetIconList(const QList<QIcon>* value);
    std::int32_t IconListIndex() const { return FIconListIndex; }
    void SetIconListIndex(std::int32_t value);
    std::uint32_t IconInterval() const { return FIconInterval; }
    void SetIconInterval(std::uint32_t value);
    TEFIconType IconType() const { return FIconType; }
    void SetIconType(TEFIconType value);
    TEFOpenAppOn OpenAppOn() const { return FOpenAppOn; }
    void SetOpenAppOn(TEFOpenAppOn value);
    QMenu* PopupMenu() const { return FPopupMenu; }
    void SetPopupMenu(QMenu* value);
    bool Test() const { return FTest; }
    void SetTest(bool value);

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseEvent OnMouseDown;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseUp;

    void Update() override;

    // Whether the icon is in the notification area now, and what it shows.
    bool Added() const { return FAdded; }
    bool Showable() const;
    QIcon ShownIcon() const;
    std::int32_t ListPosition() const { return FListPosition; }
    bool Animating() const;

    // Mouse reports from the notification area.
    void LeftButtonUp();
    void LeftButtonDblClick();
    void RightButtonUp(const QPoint& globalPos);

    // Shows the form again from the tray.
    void BringBack();

private:
    void Tick();

    bool FEnabled = true;
    QString FHint;
    QIcon FIcon;
    const QList<QIcon>* FIconList = nullptr;
    std::int32_t FIconListIndex = -1;
    std::uint32_t FIconInterval = 1000;
    TEFIconType FIconType = itSingle;
    TEFOpenAppOn FOpenAppOn = ooDblClick;
    QPointer<QMenu> FPopupMenu;
    bool FTest = false;
    std::int32_t FListPosition = 0;
    bool FAdded = false;
    std::unique_ptr<QTimer> FTimer;
    std::unique_ptr<QSystemTrayIcon> FTray;
};

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

// Paints the form's title bar itself (gradient, icon, texts, caption buttons), and can add a tray
// icon and a wallpaper. While the title bar is drawn the form is frameless and taller by the
// strip's height; a top contents margin keeps the strip free, so the form's own controls belong
// in contentsRect(), which keeps the client size the form had.
class TEnhancedForm : public QObject {
    Q_OBJECT
public:
    // Raises std::runtime_error when owner is not a form or already holds a TEnhancedForm.
    explicit TEnhancedForm(QObject* owner);
    ~TEnhancedForm() override;

    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    TEFTitleBar& TitleBar() { return *FTitleBar; }
    const TEFTitleBar& TitleBar() const { return *FTitleBar; }
    TEFTrayIcon& TrayIcon() { return *FTrayIcon; }
    const TEFTrayIcon& TrayIcon() const { return *FTrayIcon; }
    TEFWallPaper& WallPaper() { return *FWallPaper; }
    const TEFWallPaper& WallPaper() const { return *FWallPaper; }

    QWidget* Form() const { return FForm; }
    TEFBorderStyle BorderStyle() const;
    // Border icons from the form's own flags: system menu, minimise, maximise, help.
    bool HasSystemMenu() const;
    bool CanMinimize() const;
    bool CanMaximize() const;
    bool HasHelp() const;

    // Recomputes the frame and repaints the title bar.
    virtual void Paint();
    // To be called once the owner has set the properties.
    void Loaded();

    // The strip the title bar is drawn on (null while the native frame is used).
    QWidget* TitleStrip() const;
    // True while the title bar is painted by the component.
    bool DrawsTitle() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ApplyFrame();
    void GiveFrameBack();

    QPointer<QWidget> FForm;
    Qt::WindowFlags FFormFlags;
    QMargins FFormMargins;
    bool FEnabled = true;
    bool FFrameApplied = false;
    int FTitleHeight = 0; // what the form has grown by
    std::unique_ptr<TEFTitleBar> FTitleBar;
    std::unique_ptr<TEFTrayIcon> FTrayIcon;
    std::unique_ptr<TEFWallPaper> FWallPaper;
    QPointer<QWidget> FStrip;
};
