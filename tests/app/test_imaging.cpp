#include "app/imaging.h"

#include "picture/picture.h"

#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TScaledSize Fit(int sw, int sh, int mw = 620, int mh = 480) {
    return ComputeScaledSize(sw, sh, mw, mh, false, true);
}

} // namespace

TEST(ImageSettings, PlainNumbersAreTaken) {
    EXPECT_EQ(ParseImageSettings("800", "600", "95"), (TImageSettings{800, 600, 95}));
    EXPECT_EQ(ParseImageSettings(" +640 ", "-0", "1"), (TImageSettings{640, 1, 1}));
}

TEST(ImageSettings, TextsThatAreNoIntegersKeepTheDefaults) {
    EXPECT_EQ(ParseImageSettings("", "", ""), (TImageSettings{620, 480, 80}));
    EXPECT_EQ(ParseImageSettings("x", "12.5", "abc"), (TImageSettings{620, 480, 80}));
    EXPECT_EQ(ParseImageSettings("3000000000", "1e3", "0x10"), (TImageSettings{620, 480, 80}));
}

TEST(ImageSettings, OutOfRangeValuesAreClamped) {
    EXPECT_EQ(ParseImageSettings("0", "-7", "0").MaxWidth, 1);
    EXPECT_EQ(ParseImageSettings("0", "-7", "0").MaxHeight, 1);
    EXPECT_EQ(ParseImageSettings("", "", "0").Quality, 1);
    EXPECT_EQ(ParseImageSettings("", "", "-5").Quality, 1);
    EXPECT_EQ(ParseImageSettings("", "", "150").Quality, 100);
    EXPECT_EQ(ParseImageSettings("", "", "100").Quality, 100);
    EXPECT_EQ(ParseImageSettings("2147483647", "", "").MaxWidth, 2147483647);
}

TEST(ScaledSize, FitsInsideTheBoundsTouchingOne) {
    EXPECT_EQ(Fit(1600, 1200), (TScaledSize{620, 465}));
    EXPECT_EQ(Fit(1024, 768), (TScaledSize{620, 465}));
    EXPECT_EQ(Fit(3000, 1000), (TScaledSize{620, 206}));
    EXPECT_EQ(Fit(1000, 2000), (TScaledSize{240, 480}));
    // Small pictures are enlarged the same way.
    EXPECT_EQ(Fit(100, 100), (TScaledSize{480, 480}));
}

TEST(ScaledSize, TieFitsTheWidth) {
    EXPECT_EQ(Fit(620, 480), (TScaledSize{620, 480}));
    EXPECT_EQ(Fit(1240, 960), (TScaledSize{620, 480}));
    // One pixel taller than the bounds' shape goes by the height.
    EXPECT_EQ(Fit(1240, 961), (TScaledSize{1240 * 480 / 961, 480}));
}

TEST(ScaledSize, ComparesExactlyNotByRoundedRatios) {
    // 1000/333 and 3/1 agree to three places; only the cross products tell them apart.
    EXPECT_EQ(Fit(1000, 333, 3, 1), (TScaledSize{3, 0}));
    EXPECT_EQ(Fit(999, 333, 3, 1), (TScaledSize{3, 1}));
    EXPECT_EQ(Fit(998, 333, 3, 1), (TScaledSize{2, 1}));
}

TEST(ScaledSize, WidthBoundOneGivesHeightZeroForWidePictures) {
    EXPECT_EQ(Fit(1600, 1200, 1, 480), (TScaledSize{1, 0}));
    EXPECT_EQ(Fit(1200, 1600, 1, 480), (TScaledSize{1, 1}));
}

TEST(ScaledSize, HugeBoundsDoNotOverflow) {
    const int big = 2147483647;
    EXPECT_EQ(Fit(65500, 1, big, big), (TScaledSize{big, big / 65500}));
    EXPECT_EQ(Fit(1, 65500, big, big), (TScaledSize{big / 65500, big}));
    EXPECT_EQ(Fit(1, 1, big, big), (TScaledSize{big, big}));
}

TEST(ScaledSize, KeepOriginalWinsAndUnconstrainedStretches) {
    EXPECT_EQ(ComputeScaledSize(1600, 1200, 620, 480, true, true), (TScaledSize{1600, 1200}));
    EXPECT_EQ(ComputeScaledSize(1600, 1200, 620, 480, true, false), (TScaledSize{1600, 1200}));
    EXPECT_EQ(ComputeScaledSize(1600, 1200, 620, 480, false, false), (TScaledSize{620, 480}));
    EXPECT_EQ(ComputeScaledSize(10, 3000, 620, 480, false, false), (TScaledSize{620, 480}));
}

TEST(Resize, DrawsNearestPixelIntoWhite) {
    // Four coloured quadrants, doubled: every target pixel keeps its quadrant's exact colour.
    QImage source(2, 2, QImage::Format_RGB888);
    source.setPixel(0, 0, qRgb(255, 0, 0));
    source.setPixel(1, 0, qRgb(0, 255, 0));
    source.setPixel(0, 1, qRgb(0, 0, 255));
    source.setPixel(1, 1, qRgb(10, 20, 30));
    const QImage scaled = ResizeImage(source, source.size(), {4, 4, 80}, false, true);
    ASSERT_EQ(scaled.size(), QSize(4, 4));
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(scaled.pixel(x, y), source.pixel(x / 2, y / 2)) << x << "," << y;
        }
    }
}

TEST(Resize, ShrinkingPicksSourcePixelsWithoutBlending) {
    QImage source(300, 100, QImage::Format_RGB32);
    for (int x = 0; x < 300; ++x) {
        for (int y = 0; y < 100; ++y)
            source.setPixel(x, y, x % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    }
    const QImage scaled = ResizeImage(source, source.size(), {620, 480, 80}, false, false);
    ASSERT_EQ(scaled.size(), QSize(620, 480));
    const QImage small = ResizeImage(source, source.size(), {7, 480, 80}, false, true);
    ASSERT_EQ(small.size(), QSize(7, 2));
    for (int x = 0; x < 7; ++x) {
        const QRgb p = small.pixel(x, 0);
        EXPECT_TRUE(p == qRgb(0, 0, 0) || p == qRgb(255, 255, 255)) << std::hex << p;
    }
}

TEST(Resize, TransparentPartsShowWhite) {
    QImage source(10, 10, QImage::Format_ARGB32);
    source.fill(Qt::transparent);
    source.setPixel(0, 0, qRgba(0, 0, 255, 255));
    const QImage scaled = ResizeImage(source, source.size(), {10, 10, 80}, true, true);
    EXPECT_EQ(scaled.pixel(0, 0), qRgb(0, 0, 255));
    EXPECT_EQ(scaled.pixel(5, 5), qRgb(255, 255, 255));
}

TEST(Resize, EmptySourceGivesWhitePictureOfTheComputedSize) {
    const QImage scaled = ResizeImage(QImage(), QSize(54, 30), {620, 480, 80}, false, true);
    ASSERT_EQ(scaled.size(), QSize(620, 344));
    EXPECT_EQ(scaled.pixel(300, 200), qRgb(255, 255, 255));
}

TEST(Resize, ComputedZeroSideIsDrawnOnePixelWide) {
    QImage thin(621, 1, QImage::Format_RGB32);
    thin.fill(qRgb(10, 20, 30));
    const QImage scaled = ResizeImage(thin, thin.size(), {620, 480, 80}, false, true);
    ASSERT_EQ(scaled.size(), QSize(620, 1));
    EXPECT_EQ(scaled.pixel(619, 0), qRgb(10, 20, 30));
    EXPECT_EQ(ResizeImage(QImage(), QSize(1600, 1200), {1, 480, 80}, false, true).size(),
              QSize(1, 1));
}

TEST(Resize, TypedSizesBeyondTheLimitFailClearly) {
    const QImage source(16, 16, QImage::Format_RGB32);
    try {
        ResizeImage(source, source.size(), {100000, 100000, 80}, false, false);
        FAIL() << "no error";
    } catch (const EImageSizeError& e) {
        EXPECT_NE(std::string(e.what()).find("100000 x 100000"), std::string::npos) << e.what();
    }
    EXPECT_THROW(ResizeImage(source, source.size(), {2147483647, 1, 80}, false, false),
                 EImageSizeError);
    EXPECT_THROW(ResizeImage(QImage(), QSize(70000, 70000), {620, 480, 80}, true, true),
                 EImageSizeError);
}

TEST(FileNames, ExtensionIsTakenFromTheWholePath) {
    EXPECT_EQ(FileExtension("/home/u/Photo.JPEG"), "JPEG");
    EXPECT_EQ(FileExtension("/home/u/a.b.bmp"), "bmp");
    EXPECT_EQ(FileExtension("/home/u/my.pics/photo"), "pics/photo");
    EXPECT_EQ(FileExtension("/home/u/photo"), "/home/u/photo");
    EXPECT_EQ(FileExtension("photo."), "");
}

TEST(FileNames, AcceptedTypes) {
    for (const char* p :
         {"a.jpg", "a.jpeg", "a.bmp", "a.ico", "a.emf", "a.wmf", "/x/PHOTO.JPG", "b.WmF", "a.png",
          "a.GIF", "a.webp", "a.tif", "a.tiff", "a.heic", "a.heif", "a.avif",
          // No dot: the whole name is the extension.
          "jpg"}) {
        EXPECT_TRUE(CheckImageFileType(p)) << p;
    }
    for (const char* p :
         {"a.psd", "a.svg", "a.xcf", "/x/my.pics/photo", "/x/jpg", "", "a.jpg.txt", "a."}) {
        EXPECT_FALSE(CheckImageFileType(p)) << p;
    }
}

TEST(FileNames, UploadNameReplacesTheExtension) {
    EXPECT_EQ(UploadFileName("/home/u/Photo.JPEG"), "Photo.jpg");
    EXPECT_EQ(UploadFileName("/home/u/scan.bmp"), "scan.jpg");
    EXPECT_EQ(UploadFileName("/home/u/picture.jpeg"), "picture.jpg");
    EXPECT_EQ(UploadFileName("/home/u/a.b.bmp"), "a.b.jpg");
    EXPECT_EQ(UploadFileName("/x.y/icon.ico"), "icon.jpg");
    EXPECT_EQ(UploadFileName("plain.wmf"), "plain.jpg");
    EXPECT_EQ(UploadFileName("/home/u/Holiday.png"), "Holiday.jpg");
    EXPECT_EQ(UploadFileName("/home/u/IMG_0001.HEIC"), "IMG_0001.jpg");
}

TEST(FileNames, NativeNamesKeepTheirBytes) {
    for (const QByteArray& native :
         {QByteArray("/tmp/plain.jpg"), QByteArray("/tmp/caf\xc3\xa9.jpg"),
          QByteArray("/tmp/\xf0\x9f\x98\x80.jpg"), QByteArray("/tmp/caf\xe9.jpg"),
          QByteArray("/tmp/\xc3\xa9\xe9\xed\xb2\x80.jpg")}) {
        EXPECT_EQ(NativeFileName(FileNameOfNative(native)), native) << native.toHex().data();
    }
    EXPECT_EQ(FileNameOfNative("/tmp/caf\xc3\xa9.jpg"), QString::fromUtf8("/tmp/caf\xc3\xa9.jpg"));
    EXPECT_EQ(UploadFileName(FileNameOfNative("/tmp/caf\xe9.bmp")),
              QString::fromLatin1("caf\xe9.jpg"));
}

TEST(FileNames, CreateFilenameJoinsWithOneSlash) {
    EXPECT_EQ(CreateFilename("/opt/imglift/", "temp.jpg"), "/opt/imglift/temp.jpg");
    EXPECT_EQ(CreateFilename("/opt/imglift", "temp.jpg"), "/opt/imglift/temp.jpg");
}

TEST(LoadImageFile, DecoderFollowsTheExtensionAndFailuresLeaveNoPicture) {
    QTemporaryDir dir;
    QImage pixels(6, 4, QImage::Format_RGB32);
    pixels.fill(qRgb(0, 0, 255));
    WriteBitmap(pixels, dir.filePath("scan.BMP"));
    QImage image(3, 3, QImage::Format_RGB32);
    QString error;
    ASSERT_TRUE(LoadImageFile(image, dir.filePath("scan.BMP"), &error)) << error.toStdString();
    EXPECT_EQ(image.size(), QSize(6, 4));
    EXPECT_EQ(image.pixel(5, 3), qRgb(0, 0, 255));

    // The same bytes named .jpg go to the JPEG decoder and fail.
    ASSERT_TRUE(QFile::copy(dir.filePath("scan.BMP"), dir.filePath("scan.jpg")));
    EXPECT_FALSE(LoadImageFile(image, dir.filePath("scan.jpg"), &error));
    EXPECT_TRUE(image.isNull());
    EXPECT_FALSE(error.isEmpty());

    // A bitmap is not among the types a .png may turn out to be.
    ASSERT_TRUE(QFile::copy(dir.filePath("scan.BMP"), dir.filePath("scan.png")));
    image = pixels;
    EXPECT_FALSE(LoadImageFile(image, dir.filePath("scan.png")));
    EXPECT_TRUE(image.isNull());
    EXPECT_FALSE(LoadImageFile(image, dir.filePath("none.bmp")));
}
