#include "capture/vstatus.h"

TVStatus::TVStatus(QWidget* parent) : QStatusBar(parent) {
    // No panels and no size grip: the main window has a fixed size.
    setSizeGripEnabled(false);
}
