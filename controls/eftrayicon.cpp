#include "controls/eftrayicon.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <algorithm>

TEFTrayIcon::TEFTrayIcon(TEnhancedForm* owner)
    : TEFBase(owner), FTimer(std::make_unique<QTimer>()) {
    FTimer->setInterval(static_cast<int>(FIconInterval));
    QObject::connect(FTimer.get(), &QTimer::timeout, owner, [this] { Tick(); });
}

TEFTrayIcon::~TEFTrayIcon() {
    FTimer->stop();
    FTray.reset();
    FAdded = false;
}

void TEFTrayIcon::SetEnabled(bool value) {
    if (value == FEnabled) return;
    FEnabled = value;
    Update();
}

void TEFTrayIcon::SetHint(const QString& value) {
    if (value == FHint) return;
    FHint = value;
    Update();
}

void TEFTrayIcon::SetIcon(const QIcon& value) {
    if (value.cacheKey() == FIcon.cacheKey()) return;
    FIcon = value;
    Update();
}

void TEFTrayIcon::SetIconList(const QList<QIcon>* value) {
    if (value == FIconList) return;
    FIconList = value;
    Update();
}

void TEFTrayIcon::SetIconListIndex(std::int32_t value) {
    if (value == FIconListIndex || value < -1) return;
    FIconListIndex = value;
    Update();
}

void TEFTrayIcon::SetIconInterval(std::uint32_t value) {
    if (value == FIconInterval) return;
    FIconInterval = value;
    FTimer->setInterval(static_cast<int>(std::min<std::uint32_t>(value, INT32_MAX)));
}

void TEFTrayIcon::SetIconType(TEFIconType value) {
    if (value == FIconType) return;
    FIconType = value;
    Update();
}

void TEFTrayIcon::SetOpenAppOn(TEFOpenAppOn value) {
    FOpenAppOn = value;
}

void TEFTrayIcon::SetPopupMenu(QMenu* value) {
    if (value == FPopupMenu) return;
    FPopupMenu = value;
    Update();
}

void TEFTrayIcon::SetTest(bool value) {
    if (value == FTest) return;
    FTest = value;
    Update();
}

bool TEFTrayIcon::Showable() const {
    if (!FOwner->Enabled() || !FEnabled) return false;
    if (FIconType == itSingle) return !FIcon.isNull();
    return FIconList && !FIconList->isEmpty();
}

QIcon TEFTrayIcon::ShownIcon() const {
    if (FIconType == itSingle) return FIcon;
    if (!FIconList || FIconList->isEmpty()) return {};
    const int size = static_cast<int>(FIconList->size());
    const int index = FIconListIndex >= 0 ? FIconListIndex : FListPosition;
    return FIconList->at(std::clamp(index, 0, size - 1));
}

bool TEFTrayIcon::Animating() const {
    return FTimer->isActive();
}

void TEFTrayIcon::Update() {
    if (FIconType == itList && FIconList && FIconListIndex >= FIconList->size())
        FIconListIndex = -1;
    if (FIconList && FListPosition >= FIconList->size()) FListPosition = 0;
    const bool show = Showable();
    if (show) {
        if (!FAdded) {
            FTray = std::make_unique<QSystemTrayIcon>();
            QObject::connect(FTray.get(), &QSystemTrayIcon::activated, FOwner,
                             [this](QSystemTrayIcon::ActivationReason reason) {
                                 switch (reason) {
                                 case QSystemTrayIcon::Trigger:
                                     LeftButtonUp();
                                     break;
                                 case QSystemTrayIcon::DoubleClick:
                                     LeftButtonDblClick();
                                     break;
                                 case QSystemTrayIcon::Context:
                                     RightButtonUp(QCursor::pos());
                                     break;
                                 default:
                                     break;
                                 }
                             });
        }
        FTray->setIcon(ShownIcon());
        FTray->setToolTip(FHint);
        if (!FAdded) FTray->show();
        FAdded = true;
    } else if (FAdded) {
        FTray.reset();
        FAdded = false;
    }
    const bool animate = show && FIconType == itList && FIconListIndex == -1;
    if (animate && !FTimer->isActive()) FTimer->start();
    if (!animate) FTimer->stop();
}

void TEFTrayIcon::Tick() {
    if (!FIconList || FIconList->isEmpty()) return;
    FListPosition = (FListPosition + 1) % static_cast<int>(FIconList->size());
    Update();
}

void TEFTrayIcon::LeftButtonUp() {
    if (FOpenAppOn == ooClick) BringBack();
    if (OnClick) OnClick(FOwner);
}

void TEFTrayIcon::LeftButtonDblClick() {
    if (FOpenAppOn == ooDblClick) BringBack();
    if (OnDblClick) OnDblClick(FOwner);
}

void TEFTrayIcon::RightButtonUp(const QPoint& globalPos) {
    if (FPopupMenu) {
        if (QWidget* form = FOwner->Form()) form->activateWindow();
        QCoreApplication::processEvents();
        if (FPopupMenu) FPopupMenu->popup(globalPos);
        return;
    }
    if (OnMouseUp)
        OnMouseUp(FOwner, Qt::RightButton, QApplication::keyboardModifiers(), globalPos.x(),
                  globalPos.y());
}

void TEFTrayIcon::BringBack() {
    QWidget* form = FOwner->Form();
    if (!form) return;
    if (form->windowState() & Qt::WindowMaximized)
        form->showMaximized();
    else
        form->showNormal();
    form->raise();
    form->activateWindow();
}
