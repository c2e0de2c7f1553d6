#include <QApplication>
#include <gtest/gtest.h>

// Test programs need a QApplication: widgets, timers, sockets and posted events all live on it.
int main(int argc, char** argv) {
    // Tests never reach the desktop keyring; the keyring's own tests turn it on.
    qputenv("IMGLIFT_KEYRING", "0");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
