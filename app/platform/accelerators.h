#pragma once

#include <QObject>
#include <QPointer>

class QKeySequence;
class QWidget;

// Accelerators (Alt and a caption's underlined letter) that several visible controls of one
// window share. Qt only moves the focus from one such control to the next; the platform the
// program comes from presses the first control that carries the key, every time. Owned by the
// window it serves; it finds the controls when the key is pressed, so controls added later count.
//
// "First" is the window's own order: a control's own accelerators before its children's (a page
// control's tabs before the controls on its pages), children in the order they were made.
// Pressing is what the control does for its accelerator: a button (or check box) is clicked, a
// tab shown, a label's buddy or a group box's first control focused. A key that only one control
// carries is pressed the same way.
class TAcceleratorRule : public QObject {
public:
    explicit TAcceleratorRule(QWidget* window);

    // Presses the first visible, enabled control of the window that carries Key; false when none.
    static bool PressFirst(QWidget* window, const QKeySequence& Key);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> FWindow;
};
