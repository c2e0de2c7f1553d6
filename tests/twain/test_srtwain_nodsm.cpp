// TSRTWAIN where no manager lies beside the program or in the installed library folder.

#include "twain/apphook.h"
#include "twain/srtwain.h"

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
