// The window's "&Twain" and "&Twain Source" buttons, with SANE's test device behind our manager.

#include "app/timage.h"
#include "slow_sane.h"
#include "tests/app/form_fixture.h"
#include "twain/profile.h"
#include "twain/srtwain.h"

#include "support/test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QFrame>
#include <QLineEdit>
#include <QListWidget>
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

    void TearDown() override {
        slowsane::SetDelay(0);
        FormTest::TearDown();
    }

    // The visible selection dialog's list, or null.
    static QListWidget* SourceList() {
        for (QWidget* const top : QApplication::topLevelWidgets())
            if (top->isVisible())
                if (auto* const list = top->findChild<QListWidget*>("sourceList")) return list;
        return nullptr;
    }

    // Chooses the device in the selection dialog that "&Twain Source" opens; returns the name
    // that was preselected.
    QString Choose(TForm1& form, const QString& Device) {
        QString preselected;
        QTimer poll;
        int rounds = 0;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QListWidget* const list = SourceList();
            if (++rounds > 400 && list) list->window()->close();
            if (!list || list->count() == 0) return;
            poll.stop();
            preselected = list->currentItem()->text();
            const auto found = list->findItems("(" + Device + ")", Qt::MatchEndsWith);
            if (!found.isEmpty()) list->setCurrentItem(found.first());
            list->window()->findChild<QPushButton*>("selectButton")->click();
        });
        poll.start(25);
        form.SpeedButton2->click();
        return preselected;
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

// Counts the window's timer ticks and paints that happen while a device search runs.
class SearchWatch : public QObject {
public:
    explicit SearchWatch(QWidget& window) : Window(window) {
        window.installEventFilter(this);
        connect(&Timer, &QTimer::timeout, this, [this] {
            if (slowsane::Searching()) {
                ++Ticks;
                Window.update();
            }
            if (OnTick) OnTick();
        });
        Timer.start(20);
    }
    QWidget& Window;
    QTimer Timer;
    int Ticks = 0;
    int Paints = 0;
    std::function<void()> OnTick;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && slowsane::Searching()) ++Paints;
        return false;
    }
};

TEST_F(ScannerTest, SlowDeviceSearchKeepsTheWindowAlive) {
    TForm1& form = MakeForm();
    slowsane::SetDelay(3000);
    // "&Twain Source": the dialog is there while the search runs, and Cancel ends it at once.
    {
        SearchWatch watch(form);
        bool shownDuringSearch = false, cancelledDuringSearch = false;
        watch.OnTick = [&] {
            QListWidget* const list = SourceList();
            const bool searching = slowsane::Searching();
            if (!list) return;
            shownDuringSearch = shownDuringSearch || searching;
            // Cancelled once the window showed it is alive, or (failing) once the search is over.
            const bool alive = watch.Ticks >= 3 && watch.Paints > 0;
            if (searching ? !alive : list->count() == 0) return;
            cancelledDuringSearch = searching;
            list->window()->findChild<QPushButton*>("cancelButton")->click();
        };
        const int searchesBefore = slowsane::Searches();
        form.SpeedButton2->click();
        EXPECT_EQ(slowsane::Searches() - searchesBefore, 1) << "one search, on the dialog's behalf";
        EXPECT_TRUE(shownDuringSearch);
        EXPECT_TRUE(cancelledDuringSearch);
        EXPECT_GT(watch.Ticks, 0);
        EXPECT_GT(watch.Paints, 0);
        EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
    }
    // The first "&Twain" without a remembered scanner searches under the busy state.
    {
        SearchWatch watch(form);
        bool busy = true;
        watch.OnTick = [&] {
            if (slowsane::Searching()) busy = busy && form.Panel1->isVisible();
        };
        form.CheckBox3->setChecked(true);
        form.BitBtn1->click();
        ExpectScanEnded(form);
        EXPECT_FALSE(form.Image2->Empty());
        EXPECT_GT(watch.Ticks, 0);
        EXPECT_GT(watch.Paints, 0);
        EXPECT_TRUE(busy);
    }
}

TEST_F(ScannerTest, TheLastChoiceStaysTheDefault) {
    EXPECT_TRUE(Choose(MakeForm(), "test:0").endsWith("(test:0)")); // nothing remembered: first
    EXPECT_TRUE(Choose(MakeForm(), "test:1").endsWith("(test:0)"));
    EXPECT_TRUE(Choose(MakeForm(), "test:0").endsWith("(test:1)"));
    Form.reset();
    EXPECT_EQ(GetProfileString("TWAIN", "DEFAULT SOURCE"), "test:0");
    EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
}

TEST_F(ScannerTest, UnwritableProfileStillTakesTheChoiceForThisRun) {
    // A file where the profile's folder should be: no profile can be written below it.
    const QString blocker = File("blocker", "x");
    qputenv("IMGLIFT_TWAIN_INI", QFile::encodeName(blocker + "/twain.ini"));
    TForm1& form = MakeForm();
    Choose(form, "test:1");
    EXPECT_TRUE(Dialogs.Boxes.empty()) << Dialogs.Texts().join('|').toStdString();
    EXPECT_TRUE(Choose(form, "test:1").endsWith("(test:1)"));
    form.CheckBox3->setChecked(true);
    form.BitBtn1->click();
    ExpectScanEnded(form);
    EXPECT_STREQ(form.TWAIN1->SourceIdentity().ProductName, "test:1");
}

} // namespace
