#include "capture/vsnapshot.h"

#include "picture/picture.h"
#include "support/test_support.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QTemporaryDir>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

// A form that draws a fixed scene of coloured 10-pixel cells, so that any part of it is told
// apart from every other part of the same size.
class SceneForm : public QWidget {
public:
    SceneForm() : Scene(300, 200, QImage::Format_RGB32) {
        for (int y = 0; y < Scene.height(); ++y)
            for (int x = 0; x < Scene.width(); ++x)
                Scene.setPixel(x, y,
                               qRgb((x / 10) * 8, (y / 10) * 12, ((x / 10 + y / 10) % 4) * 60));
        setFixedSize(Scene.size());
        move(30, 40);
    }
    QImage Scene;
    bool Painted = false;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter(this).drawImage(0, 0, Scene);
        Painted = true;
    }
};

class SnapShotTest : public testing::Test {
protected:
    void SetUp() override {
        Control = new QWidget(&Form); // draws nothing: the form's scene shows through
        Control->setGeometry(10, 20, 200, 100);
        Form.show();
        ASSERT_TRUE(testsupport::PumpUntil([&] { return Form.Painted; }));
    }

    QByteArray Read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir Dir;
    SceneForm Form;
    QWidget* Control = nullptr;
    TVSnapShot SnapShot;
};

// The file holds exactly the encoding of the scene's area, so place, size and quality all count.
TEST_F(SnapShotTest, WritesTheAreaTheControlCoversMovedByTheOffsets) {
    const QString plain = Dir.filePath("plain.jpg");
    SnapShot.SaveToJPEGFile(75, plain, &Form, Control, 0, 0);
    EXPECT_EQ(Read(plain), EncodeJpeg(Form.Scene.copy(10, 20, 200, 100), 75));
    const QImage decoded(plain);
    EXPECT_EQ(decoded.size(), QSize(200, 100));

    // Only the low eight bits of the quality count: 256 + 40 is 40.
    const QString moved = Dir.filePath("moved.jpg");
    SnapShot.SaveToJPEGFile(256 + 40, moved, &Form, Control, 35, -15);
    EXPECT_EQ(Read(moved), EncodeJpeg(Form.Scene.copy(45, 5, 200, 100), 40));

    // Beyond the form's edge nothing is copied; the picture stays white there.
    const QString outside = Dir.filePath("outside.jpg");
    SnapShot.SaveToJPEGFile(90, outside, &Form, Control, 150, 0);
    QImage expected(200, 100, QImage::Format_RGB32);
    expected.fill(Qt::white);
    QPainter(&expected).drawImage(0, 0, Form.Scene.copy(160, 20, 140, 100));
    EXPECT_EQ(Read(outside), EncodeJpeg(expected, 90));
}

// A form whose client area lies below a title strip it paints itself: the control's place counts
// from the client area, and the strip is never part of the picture.
TEST_F(SnapShotTest, TitleStripIsOutsideTheClientArea) {
    QWidget strip(&Form);
    strip.setGeometry(0, 0, Form.width(), 30);
    strip.setAutoFillBackground(true);
    strip.setPalette(QPalette(Qt::red));
    Form.setContentsMargins(0, 30, 0, 0);
    QWidget client(&Form);
    client.setGeometry(Form.contentsRect());
    client.setAttribute(Qt::WA_TransparentForMouseEvents);
    Control->setParent(&client);
    Control->setGeometry(10, 20, 200, 100);
    Control->show();
    client.show();
    strip.show();

    const QString path = Dir.filePath("strip.jpg");
    SnapShot.SaveToJPEGFile(80, path, &Form, Control, 0, -25);
    QImage expected(200, 100, QImage::Format_RGB32);
    expected.fill(Qt::white);
    QPainter(&expected).drawImage(0, 5, Form.Scene.copy(10, 30, 200, 95));
    EXPECT_EQ(Read(path), EncodeJpeg(expected, 80));
}

TEST_F(SnapShotTest, UnwritableFileNameGivesNoFileAndNoMessage) {
    const QString path = Dir.filePath("missing-folder/shot.jpg");
    EXPECT_NO_THROW(SnapShot.SaveToJPEGFile(75, path, &Form, Control, 0, 0));
    EXPECT_FALSE(QFile::exists(path));
    for (QWidget* const w : QApplication::topLevelWidgets())
        EXPECT_FALSE(qobject_cast<QDialog*>(w) && w->isVisible());
    // The temporary picture control is gone again.
    EXPECT_EQ(Form.findChildren<QWidget*>().size(), 1);
}

} // namespace
