// TSRTWAIN where no manager lies beside the program or in the installed library folder.

#include "app/timage.h"
#include "tests/app/form_fixture.h"
#include "twain/apphook.h"
#include "twain/srtwain.h"

#include "support/test_support.h"

#include <QFrame>
#include <QTabWidget>
#include <QToolButton>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

TEST(TwainWithoutManager, StartsInStateOneWithTheHookInstalled) {
    QObject window;
    TSRTWAIN twain(&window);
    EXPECT_FALSE(twain.TwainDriverFound());
    try {
        twain.InitTWAIN();
        FAIL() << "InitTWAIN succeeded";
    } catch (const ETwainError& e) {
        EXPECT_STREQ(e.what(), "Unable to load or find: libimglift_dsm.so");
    }
    EXPECT_FALSE(twain.IsDataSourceManagerOpen());
    EXPECT_TRUE(apphook::OnMessage());
    try {
        twain.SelectDataSource();
        FAIL() << "SelectDataSource succeeded";
    } catch (const EAssertionFailed& e) {
        EXPECT_THAT(e.what(), testing::StartsWith("Assertion failure ("));
    }
    TBitmap bitmap;
    EXPECT_THROW(twain.Acquire(bitmap), ETwainError);
}

// The program's window where the manager is missing: one report at start-up, then a working
// window whose scanner buttons report the component's errors.
class WindowWithoutManager : public FormTest {};

TEST_F(WindowWithoutManager, ReportsOnceAndWorks) {
    const QString picture = Picture("start.bmp", 20, 10);
    TForm1& form = MakeForm({picture});
    ASSERT_EQ(Dialogs.Boxes.size(), 1u);
    EXPECT_EQ(Dialogs.Boxes[0].Text, "Unable to load or find: libimglift_dsm.so");
    EXPECT_FALSE(form.FileButtonAcceptsDrops());
    testsupport::PumpFor(400);
    EXPECT_TRUE(form.Image2->Empty()) << "the command line is not processed";

    form.BitBtn1->click();
    ASSERT_EQ(Dialogs.Boxes.size(), 2u);
    EXPECT_EQ(Dialogs.Boxes[1].Text, "Unable to load or find: libimglift_dsm.so");
    EXPECT_TRUE(form.PageControl1->isEnabled());
    EXPECT_FALSE(form.Panel1->isVisible());
    EXPECT_EQ(form.PageControl1->currentIndex(), 0) << "a failed scan keeps the page";

    form.SpeedButton2->click();
    ASSERT_EQ(Dialogs.Boxes.size(), 3u);
    EXPECT_TRUE(Dialogs.Boxes[2].Text.startsWith("Assertion failure ("));

    // The rest of the window goes on: a file loads as ever.
    Dialogs.OpenAnswers.push_back(picture);
    form.BitBtn3->click();
    EXPECT_EQ(form.Image2->Picture().size(), QSize(20, 10));
}
