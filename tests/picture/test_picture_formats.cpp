// The picture types of today's desktops: PNG, GIF, WebP, TIFF, HEIC and AVIF, made by ImageMagick
// at test time.

#include "app/imaging.h"
#include "picture/picture.h"
#include "picture_files.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

using namespace picturefiles;

namespace {

// 30 x 20, red, with a blue square at the top left and a green one at the bottom right: any
// turn or mirror moves them.
QImage Marked() {
    QImage image(30, 20, QImage::Format_RGB888);
    image.fill(QColor(255, 0, 0));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            image.setPixelColor(x, y, QColor(0, 0, 255));
    for (int y = 14; y < 20; ++y)
        for (int x = 24; x < 30; ++x)
            image.setPixelColor(x, y, QColor(0, 255, 0));
    return image;
}

// Empty when both hold the same RGB pixels, else where they first differ.
std::string Difference(const QImage& got, const QImage& want) {
    if (got.size() != want.size()) {
        return QStringLiteral("size %1x%2").arg(got.width()).arg(got.height()).toStdString();
    }
    for (int y = 0; y < want.height(); ++y)
        for (int x = 0; x < want.width(); ++x)
            if (got.pixelColor(x, y).rgb() != want.pixelColor(x, y).rgb())
                return QStringLiteral("(%1,%2): %3, not %4")
                    .arg(x)
                    .arg(y)
                    .arg(got.pixelColor(x, y).name(), want.pixelColor(x, y).name())
                    .toStdString();
    return {};
}

// Near enough for lossy formats: every channel within 48.
bool Near(QColor a, QColor b) {
    return std::abs(a.red() - b.red()) < 48 && std::abs(a.green() - b.green()) < 48 &&
           std::abs(a.blue() - b.blue()) < 48;
}

// The colours at the middle of both squares and of the red ground.
void ExpectMarked(const QImage& image, const char* what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(image.size(), QSize(30, 20));
    EXPECT_TRUE(Near(image.pixelColor(4, 4), Qt::blue)) << image.pixelColor(4, 4).name().data();
    EXPECT_TRUE(Near(image.pixelColor(27, 17), Qt::green));
    EXPECT_TRUE(Near(image.pixelColor(18, 5), Qt::red));
}

class PictureFormatsTest : public ::testing::Test {
protected:
    QString Path(const QString& name) const { return dir_.filePath(name); }

    // The marked picture converted by ImageMagick to name, with its options before the name.
    QString Convert(const QString& name, const QStringList& options = {}) const {
        const QString ppm = Path("marked.ppm");
        EXPECT_TRUE(WritePpm(Marked(), ppm));
        EXPECT_EQ(RunProgram("convert", QStringList{ppm} + options + QStringList{Path(name)}), 0)
            << name.toStdString();
        return Path(name);
    }

    QImage Load(const QString& path) const {
        const QString extension = path.mid(path.lastIndexOf('.') + 1);
        const auto kind = PictureKindOfExtension(extension);
        EXPECT_TRUE(kind) << extension.toStdString();
        return LoadPicture(path, kind.value_or(pkPhoto));
    }

    void ExpectRefused(const QString& path) const {
        try {
            const QImage image = Load(path);
            ADD_FAILURE() << path.toStdString() << " loaded as " << image.width() << "x"
                          << image.height();
        } catch (const EPictureError& e) {
            EXPECT_GT(std::strlen(e.what()), 0u);
        }
    }

    QTemporaryDir dir_;
};

TEST_F(PictureFormatsTest, EachTypeLoadsWithItsSizeAndPixels) {
    // Lossless: every pixel as written.
    const QImage exact = Marked();
    for (const auto& [name, options] :
         {std::pair{"m.png", QStringList{}}, std::pair{"m.gif", QStringList{}},
          std::pair{"m.webp", QStringList{"-define", "webp:lossless=true"}},
          std::pair{"m.tif", QStringList{}}, std::pair{"m.TIFF", QStringList{}}}) {
        SCOPED_TRACE(name);
        const QImage image = Load(Convert(name, options));
        EXPECT_EQ(Difference(image, exact), "");
    }
    // Lossy: the colours near enough.
    for (const char* name : {"m.heic", "m.avif", "lossy.webp"})
        ExpectMarked(Load(Convert(name)), name);
}

TEST_F(PictureFormatsTest, PaletteSixteenBitAndAnimatedPicturesKeepTheirColours) {
    const QImage exact = Marked();
    const QString ppm = Path("marked.ppm");
    ASSERT_TRUE(WritePpm(exact, ppm));
    // Three colours fit a palette exactly; 16 bits a channel go back to the same 8.
    ASSERT_EQ(RunProgram("convert", {ppm, "-type", "Palette", "PNG8:" + Path("palette.png")}), 0);
    ASSERT_EQ(RunProgram("convert", {ppm, "-depth", "16", "PNG48:" + Path("deep.png")}), 0);
    ASSERT_EQ(RunProgram("convert", {ppm, "-depth", "16", Path("deep.tif")}), 0);
    const QImage palette = Load(Path("palette.png"));
    EXPECT_EQ(palette.format(), QImage::Format_Indexed8);
    EXPECT_EQ(Difference(palette, exact), "");
    for (const char* name : {"deep.png", "deep.tif"}) {
        const QImage deep = Load(Path(name));
        EXPECT_EQ(deep.depth(), 64) << name;
        EXPECT_EQ(Difference(deep, exact), "") << name;
    }
    // An animation gives its first frame.
    QImage blue(30, 20, QImage::Format_RGB888);
    blue.fill(Qt::blue);
    ASSERT_TRUE(WritePpm(blue, Path("blue.ppm")));
    for (const char* name : {"anim.gif", "anim.webp"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(RunProgram("convert", {"-delay", "10", Path("marked.ppm"), Path("blue.ppm"),
                                         "-define", "webp:lossless=true", Path(name)}),
                  0);
        EXPECT_EQ(Difference(Load(Path(name)), exact), "");
    }
}

TEST_F(PictureFormatsTest, TransparentPngIsFlattenedOntoWhiteInTheJpeg) {
    QImage clear(30, 20, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 10; ++x)
            clear.setPixelColor(x, y, QColor(0, 0, 255));
    ASSERT_TRUE(clear.save(Path("clear.png")));
    const QImage loaded = Load(Path("clear.png"));
    ASSERT_TRUE(loaded.hasAlphaChannel());
    const QImage scaled =
        ResizeImage(loaded, loaded.size(), TImageSettings{620, 480, 80}, true, true);
    const QImage jpeg = QImage::fromData(EncodeJpeg(scaled, 90), "JPG");
    ASSERT_EQ(jpeg.size(), QSize(30, 20));
    EXPECT_TRUE(Near(jpeg.pixelColor(25, 10), Qt::white)) << jpeg.pixelColor(25, 10).name().data();
    EXPECT_TRUE(Near(jpeg.pixelColor(4, 10), Qt::blue));
}

// EXIF as a JPEG marker holds it: "Exif", then a big-endian TIFF directory with the orientation.
QByteArray ExifBlock(int orientation) {
    QByteArray exif("Exif\0\0MM\0\x2a\0\0\0\x08\0\x01", 16);
    exif += QByteArray("\x01\x12\0\x03\0\0\0\x01", 8);
    exif += char(0), exif += char(orientation), exif += QByteArray(2, '\0');
    exif += QByteArray(4, '\0'); // no further directory
    return exif;
}

// The marked picture as a baseline JPEG with an EXIF block that gives the orientation.
QByteArray JpegWithOrientation(int orientation) {
    const QByteArray exif = ExifBlock(orientation);
    QByteArray segment("\xff\xe1", 2);
    segment += char((exif.size() + 2) >> 8), segment += char((exif.size() + 2) & 0xff);
    QByteArray jpeg = EncodeJpeg(Marked(), 95);
    return jpeg.insert(2, segment + exif);
}

TEST_F(PictureFormatsTest, ExifOrientationTurnsJpegWebpAndTiffUpright) {
    // Each orientation against ImageMagick's own turning of the same file.
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE(orientation);
        const QString jpeg = Path(QStringLiteral("o%1.jpg").arg(orientation));
        ASSERT_TRUE(WriteFile(jpeg, JpegWithOrientation(orientation)));
        const QString upright = Path("upright.ppm");
        ASSERT_EQ(RunProgram("convert", {jpeg, "-auto-orient", upright}), 0);
        QImage expected;
        ASSERT_TRUE(expected.load(upright, "PPM"));
        const QImage image = Load(jpeg);
        ASSERT_EQ(image.size(), expected.size());
        for (const QPoint p : {QPoint(3, 3), QPoint(image.width() - 3, image.height() - 3),
                               QPoint(image.width() - 3, 3), QPoint(3, image.height() - 3)})
            EXPECT_TRUE(Near(image.pixelColor(p), expected.pixelColor(p)))
                << p.x() << "," << p.y() << ": " << image.pixelColor(p).name().toStdString()
                << ", ImageMagick " << expected.pixelColor(p).name().toStdString();
    }
    // Orientation 6: turned a quarter to the right, the blue square at the top right.
    const QString tiff = Convert("r.tif", {"-orient", "RightTop"});
    for (const QImage& image : {Load(Path("o6.jpg")), Load(tiff)}) {
        ASSERT_EQ(image.size(), QSize(20, 30));
        EXPECT_TRUE(Near(image.pixelColor(16, 4), Qt::blue));
        EXPECT_TRUE(Near(image.pixelColor(2, 27), Qt::green));
    }

    // WebP: the extended format with an EXIF chunk around ImageMagick's lossless picture.
    const QByteArray simple = ReadFile(Convert("s.webp", {"-define", "webp:lossless=true"}));
    ASSERT_EQ(simple.mid(12, 4), "VP8L");
    const QByteArray exif = ExifBlock(6).mid(6);
    QByteArray body("WEBPVP8X\x0a\0\0\0\x08\0\0\0", 16);
    body += QByteArray("\x1d\0\0\x13\0\0", 6); // canvas 30 x 20, less one
    body += simple.mid(12);
    body += "EXIF";
    body += QByteArray(4, '\0');
    qToLittleEndian<quint32>(exif.size(), body.data() + body.size() - 4);
    body += exif;
    QByteArray webp("RIFF\0\0\0\0", 8);
    qToLittleEndian<quint32>(body.size(), webp.data() + 4);
    ASSERT_TRUE(WriteFile(Path("r.webp"), webp + body));
    const QImage turned = Load(Path("r.webp"));
    ASSERT_EQ(turned.size(), QSize(20, 30));
    EXPECT_TRUE(Near(turned.pixelColor(16, 4), Qt::blue));
}

TEST_F(PictureFormatsTest, ContentDecidesForTheNewTypesAndTheExtensionForTheOldOnes) {
    // A .png that is really a JPEG (a browser's "Save as" does that) loads.
    ASSERT_TRUE(WriteFile(Path("photo.png"), EncodeJpeg(Marked(), 95)));
    ExpectMarked(Load(Path("photo.png")), "photo.png");
    ASSERT_TRUE(QFile::copy(Convert("m.heic"), Path("really-heic.webp")));
    ExpectMarked(Load(Path("really-heic.webp")), "really-heic.webp");
    // A .jpg that is really a PNG is refused, as every .jpg that libjpeg cannot read.
    ASSERT_TRUE(QFile::copy(Convert("m.png"), Path("png.jpg")));
    ExpectRefused(Path("png.jpg"));
    // A .png holding a bitmap or text is no picture of the new types.
    WriteBitmap(Marked(), Path("bitmap.png"));
    ExpectRefused(Path("bitmap.png"));
    ASSERT_TRUE(WriteFile(Path("text.gif"), "GIF is a nice format\n"));
    ExpectRefused(Path("text.gif"));
}

TEST_F(PictureFormatsTest, DamagedFilesAreRefused) {
    for (const char* name : {"m.png", "m.gif", "m.webp", "m.tif", "m.heic", "m.avif"}) {
        const QByteArray whole = ReadFile(Convert(name));
        const QString cut = Path(QStringLiteral("cut.") + QString(name).mid(2));
        // A TIFF keeps its directory after the pixels: cut near its end, only tags are lost.
        const qsizetype nearEnd = whole.size() - (QString(name).endsWith("tif") ? 0 : 20);
        for (const qsizetype length :
             {qsizetype{0}, qsizetype{8}, whole.size() / 2, whole.size() * 3 / 4, nearEnd}) {
            if (length == whole.size()) continue;
            SCOPED_TRACE(::testing::Message() << name << " cut at " << length);
            ASSERT_TRUE(WriteFile(cut, whole.left(length)));
            ExpectRefused(cut);
        }
    }
    // A PNG whose header says 100000 x 100000 (with a right checksum): refused before the pixels.
    QByteArray png = ReadFile(Convert("h.png"));
    qToBigEndian<quint32>(100000, png.data() + 16);
    qToBigEndian<quint32>(100000, png.data() + 20);
    const QString fixCrc =
        QStringLiteral("import sys, zlib; d = bytearray(open(sys.argv[1], 'rb').read()); "
                       "d[29:33] = zlib.crc32(bytes(d[12:29])).to_bytes(4, 'big'); "
                       "open(sys.argv[1], 'wb').write(d)");
    ASSERT_TRUE(WriteFile(Path("huge.png"), png));
    ASSERT_EQ(RunProgram("python3", {"-c", fixCrc, Path("huge.png")}), 0);
    ExpectRefused(Path("huge.png"));
}

} // namespace
