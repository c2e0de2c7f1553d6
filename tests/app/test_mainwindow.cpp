#include "form_fixture.h"

#include "app/imaging.h"
#include "app/timage.h"
#include "capture/vstatus.h"
#include "controls/enhancedform.h"
#include "controls/progressbar.h"
#include "support/test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <stdexcept>

using testsupport::PumpFor;
using testsupport::PumpUntil;

namespace {

QMimeData* UrlData(const QStringList& Files) {
    auto* const data = new QMimeData;
    QList<QUrl> urls;
    for (const QString& file : Files)
        urls << QUrl::fromLocalFile(file);
    data->setUrls(urls);
    return data;
}

} // namespace

TEST_F(FormTest, WindowHasItsCaptionsFixedSizeAndPages) {
    TForm1& form = MakeForm();
    EXPECT_EQ(form.windowTitle(), "Velmoran ImgLift 1.0");
    // The title bar is painted above the client area: the window is taller by it.
    EXPECT_EQ(form.ClientArea->size(), QSize(385, 274));
    const QWidget* const strip = form.EnhancedForm1->TitleStrip();
    ASSERT_NE(strip, nullptr);
    EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(strip->geometry(), QRect(0, 0, 385, strip->height()));
    EXPECT_EQ(form.ClientArea->geometry(), QRect(0, strip->height(), 385, 274));
    EXPECT_EQ(form.size(), QSize(385, 274 + strip->height()));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);

    ASSERT_EQ(form.PageControl1->count(), 4);
    EXPECT_EQ(form.PageControl1->tabText(0), "Sour&ce");
    EXPECT_EQ(form.PageControl1->tabText(1), "&FTP Settings");
    EXPECT_EQ(form.PageControl1->tabText(2), "&Image Settings");
    EXPECT_EQ(form.PageControl1->tabText(3), "Advanced");
    EXPECT_EQ(form.PageControl1->geometry(), QRect(8, 8, 377, 241));

    EXPECT_EQ(form.BitBtn3->text(), "&File (drag&&drop)");
    EXPECT_EQ(form.BitBtn3->geometry(), QRect(275, 12, 90, 100));
    EXPECT_EQ(form.BitBtn1->geometry(), QRect(8, 12, 90, 100));
    EXPECT_EQ(form.SpeedButton1->text(), "E&xit Application");
    EXPECT_EQ(form.SpeedButton1->geometry(), QRect(216, 168, 145, 41));
    EXPECT_EQ(form.CheckBox1->text(), "&Close Program after done");
    EXPECT_EQ(form.CheckBox3->text(), "Scan &whole glass");
    EXPECT_EQ(form.CheckBox4->text(), "Constrain &Porportions");
    EXPECT_EQ(form.CheckBox2->text(), "&Keep Original Size");
    EXPECT_EQ(form.Edit3->echoMode(), QLineEdit::Password);
    EXPECT_EQ(form.Edit10->geometry(), QRect(240, 184, 121, 21));
    EXPECT_EQ(form.Button3->text(), "&Save As ...");
    EXPECT_EQ(form.Panel2->text(), "(no image)");
    EXPECT_EQ(form.Image6->size(), QSize(109, 109));
    EXPECT_TRUE(form.Image6->Stretch());

    EXPECT_EQ(form.VStatus1->geometry(), QRect(0, 254, 385, 20));
    EXPECT_EQ(form.Label12->parentWidget(), form.VStatus1);
    EXPECT_EQ(form.Label12->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(form.Label12->font().underline());

    EXPECT_FALSE(form.Panel1->isVisible());
    EXPECT_EQ(form.Panel1->geometry(), QRect(12, 194, 369, 47));
    EXPECT_EQ(form.Image2->size(), QSize(54, 30));
    EXPECT_TRUE(form.Image2->Empty());
}

TEST_F(FormTest, TimersHaveTheirSettings) {
    TForm1& form = MakeForm();
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(form.Timer1->interval(), 100);
    EXPECT_FALSE(form.DelayTimer->isActive());
    // The one-shot command-line timer runs once and stops.
    EXPECT_TRUE(PumpUntil([&] { return !form.CommandLineTimer->isActive(); }, 2000));
    EXPECT_EQ(form.CommandLineTimer->interval(), 100);
}

TEST_F(FormTest, FirstPageShownWhateverWasActiveBefore) {
    TForm1& form = MakeForm({}, false);
    form.PageControl1->setCurrentIndex(3);
    form.show();
    EXPECT_EQ(form.PageControl1->currentIndex(), 0);
}

TEST_F(FormTest, KeepOriginalSizeGreysSizeEditsWithinATick) {
    TForm1& form = MakeForm();
    form.CheckBox2->setChecked(true);
    EXPECT_TRUE(
        PumpUntil([&] { return !form.Edit7->isEnabled() && !form.Edit8->isEnabled(); }, 1000));
    EXPECT_EQ(form.Edit7->palette().color(QPalette::Base),
              QApplication::palette().color(QPalette::Button));
    form.CheckBox2->setChecked(false);
    EXPECT_TRUE(
        PumpUntil([&] { return form.Edit7->isEnabled() && form.Edit8->isEnabled(); }, 1000));
    EXPECT_EQ(form.Edit8->palette().color(QPalette::Base),
              QApplication::palette().color(QPalette::Base));
    EXPECT_TRUE(form.Edit9->isEnabled());
}

TEST_F(FormTest, BusyStateShowsPanelAndLocksPages) {
    TForm1& form = MakeForm();
    form.CGauge1->SetPosition(40);
    form.BeginBusy();
    EXPECT_EQ(form.CGauge1->Position(), 0);
    EXPECT_EQ(form.CGauge1->geometry(), QRect(8, 16, 289, 25));
    EXPECT_EQ(form.CGauge1->Max(), 100);
    EXPECT_TRUE(form.Panel1->isVisible());
    EXPECT_FALSE(form.PageControl1->isEnabled());
    EXPECT_TRUE(form.SpeedButton4->isEnabled());
    EXPECT_TRUE(form.Label12->isEnabled());
    form.EndBusy();
    EXPECT_FALSE(form.Panel1->isVisible());
    EXPECT_TRUE(form.PageControl1->isEnabled());
}

TEST_F(FormTest, DelayKeepsTimersRunningAndEnds) {
    TForm1& form = MakeForm();
    int ticks = 0;
    QTimer other;
    QObject::connect(&other, &QTimer::timeout, [&] { ++ticks; });
    other.start(20);
    form.Delay(300);
    EXPECT_TRUE(form.DelayDone);
    EXPECT_FALSE(form.DelayTimer->isActive());
    EXPECT_GE(ticks, 3);
}

TEST_F(FormTest, HandlerErrorsReachTheStandardErrorReport) {
    TForm1& form = MakeForm();
    form.Guard([] { throw std::runtime_error("disk on fire"); });
    ASSERT_EQ(form.isVisible(), true);
    ASSERT_EQ(Dialogs.Boxes.size(), 1u);
    EXPECT_EQ(Dialogs.Boxes[0].Text, "disk on fire");
    EXPECT_EQ(Dialogs.Boxes[0].Kind, TDialogs::Icon::Stop);
}

TEST_F(FormTest, ExitAndCloseButtonBothCloseTheWindow) {
    TForm1& form = MakeForm();
    form.SpeedButton1->click();
    EXPECT_FALSE(form.isVisible());
    TForm1& second = MakeForm();
    EXPECT_TRUE(second.close());
    EXPECT_FALSE(second.isVisible());
}

TEST_F(FormTest, AddressLabelReportsNothingOfItsOwn) {
    TForm1& form = MakeForm();
    // No browser answers here: the click must leave the program unchanged and silent.
    qputenv("BROWSER", "/nonexistent/browser");
    form.Label12Click();
    PumpFor(100);
    unsetenv("BROWSER");
    EXPECT_TRUE(Dialogs.Boxes.empty());
    EXPECT_TRUE(form.isVisible());
}

// File types and names

TEST_F(FormTest, ExtensionIsTakenFromTheWholePath) {
    EXPECT_EQ(TForm1::FileExtension("/home/u/PHOTO.JPG"), "JPG");
    EXPECT_EQ(TForm1::FileExtension("/home/u/my.pics/photo"), "pics/photo");
    EXPECT_EQ(TForm1::FileExtension("/home/u/photo"), "/home/u/photo");
    EXPECT_TRUE(TForm1::CheckImageFileType("/x/PHOTO.JPG"));
    EXPECT_TRUE(TForm1::CheckImageFileType("/x/a.Jpeg"));
    for (const char* ok : {"a.bmp", "a.ico", "a.emf", "a.wmf", "a.jpg", "a.PNG", "a.heic"})
        EXPECT_TRUE(TForm1::CheckImageFileType(ok)) << ok;
    for (const char* refused : {"a.psd", "a.svg", "/my.pics/photo", ""})
        EXPECT_FALSE(TForm1::CheckImageFileType(refused)) << refused;
}

TEST_F(FormTest, LoadedFileBecomesCurrentImageAndNamesTheUpload) {
    TForm1& form = MakeForm();
    form.ImageFile = Picture("picture.jpeg", 64, 48, "JPG");
    form.ProcessImageFile();
    EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(form.Image2->size(), QSize(64, 48));
    EXPECT_FALSE(form.Image2->Empty());
    EXPECT_EQ(form.Edit10->text(), "picture.jpg");
    EXPECT_EQ(form.Edit6->text(), "picture.jpg");
    EXPECT_EQ(form.PageControl1->currentIndex(), 2);

    form.PageControl1->setCurrentIndex(0);
    form.ImageFile = Picture("a.b.bmp", 10, 20, "BMP");
    form.ProcessImageFile();
    EXPECT_EQ(form.Edit10->text(), "a.b.jpg");
    EXPECT_EQ(form.Image2->size(), QSize(10, 20));

    form.ImageFile = Picture("PHOTO.JPG", 30, 30, "JPG");
    form.ProcessImageFile();
    EXPECT_EQ(form.Edit10->text(), "PHOTO.jpg");

    form.ImageFile = Picture("Holiday.png", 12, 7, "PNG");
    form.ProcessImageFile();
    EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(form.Edit10->text(), "Holiday.jpg");
    EXPECT_EQ(form.Image2->size(), QSize(12, 7));
}

TEST_F(FormTest, RefusedAndBrokenFilesKeepPageAndName) {
    TForm1& form = MakeForm();
    form.Edit10->setText("kept.jpg");
    form.PageControl1->setCurrentIndex(1);

    form.ImageFile = Picture("image.psd", 8, 8, "PNG");
    form.ProcessImageFile();
    ASSERT_EQ(Dialogs.Boxes.size(), 1u);
    EXPECT_EQ(Dialogs.Boxes[0].Text, "Not supportet Image File");
    EXPECT_EQ(Dialogs.Boxes[0].Title, "Velmoran");
    EXPECT_EQ(Dialogs.Boxes[0].Kind, TDialogs::Icon::Stop);
    EXPECT_EQ(Dialogs.Boxes[0].Choice, TDialogs::Buttons::Ok);
    EXPECT_TRUE(form.ImageFile.isEmpty());

    QDir(Dir.path()).mkdir("my.pics");
    form.ImageFile = File("my.pics/photo", QByteArray(100, 'x'));
    form.ProcessImageFile();
    EXPECT_EQ(Dialogs.Boxes.back().Text, "Not supportet Image File");

    // A picture loaded before is emptied by a failed load.
    form.ImageFile = Picture("good.jpg", 20, 10, "JPG");
    form.ProcessImageFile();
    form.PageControl1->setCurrentIndex(1);
    form.Edit10->setText("kept.jpg");
    form.ImageFile = File("fake.jpg", "this is no JPEG at all");
    form.ProcessImageFile();
    EXPECT_EQ(Dialogs.Boxes.back().Text, "Error loading Image File");
    EXPECT_EQ(Dialogs.Boxes.back().Kind, TDialogs::Icon::Stop);
    EXPECT_TRUE(form.Image2->Empty());
    EXPECT_TRUE(form.ImageFile.isEmpty());
    EXPECT_EQ(form.PageControl1->currentIndex(), 1);
    EXPECT_EQ(form.Edit10->text(), "kept.jpg");
}

TEST_F(FormTest, BadInputNeverCrashes) {
    TForm1& form = MakeForm();
    const QString good = Picture("whole.jpg", 300, 200, "JPG");
    QFile whole(good);
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    QByteArray bmp = "BM";
    bmp += QByteArray(52, '\0');

    const QStringList broken = {
        File("truncated.jpg", bytes.left(bytes.size() / 3)),
        File("empty.jpg", QByteArray()),
        File("short.bmp", QByteArray("BM\x10\0", 4)),
        File("header.bmp", bmp),
        File("garbage.ico", QByteArray(64, '\x7f')),
        File("garbage.wmf", QByteArray(64, '\x01')),
        File("garbage.emf", QByteArray(64, '\x01')),
        Dir.filePath("missing.jpg"),
    };
    for (const QString& path : broken) {
        Dialogs.Boxes.clear();
        form.ImageFile = path;
        form.ProcessImageFile();
        ASSERT_EQ(Dialogs.Boxes.size(), 1u) << path.toStdString();
        EXPECT_EQ(Dialogs.Boxes[0].Text, "Error loading Image File") << path.toStdString();
        EXPECT_TRUE(form.Image2->Empty());
    }

    // A folder named like a picture, and a file nobody may read.
    QDir(Dir.path()).mkdir("folder.jpg");
    const QString locked = Picture("locked.jpg", 10, 10, "JPG");
    QFile::setPermissions(locked, QFileDevice::Permissions());
    QStringList refused = {Dir.filePath("folder.jpg")};
    // root reads every file; the lock only counts for other users.
    if (geteuid() != 0) refused << locked;
    for (const QString& path : refused) {
        Dialogs.Boxes.clear();
        form.ImageFile = path;
        form.ProcessImageFile();
        ASSERT_EQ(Dialogs.Boxes.size(), 1u);
        EXPECT_EQ(Dialogs.Boxes[0].Text, "Error loading Image File");
    }
}

// Sources

TEST_F(FormTest, OpenDialogLoadsChosenFileAndCancelDoesNothing) {
    TForm1& form = MakeForm();
    Dialogs.OpenAnswers.push_back(std::nullopt);
    form.BitBtn3->click();
    ASSERT_EQ(Dialogs.OpenRequests.size(), 1u);
    EXPECT_EQ(Dialogs.OpenRequests[0].Title, "Load Image File");
    EXPECT_TRUE(Dialogs.OpenRequests[0].Filter.contains("*.jpg"));
    EXPECT_TRUE(Dialogs.OpenRequests[0].Filter.contains("*.wmf"));
    EXPECT_TRUE(Dialogs.Boxes.empty());
    EXPECT_EQ(form.PageControl1->currentIndex(), 0);

    Dialogs.OpenAnswers.push_back(Picture("scan.bmp", 40, 30, "BMP"));
    form.BitBtn3->click();
    EXPECT_EQ(form.Edit10->text(), "scan.jpg");
    EXPECT_EQ(form.Image2->size(), QSize(40, 30));
}

TEST_F(FormTest, CommandLineLastExistingFileWinsAfterWindowIsUp) {
    const QString first = Picture("one.jpg", 11, 12, "JPG");
    const QString second = Picture("two.bmp", 21, 22, "BMP");
    TForm1& form = MakeForm({first, second, Dir.filePath("nothere.jpg")});
    EXPECT_TRUE(PumpUntil([&] { return form.Edit10->text() == "two.jpg"; }, 3000));
    EXPECT_EQ(form.Image2->size(), QSize(21, 22));
    EXPECT_EQ(form.ImageFile, second);
    EXPECT_EQ(form.PageControl1->currentIndex(), 2);
}

TEST_F(FormTest, CommandLineWithoutExistingFileSaysNotSupported) {
    MakeForm({Dir.filePath("nothere.jpg")});
    ASSERT_TRUE(PumpUntil([&] { return !Dialogs.Boxes.empty(); }, 3000));
    EXPECT_EQ(Dialogs.Boxes[0].Text, "Not supportet Image File");
    EXPECT_TRUE(Dialogs.Boxes[0].ParentVisible);
}

TEST_F(FormTest, NoArgumentsDoNothing) {
    TForm1& form = MakeForm();
    PumpFor(300);
    EXPECT_TRUE(Dialogs.Boxes.empty());
    EXPECT_EQ(form.PageControl1->currentIndex(), 0);
}

TEST_F(FormTest, DropLoadsTheLastExistingFile) {
    TForm1& form = MakeForm();
    const QString a = Picture("a.jpg", 5, 6, "JPG");
    const QString b = Picture("b.bmp", 7, 8, "BMP");
    form.FilesDropped({a, Dir.filePath("gone1.jpg"), Dir.filePath("gone2.jpg")});
    EXPECT_EQ(form.Edit10->text(), "a.jpg");
    form.FilesDropped({a, b});
    EXPECT_EQ(form.Edit10->text(), "b.jpg");
    EXPECT_TRUE(form.FileButtonAcceptsDrops());

    // A dropped folder is no file: the previous file is processed again.
    QDir(Dir.path()).mkdir("pics.jpg");
    form.FilesDropped({Dir.filePath("pics.jpg")});
    EXPECT_EQ(form.ImageFile, b);
    EXPECT_TRUE(Dialogs.Boxes.empty());
}

TEST_F(FormTest, NamesThatAreNotUtf8ReachTheFileSystemAsGiven) {
    const QByteArray latin1 = NativePicture("caf\xe9.jpg", 12, 7);
    const char* const argv[] = {"imglift", latin1.constData()};
    TForm1& form = MakeForm(FileArguments(2, argv));
    ASSERT_TRUE(
        PumpUntil([&] { return !form.ImageFile.isEmpty() || !Dialogs.Boxes.empty(); }, 3000));
    EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(NativeFileName(form.ImageFile), latin1);
    EXPECT_EQ(form.Image2->size(), QSize(12, 7));
    EXPECT_EQ(form.Edit10->text(), QString::fromLatin1("caf\xe9.jpg"));

    // A drop names its files percent-encoded, byte by byte; Qt hands over a drop only after
    // the drag entered.
    const QByteArray other = NativePicture("\xff\xfe.bmp.jpg", 9, 4);
    QMimeData data;
    data.setData("text/uri-list", "file://" + other.toPercentEncoding("/") + "\r\n");
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form.BitBtn3, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form.BitBtn3, &drop);
    EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(NativeFileName(form.ImageFile), other);
    EXPECT_EQ(form.Image2->size(), QSize(9, 4));
    EXPECT_EQ(form.Edit10->text(), QString::fromLatin1("\xff\xfe.bmp.jpg"));
}

TEST_F(FormTest, OnlyTheFileButtonTakesDrops) {
    TForm1& form = MakeForm();
    EXPECT_TRUE(form.BitBtn3->acceptDrops());
    const std::vector<QWidget*> others = {&form, form.BitBtn1, form.BitBtn2, form.TabSheet1,
                                          form.PageControl1};
    for (QWidget* const other : others)
        EXPECT_FALSE(other->acceptDrops());
    // A drag over an edit field finds no drop site on its way up to the window.
    for (QLineEdit* const edit : form.findChildren<QLineEdit*>())
        for (QWidget* w = edit; w; w = w->parentWidget())
            EXPECT_FALSE(w->acceptDrops())
                << edit->objectName().toStdString() << " in " << w->metaObject()->className();

    const QString file = Picture("dropped.jpg", 9, 9, "JPG");
    std::unique_ptr<QMimeData> data(UrlData({file}));
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, data.get(), Qt::LeftButton,
                          Qt::NoModifier);
    QCoreApplication::sendEvent(form.BitBtn3, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(form.BitBtn3, &drop);
    EXPECT_EQ(form.Edit10->text(), "dropped.jpg");
    EXPECT_EQ(form.Image2->size(), QSize(9, 9));
}

TEST_F(FormTest, ClearImageEmptiesPictures) {
    TForm1& form = MakeForm();
    form.ImageFile = Picture("x.jpg", 50, 40, "JPG");
    form.ProcessImageFile();
    ASSERT_FALSE(form.Image2->Empty());
    form.Button2->click();
    EXPECT_TRUE(form.Image2->Empty());
    EXPECT_TRUE(form.ImageFile.isEmpty());
    // The empty current image keeps the size of its last picture.
    EXPECT_EQ(form.Image2->size(), QSize(50, 40));
}
