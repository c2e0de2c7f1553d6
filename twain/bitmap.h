#pragma once

#include <QImage>
#include <functional>
#include <utility>

// The picture a scan lands in. Its owner copies the image on OnChange (the image is implicitly
// shared, so the copy is cheap).
class TBitmap {
public:
    const QImage& Image() const { return FImage; }
    bool Empty() const { return FImage.isNull(); }
    void SetImage(QImage Image) {
        FImage = std::move(Image);
        if (OnChange) OnChange();
    }

    std::function<void()> OnChange;

private:
    QImage FImage;
};
