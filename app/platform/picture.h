#pragma once
// Temporary loader until the picture layer lands.
#include <QImage>
#include <QImageReader>
#include <stdexcept>
namespace picture {
inline QImage LoadPictureFile(const QString& Path) {
    QImageReader reader(Path);
    QImage image = reader.read();
    if (image.isNull()) throw std::runtime_error("cannot read");
    return image;
}
} // namespace picture
