#pragma once

#include <QImage>
#include <QWidget>
#include <functional>

// A picture holder: a picture and the control's own size. With AutoSize the control takes
// the size of every picture it receives; emptying the picture keeps the size it had.
class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr);

    const QImage& Picture() const { return FPicture; }
    void SetPicture(const QImage& Picture);
    void ClearPicture();
    bool Empty() const { return FPicture.isNull(); }

    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool Value);
    bool Stretch() const { return FStretch; }
    void SetStretch(bool Value);

    int Width() const { return width(); }
    int Height() const { return height(); }

    // Called when the picture is clicked.
    std::function<void()> OnClick;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QImage FPicture;
    bool FAutoSize = false;
    bool FStretch = false;
};
