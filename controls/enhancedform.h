#pragma once

#include <QMargins>
#include <QObject>
#include <QPointer>
#include <memory>
#include <stdexcept>

class QWidget;
class TEnhancedForm;
class TEFTitleBar;
class TEFTrayIcon;
class TEFWallPaper;

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

// The parts, so that one include gives the whole component.
#include "controls/eftitlebar.h"
#include "controls/eftrayicon.h"
#include "controls/efwallpaper.h"
