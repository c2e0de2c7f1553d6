#include "controls/enhancedform.h"

#include <QEvent>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <algorithm>

TEnhancedForm::TEnhancedForm(QObject* owner) : QObject(nullptr) {
    auto* form = qobject_cast<QWidget*>(owner);
    if (!form || !form->isWindow())
        throw std::runtime_error("The owner of a TEnhancedForm component must be a form...");
    if (!form->findChildren<TEnhancedForm*>(Qt::FindDirectChildrenOnly).isEmpty())
        throw std::runtime_error("Only one instance of TEnhancedForm per form is allowed...");
    setParent(form);
    FForm = form;
    FFormFlags = form->windowFlags();
    FFormMargins = form->contentsMargins();
    FTitleBar = std::make_unique<TEFTitleBar>(this);
    FTrayIcon = std::make_unique<TEFTrayIcon>(this);
    FWallPaper = std::make_unique<TEFWallPaper>(this);
    form->installEventFilter(this);
    ApplyFrame();
}

TEnhancedForm::~TEnhancedForm() {
    if (FForm) {
        FForm->removeEventFilter(this);
        // While the form deletes its children it has already cleared our entry: then it is dying
        // and keeps its flags; a form that lives on gets its own frame back.
        const bool formLives = FForm->children().contains(this);
        if (formLives && FFrameApplied)
            GiveFrameBack();
        else
            delete FStrip.data();
    }
    FTrayIcon.reset();
}

void TEnhancedForm::SetEnabled(bool value) {
    if (value == FEnabled) return;
    FEnabled = value;
    Paint();
    FTrayIcon->Update();
}

namespace {

constexpr Qt::WindowFlags kButtonHints = Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                         Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint |
                                         Qt::WindowContextHelpButtonHint;

} // namespace

TEFBorderStyle TEnhancedForm::BorderStyle() const {
    if (!FForm) return bsNone;
    if (FFormFlags & Qt::FramelessWindowHint) return bsNone;
    const Qt::WindowType type = static_cast<Qt::WindowType>(int(FFormFlags & Qt::WindowType_Mask));
    if (type == Qt::Tool) return bsToolWindow;
    if (type == Qt::Dialog || type == Qt::Sheet) return bsDialog;
    if (FForm->minimumSize() == FForm->maximumSize()) return bsSingle;
    return bsSizeable;
}

bool TEnhancedForm::HasSystemMenu() const {
    if (!(FFormFlags & kButtonHints)) return true; // the window system's default decoration
    return bool(FFormFlags & (Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint));
}

bool TEnhancedForm::CanMinimize() const {
    if (!(FFormFlags & kButtonHints))
        return BorderStyle() == bsSingle || BorderStyle() == bsSizeable;
    return bool(FFormFlags & Qt::WindowMinimizeButtonHint);
}

bool TEnhancedForm::CanMaximize() const {
    if (!(FFormFlags & kButtonHints))
        return BorderStyle() == bsSingle || BorderStyle() == bsSizeable;
    return bool(FFormFlags & Qt::WindowMaximizeButtonHint);
}

bool TEnhancedForm::HasHelp() const {
    return bool(FFormFlags & Qt::WindowContextHelpButtonHint);
}

bool TEnhancedForm::DrawsTitle() const {
    return FFrameApplied;
}

QWidget* TEnhancedForm::TitleStrip() const {
    return FStrip.data();
}

namespace {

// The title strip sits above the client area, as a caption does: the form grows by its height.
void GrowForm(QWidget* form, int dy) {
    if (dy == 0) return;
    const int height = std::max(form->height() + dy, 0);
    if (form->minimumHeight() == form->maximumHeight()) {
        form->setFixedHeight(height);
        return;
    }
    if (form->minimumHeight() > 0) form->setMinimumHeight(std::max(form->minimumHeight() + dy, 0));
    if (form->maximumHeight() < QWIDGETSIZE_MAX)
        form->setMaximumHeight(std::max(form->maximumHeight() + dy, 0));
    form->resize(form->width(), height);
}

} // namespace

void TEnhancedForm::GiveFrameBack() {
    QWidget* form = FForm.data();
    delete FStrip.data();
    const int shrink = FTitleHeight;
    FTitleHeight = 0;
    FFrameApplied = false;
    const bool visible = form->isVisible();
    form->setContentsMargins(FFormMargins);
    form->setWindowFlags(FFormFlags);
    GrowForm(form, -shrink);
    if (visible) form->show();
}

void TEnhancedForm::ApplyFrame() {
    QWidget* form = FForm.data();
    if (!form) return;
    const bool want = FEnabled && FTitleBar->Enabled() && BorderStyle() != bsNone;
    if (want != FFrameApplied) {
        if (want) {
            const bool visible = form->isVisible();
            FFrameApplied = true;
            form->setWindowFlags(FFormFlags | Qt::FramelessWindowHint);
            FStrip = FTitleBar->MakeStrip(form);
            if (visible) form->show();
        } else {
            GiveFrameBack();
        }
    }
    if (FFrameApplied && FStrip) {
        const QRect title = FTitleBar->TitleRect();
        const int grow = title.height() - FTitleHeight;
        FTitleHeight = title.height();
        QMargins margins = FFormMargins;
        margins.setTop(margins.top() + title.height());
        if (form->contentsMargins() != margins) form->setContentsMargins(margins);
        GrowForm(form, grow);
        FStrip->setGeometry(FTitleBar->TitleRect());
        FStrip->raise();
        FStrip->show();
        FStrip->update();
    }
}

void TEnhancedForm::Paint() {
    ApplyFrame();
}

void TEnhancedForm::Loaded() {
    FTrayIcon->Update();
    QWidget* form = FForm.data();
    // A form that starts minimised with its icon shown starts in the tray.
    if (form && FTrayIcon->Added() && (form->windowState() & Qt::WindowMinimized)) form->hide();
}

bool TEnhancedForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched != FForm || !FEnabled) return QObject::eventFilter(watched, event);
    QWidget* form = FForm.data();
    switch (event->type()) {
    case QEvent::PaletteChange:
    case QEvent::ApplicationPaletteChange:
    case QEvent::FontChange:
    case QEvent::ApplicationFontChange:
    case QEvent::StyleChange:
        FTitleBar->ReadCaptionFont();
        FTitleBar->Update();
        break;
    case QEvent::Resize:
        FTitleBar->Update();
        FWallPaper->Prepare();
        break;
    case QEvent::Paint:
        if (FWallPaper->Drawable()) {
            // The form paints first, the wallpaper goes over its background.
            static_cast<QObject*>(form)->event(event);
            QPainter p(form);
            FWallPaper->PaintOn(p);
            return true;
        }
        break;
    case QEvent::WindowTitleChange:
    case QEvent::WindowIconChange:
        FTitleBar->Update();
        break;
    case QEvent::ActivationChange:
        FTitleBar->SetReportedActive(form->isActiveWindow());
        FTitleBar->Update();
        break;
    case QEvent::WindowStateChange:
        FTitleBar->Update();
        // Minimised with the icon in the tray: the window leaves the screen for the tray.
        if (FTrayIcon->Added() && (form->windowState() & Qt::WindowMinimized))
            QTimer::singleShot(0, form, [form] { form->hide(); });
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}
