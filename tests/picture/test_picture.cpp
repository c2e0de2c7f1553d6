#include "picture/picture.h"
#include "picture_files.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace picturefiles;

namespace {

class PictureTest : public ::testing::Test {
protected:
    QString Path(const QString& name) const { return dir_.filePath(name); }

    // Writes the pixels as PPM, returns the path.
    QString Ppm(const QImage& image, const QString& name = "src.ppm") const {
        const QString p = Path(name);
        EXPECT_TRUE(WritePpm(image, p));
        return p;
    }

    // The RGB pixels djpeg decodes from a JPEG file.
    QImage Djpeg(const QString& jpeg) const {
        const QString out = Path("djpeg.ppm");
        EXPECT_EQ(RunProgram("djpeg", {"-outfile", out, jpeg}), 0);
        QImage image;
        EXPECT_TRUE(image.load(out, "PPM"));
        return image.convertToFormat(QImage::Format_RGB888);
    }

    QByteArray Cjpeg(const QString& ppm, int quality, const QStringList& extra = {}) const {
        const QString out = Path("cjpeg.jpg");
        QFile::remove(out);
        EXPECT_EQ(
            RunProgram("cjpeg", QStringList{"-quality", QString::number(quality), "-baseline"} +
                                    extra + QStringList{"-outfile", out, ppm}),
            0);
        return ReadFile(out);
    }

    void ExpectLoadError(const QString& path, TPictureKind kind) const {
        try {
            const QImage image = LoadPicture(path, kind);
            ADD_FAILURE() << path.toStdString() << " loaded as " << image.width() << "x"
                          << image.height();
        } catch (const EPictureError& e) {
            EXPECT_GT(std::strlen(e.what()), 0u);
        }
    }

    QTemporaryDir dir_;
};

bool SamePixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return false;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y)) return false;
        }
    }
    return true;
}

struct JpegMarkers {
    QList<int> markers;    // every marker up to the first scan
    int components = 0;    // from the frame header
    QList<QList<int>> dqt; // quantisation tables, zigzag order
};

JpegMarkers ParseJpeg(const QByteArray& d) {
    JpegMarkers m;
    if (d.size() < 4 || static_cast<uchar>(d[0]) != 0xFF || static_cast<uchar>(d[1]) != 0xD8)
        return m;
    qsizetype at = 2;
    while (at + 4 <= d.size() && static_cast<uchar>(d[at]) == 0xFF) {
        const int marker = static_cast<uchar>(d[at + 1]);
        const int length = qFromBigEndian<quint16>(d.constData() + at + 2);
        m.markers << marker;
        const char* body = d.constData() + at + 4;
        if (marker == 0xC0 || marker == 0xC2) m.components = static_cast<uchar>(body[5]);
        if (marker == 0xDB) {
            for (qsizetype i = 0; i + 65 <= length - 2; i += 65) {
                QList<int> table;
                for (int k = 0; k < 64; ++k)
                    table << static_cast<uchar>(body[i + 1 + k]);
                m.dqt << table;
            }
        }
        if (marker == 0xDA) break;
        at += 2 + length;
    }
    return m;
}

// The luminance table of the JPEG standard (Annex K), natural order, and the zigzag order.
constexpr int kLuminance[64] = {16,  11,  10,  16,  24, 40, 51,  61,  12,  12,  14,  19,  26,
                                58,  60,  55,  14,  13, 16, 24,  40,  57,  69,  56,  14,  17,
                                22,  29,  51,  87,  80, 62, 18,  22,  37,  56,  68,  109, 103,
                                77,  24,  35,  55,  64, 81, 104, 113, 92,  49,  64,  78,  87,
                                103, 121, 120, 101, 72, 92, 95,  98,  112, 100, 103, 99};
constexpr int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

QList<int> ExpectedLuminance(int quality) {
    const int scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    QList<int> t;
    for (const int k : kZigzag)
        t << std::clamp((kLuminance[k] * scale + 50) / 100, 1, 255);
    return t;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// JPEG output

TEST_F(PictureTest, JpegBytesEqualCjpegAtEveryQuality) {
    const QImage pixels = Pattern(37, 23);
    const QString ppm = Ppm(pixels);
    for (const int q : {1, 10, 50, 75, 80, 95, 100}) {
        EXPECT_EQ(EncodeJpeg(pixels, q), Cjpeg(ppm, q)) << "quality " << q;
    }
}

TEST_F(PictureTest, JpegBytesDoNotDependOnThePixelFormat) {
    const QImage rgb = Pattern(64, 48);
    const QString ppm = Ppm(rgb);
    const QByteArray expected = Cjpeg(ppm, 80);
    EXPECT_EQ(EncodeJpeg(rgb.convertToFormat(QImage::Format_RGB32), 80), expected);
    EXPECT_EQ(EncodeJpeg(rgb.convertToFormat(QImage::Format_ARGB32), 80), expected);
    EXPECT_EQ(
        EncodeJpeg(rgb.convertToFormat(QImage::Format_RGB16).convertToFormat(QImage::Format_RGB888),
                   80),
        EncodeJpeg(rgb.convertToFormat(QImage::Format_RGB16), 80));
    // A picture wider than one libjpeg buffer row group and taller than one MCU row.
    const QImage wide = Pattern(1031, 17, QImage::Format_RGB32);
    EXPECT_EQ(EncodeJpeg(wide, 80), Cjpeg(Ppm(wide, "wide.ppm"), 80));
}

TEST_F(PictureTest, QualityOutsideTheRangeIsClamped) {
    const QImage pixels = Pattern(16, 16);
    const QString ppm = Ppm(pixels);
    EXPECT_EQ(EncodeJpeg(pixels, 0), Cjpeg(ppm, 1));
    EXPECT_EQ(EncodeJpeg(pixels, -5), Cjpeg(ppm, 1));
    EXPECT_EQ(EncodeJpeg(pixels, 150), Cjpeg(ppm, 100));
}

TEST_F(PictureTest, JpegIsBaselineWithThreeComponentsAndQualityTables) {
    for (const int q : {1, 25, 50, 80, 100}) {
        const JpegMarkers m = ParseJpeg(EncodeJpeg(Pattern(20, 20), q));
        EXPECT_TRUE(m.markers.contains(0xC0)) << q;
        EXPECT_FALSE(m.markers.contains(0xC2)) << q;
        EXPECT_EQ(m.components, 3) << q;
        ASSERT_EQ(m.dqt.size(), 2) << q;
        EXPECT_EQ(m.dqt[0], ExpectedLuminance(q)) << q;
        for (const int v : m.dqt[1])
            EXPECT_LE(v, 255);
    }
}

TEST_F(PictureTest, WriteJpegReplacesAnExistingFile) {
    const QString out = Path("temp.jpg");
    ASSERT_TRUE(WriteFile(out, QByteArray(100000, 'x')));
    const QImage pixels = Pattern(30, 20);
    WriteJpeg(pixels, out, 80);
    EXPECT_EQ(ReadFile(out), EncodeJpeg(pixels, 80));
    EXPECT_TRUE(SamePixels(LoadPicture(out, pkJPEG), Djpeg(out)));
}

TEST_F(PictureTest, EmptyPicturesAreNeverWritten) {
    const QString out = Path("empty.jpg");
    EXPECT_THROW(WriteJpeg(QImage(), out, 80), EPictureError);
    EXPECT_FALSE(QFile::exists(out));
    // An existing file stays as it was.
    ASSERT_TRUE(WriteFile(out, "old"));
    EXPECT_THROW(WriteJpeg(QImage(), out, 80), EPictureError);
    EXPECT_THROW(WriteBitmap(QImage(), out), EPictureError);
    EXPECT_EQ(ReadFile(out), "old");
}

TEST_F(PictureTest, FileErrorsAreReported) {
    const QImage pixels = Pattern(8, 8);
    EXPECT_THROW(WriteJpeg(pixels, Path("missing/dir/x.jpg"), 80), EPictureError);
    EXPECT_THROW(WriteJpeg(pixels, dir_.path(), 80), EPictureError);
    EXPECT_THROW(WriteBitmap(pixels, Path("missing/dir/x.bmp")), EPictureError);
    EXPECT_THROW(WriteJpeg(Pattern(70000, 1, QImage::Format_RGB32), Path("wide.jpg"), 80),
                 EPictureError);
    EXPECT_FALSE(QFile::exists(Path("wide.jpg")));
}

TEST_F(PictureTest, BitmapIsWrittenWith24BitsAndReadsBack) {
    const QString out = Path("saved.jpg"); // the name does not decide the format
    const QImage pixels = Pattern(13, 7, QImage::Format_RGB32);
    WriteBitmap(pixels, out);
    const QByteArray d = ReadFile(out);
    ASSERT_GE(d.size(), 54);
    EXPECT_EQ(d.left(2), "BM");
    EXPECT_EQ(qFromLittleEndian<quint16>(d.constData() + 28), 24);
    EXPECT_TRUE(SamePixels(LoadPicture(out, pkBitmap), pixels));
    // Transparency is dropped, not written as a 32-bit bitmap.
    WriteBitmap(pixels.convertToFormat(QImage::Format_ARGB32), out);
    EXPECT_EQ(qFromLittleEndian<quint16>(ReadFile(out).constData() + 28), 24);
}

// ---------------------------------------------------------------------------------------------
// Loading

TEST_F(PictureTest, JpegDecodesAsDjpeg) {
    const QString ppm = Ppm(Pattern(45, 33));
    const QString jpg = Path("a.jpg");
    for (const QStringList& options :
         {QStringList{}, QStringList{"-progressive"}, QStringList{"-sample", "1x1"},
          QStringList{"-grayscale"}, QStringList{"-restart", "1"}}) {
        EXPECT_EQ(RunProgram("cjpeg", options + QStringList{"-outfile", jpg, ppm}), 0);
        const QImage image = LoadPicture(jpg, pkJPEG);
        EXPECT_EQ(image.format(), QImage::Format_RGB888);
        EXPECT_TRUE(SamePixels(image, Djpeg(jpg).convertToFormat(QImage::Format_RGB888)))
            << options.join(' ').toStdString();
    }
}

TEST_F(PictureTest, ImageMagickJpegBitmapAndIconLoad) {
    const QImage pixels = Pattern(32, 32);
    const QString ppm = Ppm(pixels);
    ASSERT_EQ(RunProgram("convert", {ppm, Path("m.bmp")}), 0);
    EXPECT_TRUE(SamePixels(LoadPicture(Path("m.bmp"), pkBitmap), pixels));
    ASSERT_EQ(RunProgram("convert", {ppm, Path("m.ico")}), 0);
    const QImage icon = LoadPicture(Path("m.ico"), pkIcon);
    EXPECT_TRUE(SamePixels(icon.convertToFormat(QImage::Format_RGB888), pixels));
    ASSERT_EQ(RunProgram("convert", {ppm, "-quality", "90", Path("m.jpg")}), 0);
    EXPECT_TRUE(SamePixels(LoadPicture(Path("m.jpg"), pkJPEG), Djpeg(Path("m.jpg"))));
    // 8-bit palette bitmap.
    ASSERT_EQ(RunProgram("convert", {ppm, "-colors", "16", "-type", "Palette", Path("p.bmp")}), 0);
    EXPECT_EQ(LoadPicture(Path("p.bmp"), pkBitmap).size(), QSize(32, 32));
}

TEST_F(PictureTest, CmykJpegBecomesRgb) {
    QImage red(16, 16, QImage::Format_RGB888);
    red.fill(QColor(255, 0, 0));
    ASSERT_EQ(RunProgram("convert", {Ppm(red), "-colorspace", "CMYK", Path("cmyk.jpg")}), 0);
    ASSERT_EQ(ParseJpeg(ReadFile(Path("cmyk.jpg"))).components, 4);
    const QColor c = LoadPicture(Path("cmyk.jpg"), pkJPEG).pixelColor(8, 8);
    EXPECT_GT(c.red(), 230);
    EXPECT_LT(c.green(), 30);
    EXPECT_LT(c.blue(), 30);
}

TEST_F(PictureTest, PlaceableMetafileIsDrawnAtItsFrameSize) {
    // 200 x 100 units at 192 units per inch: 100 x 50 pixels; the left half red.
    const QString p = Path("a.wmf");
    ASSERT_TRUE(WriteFile(p, MakeWmf(200, 100, 192, QRect(0, 0, 100, 100), QColor(255, 0, 0))));
    const QImage image = LoadPicture(p, pkMetafile);
    ASSERT_EQ(image.size(), QSize(100, 50));
    EXPECT_EQ(image.pixel(5, 25), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(45, 45), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(55, 5), qRgb(255, 255, 255));
    EXPECT_EQ(image.pixel(95, 45), qRgb(255, 255, 255));
}

TEST_F(PictureTest, MetafileWithoutPlaceableHeaderTakesItsDrawingsExtent) {
    const QString p = Path("b.wmf");
    ASSERT_TRUE(
        WriteFile(p, MakeWmfWithoutHeader(200, 100, QRect(0, 0, 200, 100), QColor(0, 128, 0))));
    const QImage image = LoadPicture(p, pkMetafile);
    EXPECT_GT(image.width(), image.height());
    EXPECT_EQ(image.pixel(image.width() / 2, image.height() / 2), qRgb(0, 128, 0));
}

TEST_F(PictureTest, EnhancedMetafileIsDrawnAtItsFrameSize) {
    // A frame of 2 x 1 inches is 192 x 96 pixels; the left square blue, the rest clear.
    const QString p = Path("a.emf");
    ASSERT_TRUE(WriteFile(p, MakeEmf(5080, 2540, QRect(0, 0, 96, 96), QColor(0, 0, 255))));
    const QImage image = LoadPicture(p, pkEnhMetafile);
    ASSERT_EQ(image.size(), QSize(192, 96));
    EXPECT_EQ(image.pixel(10, 10), qRgb(0, 0, 255));
    EXPECT_EQ(image.pixel(90, 90), qRgb(0, 0, 255));
    EXPECT_EQ(qAlpha(image.pixel(150, 40)), 0);
}

TEST_F(PictureTest, MetafilesDrawTheirBitmaps) {
    const QByteArray dib = Dib(4, 4, 4, 4, QColor(0, 200, 0));
    ASSERT_TRUE(WriteFile(Path("dib.wmf"), MakeWmf(200, 100, 192, QRect(0, 0, 10, 10), Qt::red,
                                                   WmfStretchDib(QRect(100, 0, 100, 100), dib))));
    const QImage wmf = LoadPicture(Path("dib.wmf"), pkMetafile);
    ASSERT_EQ(wmf.size(), QSize(100, 50));
    EXPECT_EQ(wmf.pixel(75, 25), qRgb(0, 200, 0));
    EXPECT_EQ(wmf.pixel(25, 25), qRgb(255, 255, 255));

    ASSERT_TRUE(WriteFile(Path("dib.emf"), MakeEmf(5080, 2540, QRect(0, 0, 10, 10), Qt::red,
                                                   EmfStretchDibits(QRect(96, 0, 96, 96), dib))));
    const QImage emf = LoadPicture(Path("dib.emf"), pkEnhMetafile);
    ASSERT_EQ(emf.size(), QSize(192, 96));
    EXPECT_EQ(emf.pixel(150, 50), qRgb(0, 200, 0));
}

TEST_F(PictureTest, MetafileBitmapsClaimingHugeSizesDoNotCrash) {
    // The record holds 4 x 4 pixels; its header claims far more. Loading may drop the bitmap or
    // refuse the file, but must neither crash nor try to allocate the claim.
    for (const auto& [w, h] : {std::pair<qint64, qint64>{50000, 50000},
                               {65535, 65535},
                               {0x7fffffff, 2},
                               {-5, 4},
                               {4, -0x7fffffff},
                               {0, 0}}) {
        SCOPED_TRACE(::testing::Message() << w << " x " << h);
        const QByteArray dib = Dib(4, 4, w, h, Qt::green);
        ASSERT_TRUE(WriteFile(Path("h.wmf"), MakeWmf(200, 100, 192, QRect(0, 0, 10, 10), Qt::red,
                                                     WmfStretchDib(QRect(100, 0, 100, 100), dib))));
        ASSERT_TRUE(WriteFile(Path("h.emf"), MakeEmf(5080, 2540, QRect(0, 0, 10, 10), Qt::red,
                                                     EmfStretchDibits(QRect(96, 0, 96, 96), dib))));
        for (const auto& [path, kind] :
             {std::pair{Path("h.wmf"), pkMetafile}, std::pair{Path("h.emf"), pkEnhMetafile}}) {
            try {
                EXPECT_FALSE(LoadPicture(path, kind).isNull());
            } catch (const EPictureError&) {
            }
        }
    }
}

TEST_F(PictureTest, MetafileThatTakesTooLongIsGivenUp) {
    // libwmf walks every unit of a bitmap stretched far beyond the frame.
    ASSERT_TRUE(WriteFile(Path("slow.wmf"), MakeWmf(200, 100, 192, QRect(0, 0, 10, 10), Qt::red,
                                                    WmfStretchDib(QRect(0, 0, 32767, 32767),
                                                                  Dib(3, 5, 3, 5, Qt::green)))));
    SetMetafileTimeLimit(std::chrono::milliseconds(1500));
    QElapsedTimer timer;
    timer.start();
    try {
        const QImage image = LoadPicture(Path("slow.wmf"), pkMetafile);
        ADD_FAILURE() << "drawn in " << timer.elapsed() << " ms";
    } catch (const EPictureError& e) {
        EXPECT_NE(std::string(e.what()).find("given up"), std::string::npos) << e.what();
    }
    EXPECT_LT(timer.elapsed(), 10000);
    SetMetafileTimeLimit(std::chrono::seconds(5));
    // The reader still works afterwards.
    ASSERT_TRUE(WriteFile(Path("ok.wmf"), MakeWmf(200, 100, 192, QRect(0, 0, 100, 100), Qt::red)));
    EXPECT_EQ(LoadPicture(Path("ok.wmf"), pkMetafile).size(), QSize(100, 50));
}

TEST_F(PictureTest, KindFollowsTheExtension) {
    EXPECT_EQ(PictureKindOfExtension("JPG"), pkJPEG);
    EXPECT_EQ(PictureKindOfExtension("jpeg"), pkJPEG);
    EXPECT_EQ(PictureKindOfExtension("Bmp"), pkBitmap);
    EXPECT_EQ(PictureKindOfExtension("ico"), pkIcon);
    EXPECT_EQ(PictureKindOfExtension("EMF"), pkEnhMetafile);
    EXPECT_EQ(PictureKindOfExtension("wmf"), pkMetafile);
    EXPECT_EQ(PictureKindOfExtension("Png"), pkPhoto);
    EXPECT_EQ(PictureKindOfExtension("avif"), pkPhoto);
    EXPECT_FALSE(PictureKindOfExtension("psd"));
    EXPECT_FALSE(PictureKindOfExtension(""));
    // The decoder comes from the kind, not from the content: a bitmap named .jpg fails.
    const QString p = Path("bitmap.jpg");
    WriteBitmap(Pattern(4, 4), p);
    ExpectLoadError(p, pkJPEG);
}

// ---------------------------------------------------------------------------------------------
// Bad input: always an EPictureError, never a crash or a hang.

TEST_F(PictureTest, MissingFoldersFifosAndOddNamesFail) {
    for (const TPictureKind kind : {pkJPEG, pkBitmap, pkIcon, pkEnhMetafile, pkMetafile}) {
        ExpectLoadError(Path("missing.jpg"), kind);
        ExpectLoadError(dir_.path(), kind);
        ExpectLoadError(QString(), kind);
    }
    const QString fifo = Path("fifo.jpg");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const TPictureKind kind : {pkJPEG, pkBitmap, pkIcon, pkEnhMetafile, pkMetafile}) {
        ExpectLoadError(fifo, kind);
    }
}

TEST_F(PictureTest, NonUtf8NameLoadsOrFailsCleanly) {
    const QByteArray native = QFile::encodeName(dir_.path()) + "/\xff\xfe\x80.jpg";
    const QString src = Path("ok.jpg");
    WriteJpeg(Pattern(8, 8), src, 90);
    ASSERT_EQ(::rename(QFile::encodeName(src).constData(), native.constData()), 0);
    const QString name = QFile::decodeName(native);
    if (QFile::encodeName(name) == native) {
        EXPECT_EQ(LoadPicture(name, pkJPEG).size(), QSize(8, 8));
    } else {
        // The name cannot be spelled in the program's text: the file is not found.
        ExpectLoadError(name, pkJPEG);
    }
    // QTemporaryDir cannot name this file either.
    ::unlink(native.constData());
}

TEST_F(PictureTest, UnreadableFileFails) {
    const QString p = Path("locked.jpg");
    WriteJpeg(Pattern(8, 8), p, 90);
    ASSERT_TRUE(QFile::setPermissions(p, QFileDevice::WriteOwner));
    if (::geteuid() != 0) {
        ExpectLoadError(p, pkJPEG);
        return;
    }
    // Root reads every file: try as nobody, in a child, with the folder open to it.
    ASSERT_TRUE(
        QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner | QFileDevice::ExeOther));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        try {
            LoadPicture(p, pkJPEG);
            ::_exit(1);
        } catch (const EPictureError&) {
            ::_exit(0);
        } catch (...) {
            ::_exit(2);
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: loaded, 2: other error, 3: could not become nobody";
}

TEST_F(PictureTest, EmptyAndGarbageFilesFail) {
    std::mt19937 random(7);
    QByteArray garbage(5000, '\0');
    for (char& c : garbage)
        c = static_cast<char>(random());
    for (const TPictureKind kind : {pkJPEG, pkBitmap, pkIcon, pkEnhMetafile, pkMetafile}) {
        ASSERT_TRUE(WriteFile(Path("empty"), ""));
        ExpectLoadError(Path("empty"), kind);
        ASSERT_TRUE(WriteFile(Path("garbage"), garbage));
        ExpectLoadError(Path("garbage"), kind);
    }
}

TEST_F(PictureTest, TruncatedFilesFail) {
    const QImage pixels = Pattern(64, 64);
    const QString ppm = Ppm(pixels);
    const QByteArray jpeg = EncodeJpeg(pixels, 80);
    ASSERT_EQ(RunProgram("convert", {ppm, Path("t.bmp")}), 0);
    ASSERT_EQ(RunProgram("convert", {ppm, Path("t.ico")}), 0);
    const QByteArray bmp = ReadFile(Path("t.bmp"));
    const QByteArray ico = ReadFile(Path("t.ico"));
    const QByteArray wmf = MakeWmf(200, 100, 192, QRect(0, 0, 100, 100), Qt::red);
    const QByteArray emf = MakeEmf(5080, 2540, QRect(0, 0, 96, 96), Qt::blue);
    const struct {
        QByteArray data;
        TPictureKind kind;
    } files[] = {
        {jpeg, pkJPEG}, {bmp, pkBitmap}, {ico, pkIcon}, {wmf, pkMetafile}, {emf, pkEnhMetafile}};
    const QString p = Path("cut");
    for (const auto& f : files) {
        for (qsizetype length = 0; length < f.data.size();
             length += std::max<qsizetype>(1, f.data.size() / 97)) {
            ASSERT_TRUE(WriteFile(p, f.data.left(length)));
            SCOPED_TRACE(::testing::Message() << "kind " << f.kind << " cut at " << length);
            ExpectLoadError(p, f.kind);
        }
    }
}

TEST_F(PictureTest, HeadersClaimingHugeSizesFailBeforeAllocating) {
    // JPEG: the frame header says 65000 x 65000.
    QByteArray jpeg = EncodeJpeg(Pattern(16, 16), 80);
    const qsizetype sof = jpeg.indexOf("\xff\xc0");
    ASSERT_GT(sof, 0);
    qToBigEndian<quint16>(65000, jpeg.data() + sof + 5);
    qToBigEndian<quint16>(65000, jpeg.data() + sof + 7);
    ASSERT_TRUE(WriteFile(Path("huge.jpg"), jpeg));
    ExpectLoadError(Path("huge.jpg"), pkJPEG);

    // Bitmap: 50000 x 50000 at 24 bits, no pixel data.
    QByteArray bmp = ReadFile((WriteBitmap(Pattern(4, 4), Path("s.bmp")), Path("s.bmp")));
    qToLittleEndian<qint32>(50000, bmp.data() + 18);
    qToLittleEndian<qint32>(50000, bmp.data() + 22);
    ASSERT_TRUE(WriteFile(Path("huge.bmp"), bmp));
    ExpectLoadError(Path("huge.bmp"), pkBitmap);

    // Icon whose bitmap header says 40000 x 80000.
    ASSERT_EQ(RunProgram("convert", {Ppm(Pattern(16, 16)), Path("s.ico")}), 0);
    QByteArray ico = ReadFile(Path("s.ico"));
    const quint32 offset = qFromLittleEndian<quint32>(ico.constData() + 6 + 12);
    ASSERT_LT(offset + 12, static_cast<quint32>(ico.size()));
    if (qFromLittleEndian<quint32>(ico.constData() + offset) == 40) {
        qToLittleEndian<qint32>(40000, ico.data() + offset + 4);
        qToLittleEndian<qint32>(80000, ico.data() + offset + 8);
    }
    ASSERT_TRUE(WriteFile(Path("huge.ico"), ico));
    try {
        // The icon's directory says 16 x 16; a reader that trusts it allocates nothing more.
        EXPECT_EQ(LoadPicture(Path("huge.ico"), pkIcon).size(), QSize(16, 16));
    } catch (const EPictureError&) {
    }

    // Placeable metafile of 32767 x 32767 units at 1 unit per inch.
    ASSERT_TRUE(
        WriteFile(Path("huge.wmf"), MakeWmf(32767, 32767, 1, QRect(0, 0, 10, 10), Qt::red)));
    ExpectLoadError(Path("huge.wmf"), pkMetafile);
    ASSERT_TRUE(WriteFile(Path("zero.wmf"), MakeWmf(200, 100, 0, QRect(0, 0, 10, 10), Qt::red)));
    ExpectLoadError(Path("zero.wmf"), pkMetafile);

    // Enhanced metafile whose frame is 20 km wide.
    ASSERT_TRUE(
        WriteFile(Path("huge.emf"), MakeEmf(2000000000, 2540, QRect(0, 0, 10, 10), Qt::red)));
    ExpectLoadError(Path("huge.emf"), pkEnhMetafile);
}

TEST_F(PictureTest, JpegWithThousandsOfScansIsRefused) {
    // The last scan of a progressive file repeated: libjpeg only warns about each repetition,
    // and files like this make decoding take minutes for a large frame.
    ASSERT_EQ(
        RunProgram("cjpeg", {"-progressive", "-outfile", Path("p.jpg"), Ppm(Pattern(16, 16))}), 0);
    const QByteArray d = ReadFile(Path("p.jpg"));
    const qsizetype lastScan = d.lastIndexOf("\xff\xda");
    ASSERT_GT(lastScan, 0);
    ASSERT_TRUE(d.endsWith("\xff\xd9"));
    const QByteArray scan = d.mid(lastScan, d.size() - 2 - lastScan);
    ASSERT_TRUE(
        WriteFile(Path("many.jpg"), d.left(d.size() - 2) + scan.repeated(1500) + "\xff\xd9"));
    try {
        LoadPicture(Path("many.jpg"), pkJPEG);
        ADD_FAILURE() << "loaded";
    } catch (const EPictureError& e) {
        EXPECT_NE(std::string(e.what()).find("scans"), std::string::npos) << e.what();
    }
    // A few repeated scans are still a picture.
    ASSERT_TRUE(WriteFile(Path("few.jpg"), d.left(d.size() - 2) + scan.repeated(3) + "\xff\xd9"));
    EXPECT_EQ(LoadPicture(Path("few.jpg"), pkJPEG).size(), QSize(16, 16));
}

// Changes a valid file the way damaged and hostile files differ from it: changed bytes, flipped
// bits, a cut, or a size or count field set to an extreme.
QByteArray Mutate(QByteArray d, std::mt19937& random) {
    const auto at = [&](qsizetype room) {
        return static_cast<qsizetype>(random() % static_cast<quint32>(d.size() - room));
    };
    switch (random() % 4) {
    case 0:
        for (int i = 1 + static_cast<int>(random() % 4); i > 0; --i)
            d[at(0)] = static_cast<char>(random());
        break;
    case 1:
        for (int i = 1 + static_cast<int>(random() % 8); i > 0; --i)
            d[at(0)] = static_cast<char>(d[at(0)] ^ (1 << (random() % 8)));
        break;
    case 2:
        d.truncate(at(0));
        break;
    default: {
        static constexpr quint32 kExtremes[] = {0,          0xFFFF,     0x7FFF,     0x8000,
                                                0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 0xF0FFFFFF};
        const quint32 v = kExtremes[random() % std::size(kExtremes)];
        // Header fields sit near the start; records further on hold sizes as well.
        const qsizetype pos = random() % 2 ? at(4) : at(std::max<qsizetype>(4, d.size() - 128));
        if (random() % 2) {
            qToLittleEndian<quint32>(v, d.data() + pos);
        } else {
            qToBigEndian<quint16>(static_cast<quint16>(v), d.data() + pos);
        }
    }
    }
    return d;
}

// What the metafile helper reports to the imglift.picture log while the fuzzing runs.
struct HelperFigures {
    long peakKib = 0;
    int refusals = 0;
    static inline HelperFigures* current = nullptr;
    static void Handler(QtMsgType, const QMessageLogContext& context, const QString& text) {
        if (current && qstrcmp(context.category, "imglift.picture") == 0 &&
            text.startsWith(QLatin1String("Refused: \""))) {
            ++current->refusals;
        }
        const qsizetype at = text.indexOf(QLatin1String("helper peak "));
        if (current && qstrcmp(context.category, "imglift.picture") == 0 && at >= 0) {
            current->peakKib = std::max(current->peakKib, text.mid(at + 12).split(' ')[0].toLong());
        }
    }
};

TEST_F(PictureTest, DamagedFilesNeverCrash) {
    // Each load of a mutated file gives a picture or an EPictureError. IMGLIFT_FUZZ_ROUNDS sets
    // the rounds per sample (tests/picture/fuzz_pictures.sh runs thousands).
    const QImage pixels = Pattern(24, 24);
    const QString ppm = Ppm(pixels);
    ASSERT_EQ(RunProgram("convert", {ppm, Path("d.bmp")}), 0);
    ASSERT_EQ(RunProgram("convert", {ppm, Path("d.ico")}), 0);
    ASSERT_EQ(RunProgram("cjpeg", {"-progressive", "-outfile", Path("p.jpg"), ppm}), 0);
    for (const char* photo : {"d.png", "d.gif", "d.webp", "d.tif", "d.heic"})
        ASSERT_EQ(RunProgram("convert", {ppm, Path(photo)}), 0);
    const struct {
        QByteArray data;
        TPictureKind kind;
    } files[] = {{EncodeJpeg(pixels, 80), pkJPEG},
                 {ReadFile(Path("p.jpg")), pkJPEG},
                 {ReadFile(Path("d.bmp")), pkBitmap},
                 {ReadFile(Path("d.ico")), pkIcon},
                 {MakeWmf(200, 100, 192, QRect(10, 10, 100, 50), Qt::red), pkMetafile},
                 {MakeWmfWithoutHeader(200, 100, QRect(10, 10, 100, 50), Qt::red), pkMetafile},
                 {MakeEmf(5080, 2540, QRect(0, 0, 96, 96), Qt::blue), pkEnhMetafile},
                 {MakeWmf(200, 100, 192, QRect(0, 0, 10, 10), Qt::red,
                          WmfStretchDib(QRect(100, 0, 100, 100), Dib(3, 5, 3, 5, Qt::green))),
                  pkMetafile},
                 {MakeEmf(5080, 2540, QRect(0, 0, 10, 10), Qt::red,
                          EmfStretchDibits(QRect(96, 0, 96, 96), Dib(3, 5, 3, 5, Qt::green))),
                  pkEnhMetafile},
                 {ReadFile(Path("d.png")), pkPhoto},
                 {ReadFile(Path("d.gif")), pkPhoto},
                 {ReadFile(Path("d.webp")), pkPhoto},
                 {ReadFile(Path("d.tif")), pkPhoto},
                 {ReadFile(Path("d.heic")), pkPhoto}};
    std::mt19937 random(42);
    const int rounds = qEnvironmentVariableIntValue("IMGLIFT_FUZZ_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("IMGLIFT_FUZZ_ROUNDS")
                           : 30;
    SetMetafileTimeLimit(std::chrono::seconds(2));
    HelperFigures figures;
    HelperFigures::current = &figures;
    QLoggingCategory::setFilterRules(QStringLiteral("imglift.picture.debug=true"));
    const QtMessageHandler previous = qInstallMessageHandler(HelperFigures::Handler);
    const QString p = Path("damaged");
    int loaded = 0, refused = 0, signalled = 0, givenUp = 0;
    qint64 longest = 0;
    for (const auto& f : files) {
        for (int round = 0; round < rounds; ++round) {
            ASSERT_TRUE(WriteFile(p, Mutate(f.data, random)));
            QElapsedTimer timer;
            timer.start();
            try {
                EXPECT_FALSE(LoadPicture(p, f.kind).isNull());
                ++loaded;
            } catch (const EPictureError& e) {
                ++refused;
                signalled += std::strstr(e.what(), "(signal ") != nullptr;
                givenUp += std::strstr(e.what(), "given up") != nullptr;
            }
            longest = std::max(longest, timer.elapsed());
        }
    }
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules(QString());
    HelperFigures::current = nullptr;
    SetMetafileTimeLimit(std::chrono::seconds(5));
    std::printf("%d pictures: %d loaded, %d refused, %d helper signals, %d given up, longest load "
                "%lld ms, largest helper memory %ld KiB\n",
                loaded + refused, loaded, refused, signalled, givenUp,
                static_cast<long long>(longest), figures.peakKib);
    EXPECT_EQ(loaded + refused, static_cast<int>(std::size(files)) * rounds);
    EXPECT_GT(refused, 0);
    EXPECT_GT(figures.peakKib, 0) << "the helper's figures did not reach the log";
    EXPECT_EQ(figures.refusals, refused) << "every refusal logs its reason, naming the file";
}

// Metafiles that made the drawing take gigabytes or minutes: refused within the limits, while
// the caller's event loop keeps running.
TEST_F(PictureTest, HostileMetafilesStayWithinLimits) {
    QByteArray pen;
    for (const int w :
         {8, 0, 0x02FA, 0, 0xFFFF, 0xF0FF, 0, 0}) // CREATEPENINDIRECT, 0xF0FFFFFF wide
        pen += static_cast<char>(w & 0xff), pen += static_cast<char>(w >> 8);
    for (const int w : {4, 0, 0x01F0, 1, 4, 0, 0x012D, 1, 5, 0, 0x0213, 90, 190}) // replace, line
        pen += static_cast<char>(w & 0xff), pen += static_cast<char>(w >> 8);
    ASSERT_TRUE(
        WriteFile(Path("pen.wmf"), MakeWmf(200, 100, 192, QRect(0, 0, 10, 10), Qt::red, pen)));
    ASSERT_TRUE(
        WriteFile(Path("tiny.wmf"), MakeWmfWithoutHeader(1, 1, QRect(0, 0, 1, 1), Qt::red)));
    ASSERT_TRUE(WriteFile(Path("stretch.wmf"), MakeWmf(200, 100, 192, QRect(0, 0, 10, 10), Qt::red,
                                                       WmfStretchDib(QRect(0, 0, 32767, 32767),
                                                                     Dib(3, 5, 3, 5, Qt::green)))));
    SetMetafileTimeLimit(std::chrono::milliseconds(1500));
    for (const char* name : {"pen.wmf", "tiny.wmf", "stretch.wmf"}) {
        SCOPED_TRACE(name);
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(10);
        QElapsedTimer timer;
        timer.start();
        try {
            const QImage image = LoadPicture(Path(name), pkMetafile);
            EXPECT_FALSE(image.isNull());
        } catch (const EPictureError& e) {
            std::printf("%s: %s\n", name, e.what());
        }
        std::printf("%s: %lld ms, %d ticks\n", name, static_cast<long long>(timer.elapsed()),
                    ticks);
        if (timer.elapsed() > 200) {
            EXPECT_GT(ticks, 0) << "the event loop stood still";
        }
    }
    SetMetafileTimeLimit(std::chrono::seconds(5));

    // 5000 x 5000 pixels take libwmf 100 MB: beyond a helper limited to 96 MiB, within 1 GiB.
    ASSERT_TRUE(WriteFile(Path("big.wmf"), MakeWmf(5000, 5000, 96, QRect(0, 0, 10, 10), Qt::red)));
    SetMetafileMemoryLimit(96 << 20);
    ExpectLoadError(Path("big.wmf"), pkMetafile);
    SetMetafileMemoryLimit(1 << 30);
    // About a second alone; a loaded machine must not turn this memory check into a time-out.
    SetMetafileTimeLimit(std::chrono::seconds(60));
    EXPECT_EQ(LoadPicture(Path("big.wmf"), pkMetafile).size(), QSize(5000, 5000));
    SetMetafileTimeLimit(std::chrono::seconds(5));
}

// The drawing an enhanced metafile converts to is rendered under the same limits: one that is
// slow or large to render is refused, while the caller's event loop keeps running.
TEST_F(PictureTest, EnhancedMetafileDrawingStaysWithinLimits) {
    // One polygon zigzagging 4000 times across a 1000 x 1000 frame converts at once but takes
    // the renderer tens of seconds.
    constexpr int kPoints = 4000;
    QByteArray polygon(28 + 4 * kPoints, '\0');
    char* r = polygon.data();
    qToLittleEndian<quint32>(86, r); // POLYGON16
    qToLittleEndian<quint32>(static_cast<quint32>(polygon.size()), r + 4);
    qToLittleEndian<qint32>(999, r + 16); // bounds
    qToLittleEndian<qint32>(999, r + 20);
    qToLittleEndian<quint32>(kPoints, r + 24);
    for (int i = 0; i < kPoints; ++i) {
        qToLittleEndian<qint16>(static_cast<qint16>(i * 1000 / kPoints), r + 28 + 4 * i);
        qToLittleEndian<qint16>(static_cast<qint16>(i % 2 ? 999 : 0), r + 30 + 4 * i);
    }
    ASSERT_TRUE(
        WriteFile(Path("slow.emf"), MakeEmf(26458, 26458, QRect(0, 0, 10, 10), Qt::red, polygon)));
    SetMetafileTimeLimit(std::chrono::milliseconds(1500));
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    QElapsedTimer timer;
    timer.start();
    try {
        const QImage image = LoadPicture(Path("slow.emf"), pkEnhMetafile);
        ADD_FAILURE() << "drawn in " << timer.elapsed() << " ms";
    } catch (const EPictureError& e) {
        EXPECT_NE(std::string(e.what()).find("given up"), std::string::npos) << e.what();
    }
    EXPECT_LT(timer.elapsed(), 10000);
    EXPECT_GT(ticks, 0) << "the event loop stood still";
    SetMetafileTimeLimit(std::chrono::seconds(5));

    // 10000 x 10000 pixels take 400 MB: beyond a helper limited to 448 MiB, in which a small
    // drawing still fits.
    ASSERT_TRUE(
        WriteFile(Path("large.emf"), MakeEmf(264583, 264583, QRect(0, 0, 10, 10), Qt::red)));
    ASSERT_TRUE(WriteFile(Path("small.emf"), MakeEmf(5080, 2540, QRect(0, 0, 96, 96), Qt::blue)));
    SetMetafileMemoryLimit(448 << 20);
    ExpectLoadError(Path("large.emf"), pkEnhMetafile);
    EXPECT_EQ(LoadPicture(Path("small.emf"), pkEnhMetafile).size(), QSize(192, 96));
    SetMetafileMemoryLimit(1 << 30);
}
