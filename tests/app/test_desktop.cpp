#include "app/platform/desktop.h"
#include "app/platform/screen.h"
#include "support/private_bus.h"
#include "support/test_support.h"

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QPainter>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using testsupport::PumpUntil;
using testsupport::ServerProcess;

namespace {

const PrivateSessionBus Bus;

class DesktopTest : public testing::Test {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server";
        ASSERT_TRUE(Bus.Up()) << "no private session bus";
        ASSERT_TRUE(Dir.isValid());
        qunsetenv("IMGLIFT_SCREEN");
        qputenv("IMGLIFT_PORTAL_TIMEOUT_MS", "1000");
    }
    void TearDown() override {
        Owner.reset();
        Portal.reset();
        EXPECT_TRUE(PumpUntil([] { return !screen::PortalOffered(); }));
        qunsetenv("IMGLIFT_SCREEN");
        qunsetenv("IMGLIFT_PORTAL_TIMEOUT_MS");
    }

    // Starts the stand-in portal and waits until it holds its name on the bus.
    void StartPortal(const QString& mode) {
        Portal = std::make_unique<ServerProcess>(
            "/usr/bin/python3",
            QStringList{testsupport::SourceDir() + "/tests/app/fake_portal.py", mode, LogPath()});
        ASSERT_TRUE(PumpUntil([] { return screen::PortalOffered(); }, 10000))
            << Portal->output().toStdString();
    }

    QString LogPath() const { return Dir.filePath("portal.log"); }

    // What the stand-in portal has recorded, one entry per request or Close.
    QList<QJsonObject> Log() const {
        QFile file(LogPath());
        QList<QJsonObject> entries;
        if (!file.open(QIODevice::ReadOnly)) return entries;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty()) entries << QJsonDocument::fromJson(line).object();
        return entries;
    }

    // The file list this process reads while another client owns the clipboard with these
    // formats and data.
    std::optional<QStringList> FileListOffered(const QStringList& formatsAndData) {
        // The last owner, or this process, lets go first, so that no earlier data is read.
        Owner.reset();
        desktop::ClearClipboard();
        EXPECT_TRUE(PumpUntil([] {
            const QMimeData* const data = QGuiApplication::clipboard()->mimeData();
            return !data || data->formats().isEmpty();
        }));
        Owner = std::make_unique<ServerProcess>(CLIPBOARD_OWNER, formatsAndData);
        QString said;
        EXPECT_TRUE(PumpUntil([&] {
            said += Owner->output();
            return said.contains("ready\n");
        })) << said.toStdString();
        EXPECT_TRUE(PumpUntil([&] {
            return QGuiApplication::clipboard()->mimeData()->hasFormat(formatsAndData.first());
        }));
        const std::optional<QList<QUrl>> urls = desktop::ClipboardFileList();
        if (!urls) return std::nullopt;
        QStringList files;
        for (const QUrl& url : *urls)
            files << url.toLocalFile();
        return files;
    }

    QTemporaryDir Dir;
    std::unique_ptr<ServerProcess> Portal;
    std::unique_ptr<ServerProcess> Owner;
};

TEST_F(DesktopTest, PortalPictureReachesTheClipboardAndItsFileIsRemoved) {
    StartPortal("picture:320x240");
    QWidget window;
    window.show();
    ASSERT_TRUE(
        PumpUntil([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }));

    ASSERT_EQ(screen::ChooseScreen()->Name(), "portal");
    desktop::ClearClipboard();
    ASSERT_TRUE(desktop::PressPrintScreen());
    const QImage shot = QGuiApplication::clipboard()->image();
    EXPECT_EQ(shot.size(), QSize(320, 240)); // the portal's picture, not the X screen
    EXPECT_EQ(shot.pixel(160, 120) & 0xffffffu, qRgb(40, 160, 90) & 0xffffffu);

    const QList<QJsonObject> log = Log();
    ASSERT_EQ(log.size(), 1);
    EXPECT_FALSE(log[0]["handle_token"].toString().isEmpty());
    EXPECT_EQ(log[0]["interactive"], QJsonValue(false));
    EXPECT_EQ(log[0]["parent_window"].toString(),
              "x11:" + QString::number(window.windowHandle()->winId(), 16));
    EXPECT_FALSE(QFile::exists(log[0]["file"].toString()));

    // A forced service wins over the portal.
    qputenv("IMGLIFT_SCREEN", "x11");
    EXPECT_EQ(screen::ChooseScreen()->Name(), "x11");
    qputenv("IMGLIFT_SCREEN", "none");
    EXPECT_EQ(screen::ChooseScreen(), nullptr);
    EXPECT_FALSE(desktop::PressPrintScreen());
}

TEST_F(DesktopTest, AreaIsAskedOfThePortalInteractively) {
    // The stand-in answers with the part "the user picked".
    StartPortal("picture:123x45");
    desktop::ClearClipboard();
    ASSERT_TRUE(desktop::PressPrintScreen(true));
    EXPECT_EQ(QGuiApplication::clipboard()->image().size(), QSize(123, 45));
    const QList<QJsonObject> log = Log();
    ASSERT_EQ(log.size(), 1);
    EXPECT_EQ(log[0]["interactive"], QJsonValue(true));
}

TEST_F(DesktopTest, RefusedPortalRequestLeavesTheClipboardEmpty) {
    StartPortal("refuse");
    desktop::ClearClipboard();
    EXPECT_FALSE(desktop::PressPrintScreen());
    EXPECT_TRUE(QGuiApplication::clipboard()->image().isNull());
    EXPECT_EQ(Log().size(), 1);
}

TEST_F(DesktopTest, SilentPortalIsGivenUpAfterTheTimeLimitWithoutFreezing) {
    StartPortal("silent");
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    desktop::ClearClipboard();
    EXPECT_FALSE(desktop::PressPrintScreen());
    EXPECT_GT(ticks, 5); // the event loop ran during the wait
    EXPECT_TRUE(QGuiApplication::clipboard()->image().isNull());
    // The request is withdrawn.
    EXPECT_TRUE(PumpUntil([&] {
        const QList<QJsonObject> log = Log();
        return log.size() == 2 && log[1].contains("closed");
    }));
}

TEST_F(DesktopTest, WithoutPortalTheWholeXDesktopIsGrabbed) {
    ASSERT_FALSE(screen::PortalOffered());
    ASSERT_EQ(screen::ChooseScreen()->Name(), "x11");
    // A red square near the desktop's far corner shows up at that place in the picture.
    const QRect desktop = QGuiApplication::primaryScreen()->virtualGeometry();
    QWidget square(nullptr, Qt::X11BypassWindowManagerHint | Qt::FramelessWindowHint);
    square.setStyleSheet("background: red");
    square.setGeometry(desktop.right() - 60, desktop.bottom() - 50, 40, 40);
    square.show();
    ASSERT_TRUE(PumpUntil([&] { return square.windowHandle()->isExposed(); }));
    testsupport::PumpFor(200);

    ASSERT_TRUE(desktop::PressPrintScreen());
    const QImage shot = QGuiApplication::clipboard()->image();
    EXPECT_EQ(shot.size(), desktop.size());
    const QPoint inside = square.geometry().center() - desktop.topLeft();
    EXPECT_EQ(shot.pixel(inside) & 0xffffffu, 0xff0000u);
    EXPECT_NE(shot.pixel(inside + QPoint(30, 0)) & 0xffffffu, 0xff0000u);
}

TEST_F(DesktopTest, FileListsInEachFileManagerForm) {
    // x-special/gnome-copied-files: "copy" or "cut", then URLs.
    EXPECT_EQ(FileListOffered({"x-special/gnome-copied-files",
                               "copy\nfile:///tmp/a%20b.jpg\nfile:///tmp/c.bmp"}),
              QStringList({"/tmp/a b.jpg", "/tmp/c.bmp"}));
    // Plain text that holds only file URLs, one a line.
    EXPECT_EQ(FileListOffered({"text/plain", "file:///tmp/one.jpg\r\nfile:///tmp/two.wmf\n"}),
              QStringList({"/tmp/one.jpg", "/tmp/two.wmf"}));
    // Text with anything else in it is text.
    EXPECT_EQ(FileListOffered({"text/plain", "file:///tmp/one.jpg\nand a remark"}), std::nullopt);
    // The URI list comes first.
    EXPECT_EQ(FileListOffered({"text/uri-list", "file:///tmp/first.jpg\r\n",
                               "x-special/gnome-copied-files", "copy\nfile:///tmp/second.jpg"}),
              QStringList({"/tmp/first.jpg"}));
}

} // namespace
