#include "picture_files.h"

#include <QFile>
#include <QProcess>
#include <QtEndian>
#include <algorithm>

namespace picturefiles {
namespace {

void Put16(QByteArray& d, int v) {
    d.append(static_cast<char>(v & 0xff));
    d.append(static_cast<char>((v >> 8) & 0xff));
}
void Put32(QByteArray& d, qint64 v) {
    Put16(d, static_cast<int>(v & 0xffff));
    Put16(d, static_cast<int>((v >> 16) & 0xffff));
}
quint32 ColorRef(QColor c) {
    return static_cast<quint32>(c.red()) | static_cast<quint32>(c.green()) << 8 |
           static_cast<quint32>(c.blue()) << 16;
}

// Records after the 18-byte header: window, brush, null pen, rectangle, end.
QByteArray WmfBody(int width, int height, QRect filled, QColor color, const QByteArray& extra) {
    QByteArray r;
    const auto record = [&r](int function, std::initializer_list<int> words) {
        Put32(r, 3 + static_cast<qint64>(words.size()));
        Put16(r, function);
        for (const int w : words)
            Put16(r, w);
    };
    record(0x020B, {0, 0});          // SETWINDOWORG y, x
    record(0x020C, {height, width}); // SETWINDOWEXT y, x
    const quint32 ref = ColorRef(color);
    record(0x02FC, {0, static_cast<int>(ref & 0xffff), static_cast<int>(ref >> 16), 0}); // brush
    record(0x012D, {0});             // SELECTOBJECT brush
    record(0x02FA, {5, 0, 0, 0, 0}); // CREATEPENINDIRECT PS_NULL
    record(0x012D, {1});             // SELECTOBJECT pen
    record(0x041B, {filled.y() + filled.height(), filled.x() + filled.width(), filled.y(),
                    filled.x()}); // RECTANGLE bottom, right, top, left
    r += extra;
    record(0x0000, {}); // EOF
    QByteArray header;
    Put16(header, 1); // memory metafile
    Put16(header, 9); // header words
    Put16(header, 0x0300);
    Put32(header, (18 + r.size()) / 2);
    Put16(header, 2); // objects
    const qint64 extraWords = extra.size() >= 4 ? qFromLittleEndian<quint32>(extra.constData()) : 0;
    Put32(header, std::max<qint64>(8, extraWords)); // largest record in words
    Put16(header, 0);
    return header + r;
}

} // namespace

QByteArray MakeWmf(int width, int height, int unitsPerInch, QRect filled, QColor color,
                   const QByteArray& extraRecords) {
    QByteArray p;
    Put32(p, 0x9AC6CDD7);
    Put16(p, 0);
    Put16(p, 0);
    Put16(p, 0);
    Put16(p, width);
    Put16(p, height);
    Put16(p, unitsPerInch);
    Put32(p, 0);
    quint16 sum = 0;
    for (int i = 0; i < 10; ++i)
        sum ^= qFromLittleEndian<quint16>(p.constData() + 2 * i);
    Put16(p, sum);
    return p + WmfBody(width, height, filled, color, extraRecords);
}

QByteArray MakeWmfWithoutHeader(int width, int height, QRect filled, QColor color) {
    return WmfBody(width, height, filled, color, {});
}

QByteArray MakeEmf(int frameWidth, int frameHeight, QRect filled, QColor color,
                   const QByteArray& extraRecords) {
    QByteArray r;
    const auto record = [&r](quint32 type, std::initializer_list<qint64> dwords) {
        Put32(r, type);
        Put32(r, 8 + 4 * static_cast<qint64>(dwords.size()));
        for (const qint64 v : dwords)
            Put32(r, v);
    };
    record(39, {1, 0, ColorRef(color), 0}); // CREATEBRUSHINDIRECT 1, solid
    record(37, {1});                        // SELECTOBJECT 1
    record(37, {0x80000008});               // SELECTOBJECT NULL_PEN
    record(43, {filled.x(), filled.y(), filled.x() + filled.width(),
                filled.y() + filled.height()}); // RECTANGLE
    r += extraRecords;
    record(14, {0, 16, 20}); // EOF
    const qint64 pxW = qint64{frameWidth} * 96 / 2540;
    const qint64 pxH = qint64{frameHeight} * 96 / 2540;
    QByteArray h;
    Put32(h, 1);
    Put32(h, 88);
    for (const qint64 v : {qint64{0}, qint64{0}, pxW - 1, pxH - 1})
        Put32(h, v); // bounds
    for (const int v : {0, 0, frameWidth, frameHeight})
        Put32(h, v); // frame
    Put32(h, 0x464D4520);
    Put32(h, 0x10000);
    Put32(h, 88 + r.size());
    Put32(h, 6 + (extraRecords.isEmpty() ? 0 : 1)); // records
    Put16(h, 2);                                    // handles
    Put16(h, 0);
    Put32(h, 0); // description
    Put32(h, 0);
    Put32(h, 0); // palette
    for (const int v : {1920, 1080, 508, 286})
        Put32(h, v); // device pixels and millimetres
    return h + r;
}

// A 24-bit bottom-up DIB of one colour: its header claims claimedWidth x claimedHeight, its
// pixels are for width x height.
QByteArray Dib(int width, int height, qint64 claimedWidth, qint64 claimedHeight, QColor color) {
    const int stride = (width * 3 + 3) / 4 * 4;
    QByteArray d;
    Put32(d, 40);
    Put32(d, claimedWidth);
    Put32(d, claimedHeight);
    Put16(d, 1);
    Put16(d, 24);
    Put32(d, 0);
    Put32(d, qint64{stride} * height);
    for (int i = 0; i < 4; ++i)
        Put32(d, 0);
    for (int y = 0; y < height; ++y) {
        QByteArray row(stride, '\0');
        for (int x = 0; x < width; ++x) {
            row[x * 3] = static_cast<char>(color.blue());
            row[x * 3 + 1] = static_cast<char>(color.green());
            row[x * 3 + 2] = static_cast<char>(color.red());
        }
        d += row;
    }
    return d;
}

QByteArray WmfStretchDib(QRect dest, const QByteArray& dib) {
    const qint32 width = qFromLittleEndian<qint32>(dib.constData() + 4);
    const qint32 height = qFromLittleEndian<qint32>(dib.constData() + 8);
    QByteArray r;
    Put32(r, (6 + 4 + 2 + 16 + dib.size()) / 2);
    Put16(r, 0x0F43);
    Put32(r, 0x00CC0020); // SRCCOPY
    Put16(r, 0);          // DIB_RGB_COLORS
    for (const int v : {height, width, 0, 0, dest.height(), dest.width(), dest.y(), dest.x()}) {
        Put16(r, v);
    }
    return r + dib;
}

QByteArray EmfStretchDibits(QRect dest, const QByteArray& dib) {
    const qint32 width = qFromLittleEndian<qint32>(dib.constData() + 4);
    const qint32 height = qFromLittleEndian<qint32>(dib.constData() + 8);
    QByteArray r;
    Put32(r, 81);
    Put32(r, 80 + dib.size());
    for (const int v :
         {dest.x(), dest.y(), dest.x() + dest.width() - 1, dest.y() + dest.height() - 1}) {
        Put32(r, v);
    }
    for (const qint64 v :
         {qint64{dest.x()}, qint64{dest.y()}, qint64{0}, qint64{0}, qint64{width}, qint64{height},
          qint64{80}, qint64{40}, qint64{120}, dib.size() - qint64{40}, qint64{0},
          qint64{0x00CC0020}, qint64{dest.width()}, qint64{dest.height()}}) {
        Put32(r, v);
    }
    return r + dib;
}

bool WriteFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QImage Pattern(int width, int height, QImage::Format format) {
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            image.setPixel(
                x, y, qRgb((x * 7 + y * 3) & 0xff, (x * 13 + y * 29) & 0xff, (x ^ y) * 5 & 0xff));
        }
    }
    return image.convertToFormat(format);
}

bool WritePpm(const QImage& image, const QString& path) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    QByteArray d = QStringLiteral("P6\n%1 %2\n255\n").arg(rgb.width()).arg(rgb.height()).toLatin1();
    for (int y = 0; y < rgb.height(); ++y) {
        d.append(reinterpret_cast<const char*>(rgb.constScanLine(y)), rgb.width() * 3);
    }
    return WriteFile(path, d);
}

int RunProgram(const QString& program, const QStringList& args, QByteArray* output) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(10000) || !p.waitForFinished(60000)) return -1;
    if (output) *output = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace picturefiles
