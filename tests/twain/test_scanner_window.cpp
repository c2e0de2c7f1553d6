// The window's "&Twain" and "&Twain Source" buttons, with SANE's test device behind our manager.

#include "app/timage.h"
#include "tests/app/form_fixture.h"
#include "twain/profile.h"

#include "support/test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <cmath>
#include <functional>

namespace {

class ScannerTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        if (qEnvironmentVariableIsEmpty("SANE_CONFIG_DIR"))
            qputenv("SANE_CONFIG_DIR",
                    QFile::encodeName(testsupport::SourceDir() + "/tests/twain/sane"));
        qputenv("IMGLIFT_TWAIN_INI", QFile::encodeName(Dir.filePath("twain.ini")));
        // The manager's remembered settings for the test device: colour at 100 dpi.
        WriteProfileString("Scanner test:0", "Mode", "Color");
        WriteProfileString("Scanner test:0", "Resolution", "100");
    }

    // While Run runs, clicks the button captioned Caption in the first visible dialog that has
    // one. Gives up after ten seconds and ends the scan wait, so a missing dialog fails the test
    // instead of hanging it.
    bool ClickInDialog(const QString& Caption, const std::function<void()>& Run) {
        bool clicked = false;
        int rounds = 0;
        QTimer poll;
        poll.setInterval(50);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (++rounds > 200) {
                Form->ScanFinished = true;
                poll.stop();
            }
            for (QWidget* const top : QApplication::topLevelWidgets()) {
                auto* const dialog = qobject_cast<QDialog*>(top);
                if (!dialog || !dialog->isVisible()) continue;
                for (QPushButton* const button : dialog->findChildren<QPushButton*>())
                    if (button->text().remove('&') == Caption && button->isEnabled()) {
                        clicked = true;
                        poll.stop();
                        button->click();
                        return;
                    }
            }
        });
        poll.start();
        Run();
        return clicked;
    }

    void ExpectScanEnded(TForm1& form) {
        EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
        EXPECT_TRUE(form.PageControl1->isEnabled());
        EXPECT_FALSE(form.Panel1->isVisible());
        EXPECT_EQ(form.PageControl1->currentIndex(), 2);
        EXPECT_EQ(form.Edit10->text(), "scanjob.jpg");
        EXPECT_EQ(form.Edit6->text(), "scanjob.jpg");
    }
};

TEST_F(ScannerTest, WholeGlassScansWithoutDialogAndAgain) {
    TForm1& form = MakeForm();
    form.CheckBox3->setChecked(true);
    form.BitBtn1->click();
    ExpectScanEnded(form);
    const QImage scan = form.Image2->Picture();
    // The glass is 200 mm square; at 100 dpi that is 787 pixels each way.
    EXPECT_EQ(scan.width(), scan.height());
    EXPECT_NEAR(scan.width(), 200 / 25.4 * 100, 1);
    EXPECT_NE(scan.pixel(0, 0), scan.pixel(scan.width() - 1, scan.height() - 1));
    EXPECT_EQ(form.Image2->Width(), scan.width()) << "the current image takes the scan's size";

    // A second scan needs no new start of the manager.
    form.Image2->ClearPicture();
    form.Edit10->setText("other.jpg");
    form.PageControl1->setCurrentIndex(0);
    form.BitBtn1->click();
    ExpectScanEnded(form);
    EXPECT_EQ(form.Image2->Picture().size(), scan.size());
}

TEST_F(ScannerTest, CancelInTheSourceDialogEndsTheScan) {
    TForm1& form = MakeForm();
    form.CheckBox3->setChecked(false);
    QImage before(30, 20, QImage::Format_RGB32);
    before.fill(Qt::magenta);
    form.Image2->SetPicture(before);
    EXPECT_TRUE(ClickInDialog("Cancel", [&] { form.BitBtn1->click(); }));
    ExpectScanEnded(form);
    EXPECT_EQ(form.Image2->Picture(), before);
}

TEST_F(ScannerTest, ChoosingTheScannerTakesTheSelectionDialog) {
    TForm1& form = MakeForm();
    // Cancel leaves everything as it was; the window stays idle.
    EXPECT_TRUE(ClickInDialog("Cancel", [&] { form.SpeedButton2->click(); }));
    EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(form.PageControl1->currentIndex(), 0);
}

} // namespace
