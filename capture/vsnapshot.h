#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

class QWidget;

// Writes the part of a form that one of its controls covers, as the form draws it now, into a
// JPEG file.
class TVSnapShot : public QObject {
    Q_OBJECT
public:
    explicit TVSnapShot(QObject* parent = nullptr);

    // Renders the control's rectangle, moved by the offsets, from the form's client area and
    // writes it as a JPEG of the control's size with the quality's low eight bits. The client area
    // is the form's contentsRect() (a painted title strip lies outside it); the control's left and
    // top are taken as they stand, as client coordinates, which is right for a control placed
    // directly on the client area. A failure to encode or write is dropped: no message, no
    // exception, and the file may be missing. Throws std::invalid_argument for a missing form or
    // control.
    void SaveToJPEGFile(std::int32_t Quality, const QString& FileName, QWidget* Form,
                        QWidget* Control, std::int32_t XOffset, std::int32_t YOffset) const;
};
