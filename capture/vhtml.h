#pragma once

#include <QObject>
#include <QString>

// Hands web addresses to the desktop's browser.
class TVHTML : public QObject {
    Q_OBJECT
public:
    explicit TVHTML(QObject* parent = nullptr);

    // Asks the desktop to open Url; nothing is returned and nothing is reported when
    // that fails.
    void CallExternUrl(const QString& Url) const;
};
