#include "app/platform/accelerators.h"

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QShortcutEvent>
#include <QTabBar>
#include <algorithm>

namespace {

bool Carries(const QString& Caption, const QKeySequence& Key) {
    return !Caption.isEmpty() && QKeySequence::mnemonic(Caption) == Key;
}

void FocusFirstChild(QWidget* parent) {
    for (QWidget* const child : parent->findChildren<QWidget*>())
        if (child->isVisible() && child->isEnabled() && (child->focusPolicy() & Qt::TabFocus)) {
            child->setFocus(Qt::ShortcutFocusReason);
            return;
        }
}

// The control's own answer to the key; false when it does not carry it.
bool PressOwn(QWidget* control, const QKeySequence& Key) {
    if (auto* const tabs = qobject_cast<QTabBar*>(control)) {
        for (int i = 0; i < tabs->count(); ++i)
            if (tabs->isTabEnabled(i) && tabs->isTabVisible(i) && Carries(tabs->tabText(i), Key)) {
                tabs->setCurrentIndex(i);
                return true;
            }
        return false;
    }
    if (auto* const button = qobject_cast<QAbstractButton*>(control)) {
        if (button->shortcut() != Key) return false;
        if (button->focusPolicy() & Qt::TabFocus) button->setFocus(Qt::ShortcutFocusReason);
        button->click();
        return true;
    }
    if (auto* const label = qobject_cast<QLabel*>(control)) {
        QWidget* const buddy = label->buddy();
        if (!buddy || !buddy->isEnabled() || !Carries(label->text(), Key)) return false;
        buddy->setFocus(Qt::ShortcutFocusReason);
        return true;
    }
    if (auto* const group = qobject_cast<QGroupBox*>(control)) {
        if (!Carries(group->title(), Key)) return false;
        if (group->isCheckable())
            group->setChecked(!group->isChecked());
        else
            FocusFirstChild(group);
        return true;
    }
    return false;
}

bool PressIn(QWidget* control, const QKeySequence& Key) {
    if (!control->isVisible() || !control->isEnabled()) return false;
    if (PressOwn(control, Key)) return true;
    QList<QWidget*> children = control->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    // A page control's tabs are its own captions: they come before its pages.
    std::stable_partition(children.begin(), children.end(),
                          [](QWidget* w) { return qobject_cast<QTabBar*>(w) != nullptr; });
    for (QWidget* const child : children)
        if (!child->isWindow() && PressIn(child, Key)) return true;
    return false;
}

} // namespace

TAcceleratorRule::TAcceleratorRule(QWidget* window) : QObject(window), FWindow(window) {
    qApp->installEventFilter(this);
}

bool TAcceleratorRule::PressFirst(QWidget* window, const QKeySequence& Key) {
    return window && PressIn(window, Key);
}

bool TAcceleratorRule::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Shortcut) return false;
    const auto* const shortcut = static_cast<QShortcutEvent*>(event);
    auto* const control = qobject_cast<QWidget*>(watched);
    if (!control || !FWindow || control->window() != FWindow) return false;
    // A key that only one control carries is pressed the same way, at once; Qt keeps the keys
    // of what this rule does not know (QShortcut, actions).
    if (PressFirst(FWindow, shortcut->key())) return true;
    return shortcut->isAmbiguous();
}
