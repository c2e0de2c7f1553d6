#pragma once

// Small metafiles and JPEG tools for the picture tests.

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>

namespace picturefiles {

// A placeable Windows metafile of width x height units at unitsPerInch, on a window of the same
// extent, with a solid rectangle of the given colour and no outline, then extraRecords.
QByteArray MakeWmf(int width, int height, int unitsPerInch, QRect filled, QColor color,
                   const QByteArray& extraRecords = {});

// The same drawing without the placeable header.
QByteArray MakeWmfWithoutHeader(int width, int height, QRect filled, QColor color);

// An enhanced metafile whose frame is frameWidth x frameHeight hundredths of a millimetre,
// drawn in pixels of a 96 dpi device, with a solid rectangle (device pixels) and no outline,
// then extraRecords.
QByteArray MakeEmf(int frameWidth, int frameHeight, QRect filled, QColor color,
                   const QByteArray& extraRecords = {});

// A 24-bit DIB of one colour whose header claims claimedWidth x claimedHeight while its pixels
// are for width x height.
QByteArray Dib(int width, int height, qint64 claimedWidth, qint64 claimedHeight, QColor color);

// Records that draw a DIB stretched into dest: META_STRETCHDIB and EMR_STRETCHDIBITS.
QByteArray WmfStretchDib(QRect dest, const QByteArray& dib);
QByteArray EmfStretchDibits(QRect dest, const QByteArray& dib);

bool WriteFile(const QString& path, const QByteArray& data);
QByteArray ReadFile(const QString& path);

// A picture with a different colour in every pixel, so that any lost or moved pixel shows.
QImage Pattern(int width, int height, QImage::Format format = QImage::Format_RGB888);

// Writes the RGB pixels as a binary PPM file (P6).
bool WritePpm(const QImage& image, const QString& path);

// Runs a program; its exit code, or -1 when it could not be started.
int RunProgram(const QString& program, const QStringList& args, QByteArray* output = nullptr);

} // namespace picturefiles
