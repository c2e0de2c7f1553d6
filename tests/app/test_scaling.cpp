#include "form_fixture.h"

#include "app/imaging.h"
#include "app/preview.h"
#include "app/timage.h"
#include "picture/picture.h"
#include "settings/vreg.h"
#include "support/test_support.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTimer>

namespace {

QByteArray Head(const QString& Path, int Bytes) {
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.read(Bytes) : QByteArray();
}

// Clicks the widget's centre with the left button.
void Click(QWidget* Widget) {
    const QPointF at(Widget->width() / 2.0, Widget->height() / 2.0);
    QMouseEvent press(QEvent::MouseButtonPress, at, Widget->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, Widget->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(Widget, &press);
    QCoreApplication::sendEvent(Widget, &release);
}

} // namespace

class ScalingTest : public FormTest {
protected:
    TForm1& FormWith(const QString& Picture) {
        TForm1& form = MakeForm();
        form.ImageFile = Picture;
        form.ProcessImageFile();
        EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
        return form;
    }
    QSize Scaled(TForm1& Form) {
        Form.UpdateData(Form.BitBtn5);
        Form.ResizeImage(*Form.Image2, *Form.Image5);
        return Form.Image5->size();
    }
};

TEST_F(ScalingTest, UpdateDataFallsBackAndClampsWithoutRewritingTexts) {
    TForm1& form = MakeForm();
    form.Edit7->setText("0");
    form.Edit8->setText("");
    form.Edit9->setText("150");
    EXPECT_EQ(form.MaxWidth, 1);
    EXPECT_EQ(form.MaxHeight, 480);
    EXPECT_EQ(form.Quality, 100);
    EXPECT_EQ(form.Edit7->text(), "0");
    form.Edit7->setText("x");
    form.Edit9->setText("-5");
    EXPECT_EQ(form.MaxWidth, 620);
    EXPECT_EQ(form.Quality, 1);
    form.Edit9->setText("abc");
    EXPECT_EQ(form.Quality, 80);
    EXPECT_EQ(form.Edit9->text(), "abc");
    // Program-set texts are not stored.
    TVReg reg;
    reg.SetProgrammname("ImgLift");
    reg.SetFirmenname("Velmoran");
    EXPECT_EQ(reg.Pop("Quality"), "80");
}

TEST_F(ScalingTest, FitsKeepsOrStretchesThePicture) {
    TForm1& form = FormWith(Picture("big.jpg", 1600, 1200, "JPG"));
    EXPECT_EQ(Scaled(form), QSize(620, 465));
    EXPECT_EQ(form.Image5->Picture().size(), QSize(620, 465));
    form.CheckBox4->setChecked(false);
    EXPECT_EQ(Scaled(form), QSize(620, 480));
    form.CheckBox2->setChecked(true);
    EXPECT_EQ(Scaled(form), QSize(1600, 1200));
    form.CheckBox2->setChecked(false);
    form.CheckBox4->setChecked(true);
    form.Edit7->setText("240");
    EXPECT_EQ(Scaled(form), QSize(240, 180));
}

TEST_F(ScalingTest, ThinPicturesKeepAtLeastOnePixelToSaveAndUpload) {
    struct Case {
        QSize Picture;
        const char* Width;
        QSize Output;
    };
    for (const Case& c : {Case{{621, 1}, "620", {620, 1}}, Case{{4000, 2}, "620", {620, 1}},
                          Case{{1600, 1200}, "1", {1, 1}}}) {
        TForm1& form = FormWith(Picture("thin.bmp", c.Picture.width(), c.Picture.height(), "BMP"));
        form.Edit7->setText(c.Width);
        // The computed height is 0 ...
        form.UpdateData(form.BitBtn5);
        EXPECT_EQ(ComputeScaledSize(c.Picture.width(), c.Picture.height(), form.MaxWidth,
                                    form.MaxHeight, false, true)
                      .Height,
                  0);
        // ... the picture that is previewed, saved and uploaded is not empty.
        EXPECT_EQ(Scaled(form), c.Output);
        EXPECT_EQ(form.Image5->Picture().size(), c.Output);
        const QString path = Dir.filePath("out.jpg");
        form.SaveToFile(*form.Image5, path);
        EXPECT_EQ(LoadPicture(path, pkJPEG).size(), c.Output);
    }
}

TEST_F(ScalingTest, HugeBoundsGiveAClearErrorInsteadOfACrash) {
    TForm1& form = FormWith(Picture("small.jpg", 100, 100, "JPG"));
    form.Edit7->setText("100000");
    form.Edit8->setText("100000");
    form.CheckBox4->setChecked(false);
    form.PageControl1->setCurrentIndex(3);
    ASSERT_EQ(Dialogs.Boxes.size(), 1u);
    EXPECT_EQ(Dialogs.Boxes[0].Kind, TDialogs::Icon::Stop);
    EXPECT_TRUE(Dialogs.Boxes[0].Text.contains("100000")) << Dialogs.Boxes[0].Text.toStdString();
    EXPECT_TRUE(form.isVisible());
}

TEST_F(ScalingTest, AdvancedPageShowsTheScaledThumbnail) {
    TForm1& form = FormWith(Picture("photo.jpg", 1000, 2000, "JPG"));
    EXPECT_TRUE(form.Image6->Empty());
    form.PageControl1->setCurrentIndex(3);
    EXPECT_EQ(form.Image5->size(), QSize(240, 480));
    EXPECT_EQ(form.Image6->Picture().size(), QSize(240, 480));
    EXPECT_EQ(form.Image6->size(), QSize(109, 109));

    // Clearing leaves a blank scaled picture of the size the bounds give.
    form.Button2->click();
    EXPECT_TRUE(form.Image2->Empty());
    EXPECT_EQ(form.Image5->size(), QSize(240, 480));
    EXPECT_EQ(form.Image6->Picture().size(), QSize(240, 480));
}

TEST_F(ScalingTest, SaveAsWritesJpegOrBitmapByTheChosenFilter) {
    TForm1& form = FormWith(Picture("photo.bmp", 800, 600, "BMP"));
    form.PageControl1->setCurrentIndex(3);

    Dialogs.SaveAnswers.push_back(std::nullopt);
    form.Button3->click();
    ASSERT_EQ(Dialogs.SaveRequests.size(), 1u);
    EXPECT_EQ(Dialogs.SaveRequests[0].Title, "Save Picture");
    EXPECT_EQ(Dialogs.SaveRequests[0].DefaultExt, "jpg");
    EXPECT_TRUE(Dialogs.SaveRequests[0].Filter.startsWith("JPEG-Format"));

    const QString asBmp = Dir.filePath("typed.jpg");
    Dialogs.SaveAnswers.push_back(TDialogs::SaveAnswer{asBmp, 2});
    form.Button3->click();
    EXPECT_EQ(Head(asBmp, 2), "BM");
    EXPECT_EQ(LoadPicture(asBmp, pkBitmap).size(), QSize(620, 465));

    const QString asJpeg = Dir.filePath("copy.jpg");
    File("copy.jpg", "old contents that must go");
    Dialogs.SaveAnswers.push_back(TDialogs::SaveAnswer{asJpeg, 1});
    form.Button3->click();
    EXPECT_EQ(Head(asJpeg, 3), QByteArray("\xFF\xD8\xFF"));
    EXPECT_EQ(LoadPicture(asJpeg, pkJPEG).size(), QSize(620, 465));
    EXPECT_TRUE(Dialogs.Boxes.empty());

    // A folder that cannot be written reaches the standard error report.
    Dialogs.SaveAnswers.push_back(TDialogs::SaveAnswer{"/nonexistent/dir/x.jpg", 1});
    form.Button3->click();
    ASSERT_EQ(Dialogs.Boxes.size(), 1u);
    EXPECT_EQ(Dialogs.Boxes[0].Kind, TDialogs::Icon::Stop);
}

TEST_F(ScalingTest, TemporaryFileLivesNextToTheProgram) {
    TForm1& form = MakeForm();
    const QString path = form.CreateFilename("temp.jpg");
    EXPECT_EQ(path, QCoreApplication::applicationDirPath() + "/temp.jpg");
}

TEST_F(ScalingTest, PreviewShowsTheScaledPictureAtItsRealSizeAndClosesOnClick) {
    TForm1& form = FormWith(Picture("large.jpg", 2000, 1500, "JPG"));
    form.CheckBox2->setChecked(true);
    QSize shown;
    bool scrolls = false;
    QTimer::singleShot(100, [&] {
        shown = form.Form2->Image1->size();
        auto* const area = form.Form2->findChild<QScrollArea*>();
        scrolls = area && area->horizontalScrollBar()->maximum() > 0 &&
                  area->verticalScrollBar()->maximum() > 0;
        Click(form.Form2->Image1);
    });
    form.BitBtn4->click();
    EXPECT_EQ(shown, QSize(2000, 1500));
    EXPECT_TRUE(scrolls);
    EXPECT_FALSE(form.Form2->isVisible());
    EXPECT_EQ(form.Form2->windowTitle(), "Preview");
    EXPECT_EQ(form.Form2->size(), QSize(552, 426));

    // New bounds show at once; the background closes the window as well.
    form.CheckBox2->setChecked(false);
    form.Edit7->setText("100");
    form.Edit8->setText("100");
    QTimer::singleShot(100, [&] {
        shown = form.Form2->Image1->size();
        Click(form.Form2->Image1->parentWidget());
    });
    form.BitBtn4->click();
    EXPECT_EQ(shown, QSize(100, 75));
    EXPECT_FALSE(form.Form2->isVisible());
    TVReg reg;
    reg.SetProgrammname("ImgLift");
    reg.SetFirmenname("Velmoran");
    EXPECT_EQ(reg.Pop("MaxWidth"), "620");
}

TEST_F(ScalingTest, PreviewWithoutPictureShowsAnEmptyAreaOfTheComputedSize) {
    TForm1& form = MakeForm();
    QSize shown;
    QTimer::singleShot(100, [&] {
        shown = form.Form2->Image1->size();
        form.Form2->close();
    });
    form.BitBtn4->click();
    // The never-filled current image counts as 54 x 30.
    EXPECT_EQ(shown, QSize(620, 344));
}
