#include "form_fixture.h"

#include "app/imaging.h"
#include "app/timage.h"
#include "support/test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
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

TEST_F(X11FormTest, ClipboardPictureBecomesTheCurrentImage) {
    TForm1& form = MakeForm();
    // From another X client, in each format a browser or a screenshot tool offers.
    const struct {
        const char* type;
        const char* name;
        const char* format;
    } offers[] = {{"image/png", "offered.png", "PNG"},
                  {"image/jpeg", "offered.jpg", "JPG"},
                  {"image/bmp", "offered.bmp", "BMP"}};
    int width = 20;
    for (const auto& offer : offers) {
        SCOPED_TRACE(offer.type);
        const QString file = Picture(offer.name, ++width, 13, offer.format);
        QGuiApplication::clipboard()->clear();
        testsupport::ServerProcess owner(CLIPBOARD_OWNER, {offer.type, "@" + file});
        ASSERT_TRUE(PumpUntil([&] {
            return QGuiApplication::clipboard()->mimeData()->hasFormat(offer.type);
        })) << owner.output().toStdString();
        form.PageControl1->setCurrentIndex(0);
        form.Edit10->setText("before.jpg");
        form.BitBtn6->click();
        EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
        EXPECT_EQ(form.Image2->size(), QSize(width, 13));
        EXPECT_NEAR(form.Image2->Picture().pixelColor(3, 3).blue(), 200, 8);
        EXPECT_EQ(form.Edit10->text(), "clipboard.jpg");
        EXPECT_EQ(form.Edit6->text(), "clipboard.jpg");
        EXPECT_EQ(form.PictureSource, "clipboard") << "what the history records";
        EXPECT_EQ(form.PageControl1->currentIndex(), 2);
        EXPECT_TRUE(form.ImageFile.isEmpty());
    }

    // Damaged data: the message for a picture that does not load, the current image kept.
    {
        const QString bad =
            File("bad.png", QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(40, 'x'));
        testsupport::ServerProcess owner(CLIPBOARD_OWNER, {"image/png", "@" + bad});
        ASSERT_TRUE(PumpUntil([&] {
            return QGuiApplication::clipboard()->mimeData()->hasFormat("image/png") &&
                   QGuiApplication::clipboard()->mimeData()->data("image/png").size() == 48;
        }));
        form.BitBtn6->click();
        ASSERT_EQ(Dialogs.Boxes.size(), 1u);
        EXPECT_EQ(Dialogs.Boxes[0].Text, "Error loading Image File");
        EXPECT_EQ(form.Image2->size(), QSize(width, 13));
    }

    // A picture this program put there itself (Qt's own image).
    QImage bitmap(17, 19, QImage::Format_RGB32);
    bitmap.fill(Qt::red);
    QGuiApplication::clipboard()->setImage(bitmap);
    form.Edit10->setText("before.jpg");
    form.BitBtn6->click();
    EXPECT_EQ(Dialogs.Boxes.size(), 1u);
    EXPECT_EQ(form.Image2->size(), QSize(17, 19));
    EXPECT_EQ(form.Edit10->text(), "clipboard.jpg");
}

TEST_F(X11FormTest, ClipboardWithTextAndNoPreviousFileIsNotSupported) {
    TForm1& form = MakeForm();
    QGuiApplication::clipboard()->setText("just some text");
    form.BitBtn6->click();
    ASSERT_EQ(Dialogs.Boxes.size(), 1u);
    EXPECT_EQ(Dialogs.Boxes[0].Text, "Not supportet Image File");
    EXPECT_TRUE(form.Image2->Empty());
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

// Takes a screenshot with "Choose area" checked, and once the frozen screen is up, lets xdotool
// play the user's part.
void ShootArea(TForm1& form, const QStringList& xdotool) {
    QProcess player;
    QTimer watcher;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        for (QWidget* const w : QApplication::topLevelWidgets()) {
            if (w->objectName() == "imglift-area" && w->isVisible() && w->windowHandle() &&
                w->windowHandle()->isExposed() && player.state() == QProcess::NotRunning) {
                watcher.stop();
                player.start("xdotool", xdotool);
            }
        }
    });
    watcher.start(50);
    form.CheckBox6->setChecked(true);
    form.BitBtn2->click();
    player.waitForFinished(5000);
}

TEST_F(X11FormTest, ChosenAreaOfTheFrozenScreenBecomesTheImage) {
    qputenv("IMGLIFT_SCREEN", "x11");
    TForm1& form = MakeForm();
    // From (100, 100) to (300, 250): 200 x 150 pixels.
    ShootArea(form, {"mousemove", "100", "100", "mousedown", "1", "mousemove", "180", "170",
                     "mousemove", "300", "250", "mouseup", "1"});
    EXPECT_EQ(form.Image2->size(), QSize(200, 150));
    EXPECT_EQ(form.Edit10->text(), "screenshot.jpg");
    EXPECT_EQ(form.PageControl1->currentIndex(), 2);

    // Escape gives up: the picture stays as it was, the name is the screenshot's as always.
    form.Edit10->setText("other.jpg");
    ShootArea(form, {"key", "Escape"});
    EXPECT_EQ(form.Image2->size(), QSize(200, 150));
    EXPECT_EQ(form.Edit10->text(), "screenshot.jpg");
    qunsetenv("IMGLIFT_SCREEN");
}
