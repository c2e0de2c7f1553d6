#pragma once

#include "controls/enhancedform.h"

#include <QIcon>
#include <QList>
#include <QMenu>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

class QSystemTrayIcon;
class QTimer;

enum TEFIconType { itSingle, itList };
enum TEFOpenAppOn { ooClick, ooDblClick, ooNone };

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
