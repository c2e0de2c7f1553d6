#pragma once

#include <QStatusBar>

// A status bar that holds other controls: children placed on it keep their own
// positions and are drawn on top of it.
class TVStatus : public QStatusBar {
    Q_OBJECT
public:
    explicit TVStatus(QWidget* parent = nullptr);
};
