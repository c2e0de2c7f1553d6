#include "form_fixture.h"

#include "app/imaging.h"
#include "app/timage.h"
#include "support/test_support.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QScreen>
#include <QTabWidget>
#include <QToolButton>
#include <QUrl>
#include <QWindow>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

void PutFilesOnClipboard(const QStringList& Files) {
    auto* const data = new QMimeData;
    QList<QUrl> urls;
    for (const QString& file : Files)
        urls << QUrl::fromLocalFile(file);
    data->setUrls(urls);
    QGuiApplication::clipboard()->setMimeData(data);
}

} // namespace

class X11FormTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server";
    }
};

TEST_F(X11FormTest, ClipboardFileListTakesTheFirstFile) {
    TForm1& form = MakeForm();
    const QString first = Picture("first.bmp", 33, 22, "BMP");
    const QString second = Picture("second.jpg", 44, 11, "JPG");
    PutFilesOnClipboard({first, second});
    form.BitBtn6->click();
    EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(form.ImageFile, first);
    EXPECT_EQ(form.Edit10->text(), "first.jpg");
    EXPECT_EQ(form.Image2->size(), QSize(33, 22));

    // A name that is not UTF-8 reaches the file system as the bytes the list gave.
    const QByteArray latin1 = NativePicture("\xe9t\xe9.jpg", 5, 3);
    auto* const data = new QMimeData;
    data->setData("text/uri-list", "file://" + latin1.toPercentEncoding("/") + "\r\n");
    QGuiApplication::clipboard()->setMimeData(data);
    form.BitBtn6->click();
    EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(NativeFileName(form.ImageFile), latin1);
    EXPECT_EQ(form.Image2->size(), QSize(5, 3));
}

TEST_F(X11FormTest, ClipboardWithBitmapAndNoPreviousFileIsNotSupported) {
    TForm1& form = MakeForm();
    QImage bitmap(20, 20, QImage::Format_RGB32);
    bitmap.fill(Qt::red);
    QGuiApplication::clipboard()->setImage(bitmap);
    form.BitBtn6->click();
    ASSERT_EQ(Dialogs.Boxes.size(), 1u);
    EXPECT_EQ(Dialogs.Boxes[0].Text, "Not supportet Image File");
}

TEST_F(X11FormTest, ClipboardWithoutListReprocessesPreviousFile) {
    TForm1& form = MakeForm();
    const QString file = Picture("prev.jpg", 12, 13, "JPG");
    form.ImageFile = file;
    form.ProcessImageFile();
    QGuiApplication::clipboard()->setText("just some text");
    form.Edit10->setText("other.jpg");
    form.BitBtn6->click();
    EXPECT_TRUE(Dialogs.Boxes.empty());
    EXPECT_EQ(form.Edit10->text(), "prev.jpg");
}

TEST_F(X11FormTest, ScreenshotReplacesImageWithWholeScreen) {
    const QImage desktop =
        QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
            QImage::Format_RGB32);
    TForm1& form = MakeForm();
    form.ImageFile = Picture("small.jpg", 30, 20, "JPG");
    form.ProcessImageFile();
    form.PageControl1->setCurrentIndex(0);
    ASSERT_TRUE(PumpUntil([&] { return form.windowHandle() && form.windowHandle()->isExposed(); }));
    PumpFor(200);
    const QRect place = form.geometry();
    form.BitBtn2->click();
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size() *
                         QGuiApplication::primaryScreen()->devicePixelRatio();
    EXPECT_EQ(form.Image2->size(), screen);
    EXPECT_FALSE(form.Image2->Empty());
    EXPECT_EQ(form.Edit10->text(), "screenshot.jpg");
    EXPECT_EQ(form.Edit6->text(), "screenshot.jpg");
    EXPECT_EQ(form.PageControl1->currentIndex(), 2);
    EXPECT_FALSE(form.windowState() & Qt::WindowMinimized);
    EXPECT_TRUE(form.isVisible());
    // Without a window manager nothing minimises the window: it must have been off the screen.
    EXPECT_TRUE(form.Image2->Picture().copy(place).convertToFormat(QImage::Format_RGB32) ==
                desktop.copy(place))
        << "the screenshot shows the program's own window";
    // The screen stays on the clipboard.
    EXPECT_EQ(QGuiApplication::clipboard()->image().size(), screen);
    EXPECT_TRUE(Dialogs.Boxes.empty());
}
