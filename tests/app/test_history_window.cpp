// The upload history from the window: a fresh upload listed with its thumbnail, its address
// copied, its file deleted from the server; a damaged history never stops an upload.

#include "form_fixture.h"

#include "app/historywindow.h"
#include "ftp_fixture.h"
#include "history/history.h"

#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>

class HistoryWindowTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server";
        ASSERT_TRUE(Server.Ok());
        qputenv("XDG_DATA_HOME", Dir.filePath("data").toLocal8Bit());
    }
    void TearDown() override {
        FormTest::TearDown();
        qunsetenv("XDG_DATA_HOME");
    }
    QString HistoryPath() const { return Dir.filePath("data/imglift/history.sqlite"); }

    // Uploads a picture under Name from a window whose settings point at the server.
    TForm1& Uploaded(const QString& Name) {
        TForm1& form = MakeForm();
        form.Edit1->setText("127.0.0.1");
        form.Edit5->setText(QString::number(Server.Port()));
        form.Edit2->setText("user");
        form.Edit3->setText("secret");
        form.Edit4->setText("/");
        form.Edit11->setText("https://pics.example/up");
        form.ImageFile = Picture("source.jpg", 800, 400, "JPG");
        form.ProcessImageFile();
        form.Edit10->setText(Name);
        form.BitBtn5->click();
        EXPECT_EQ(Dialogs.Texts().last(), "File sucessfully transmitted.");
        return form;
    }

    ftptest::PyFtpServer Server;
};

TEST_F(HistoryWindowTest, ListsAFreshUploadCopiesItsAddressAndDeletesItFromTheServer) {
    Uploaded("older.jpg");
    TForm1& form = Uploaded("fresh.jpg");
    ASSERT_TRUE(QFile::exists(Server.RootFile("fresh.jpg")));

    form.SpeedButton5->click();
    THistoryWindow* const window = form.HistoryWindow;
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->isVisible());
    ASSERT_EQ(window->List->topLevelItemCount(), 2);
    QTreeWidgetItem* const newest = window->List->topLevelItem(0);
    EXPECT_EQ(newest->text(0), "fresh.jpg");
    EXPECT_EQ(newest->text(1), "https://pics.example/up/fresh.jpg");
    EXPECT_EQ(newest->text(2), "127.0.0.1");
    EXPECT_FALSE(newest->icon(0).isNull());
    const THistoryEntry entry = *TUploadHistory(HistoryPath()).Entry(form.UploadEntryId);
    EXPECT_EQ(entry.Name, "fresh.jpg");
    EXPECT_EQ(entry.Source, Dir.filePath("source.jpg"));
    EXPECT_EQ(QSize(entry.Width, entry.Height), QSize(620, 310));
    EXPECT_EQ(entry.Size, QFileInfo(Server.RootFile("fresh.jpg")).size());
    EXPECT_EQ(QImage::fromData(entry.Thumbnail).size(), QSize(128, 64));

    window->Search->setText("old");
    ASSERT_EQ(window->List->topLevelItemCount(), 1);
    window->Search->clear();
    window->List->topLevelItem(0)->setSelected(true);
    window->CopyButton->click();
    EXPECT_TRUE(testsupport::PumpUntil([] {
        return QGuiApplication::clipboard()->text() == "https://pics.example/up/fresh.jpg";
    }));

    // The FTP page now names another folder and security: the entry's own are used.
    form.Edit4->setText("/elsewhere");
    form.ComboBox1->setCurrentIndex(TForm1::secSftp);
    Dialogs.Answers = {TDialogs::Result::No};
    window->DeleteButton->click();
    EXPECT_EQ(Dialogs.Texts().last(), "Delete 'fresh.jpg' from 127.0.0.1?");
    EXPECT_TRUE(QFile::exists(Server.RootFile("fresh.jpg")));
    window->List->topLevelItem(0)->setSelected(true);
    window->DeleteButton->click();
    EXPECT_EQ(Dialogs.Texts().last(), "File sucessfully deleted.");
    EXPECT_FALSE(QFile::exists(Server.RootFile("fresh.jpg")));
    EXPECT_TRUE(QFile::exists(Server.RootFile("older.jpg")));
    EXPECT_EQ(TUploadHistory(HistoryPath()).Entry(entry.Id)->State, THistoryEntry::TState::Deleted);
    EXPECT_EQ(window->List->topLevelItem(0)->text(0), "fresh.jpg (deleted)");
    // The FTP page is as it was, and nothing of the entry's was stored.
    EXPECT_EQ(form.Edit4->text(), "/elsewhere");
    EXPECT_EQ(form.ComboBox1->currentIndex(), TForm1::secSftp);
    EXPECT_EQ(form.Edit3->text(), "secret");

    window->List->topLevelItem(1)->setSelected(true);
    window->RemoveButton->click();
    EXPECT_EQ(window->List->topLevelItemCount(), 1);
    EXPECT_TRUE(QFile::exists(Server.RootFile("older.jpg")));
}

TEST_F(HistoryWindowTest, ADamagedHistoryIsShownAndTheUploadStillSucceeds) {
    QDir().mkpath(QFileInfo(HistoryPath()).absolutePath());
    const QByteArray garbage(5000, 'x');
    ASSERT_TRUE(ftptest::WriteFile(HistoryPath(), garbage));
    TForm1& form = Uploaded("pic.jpg");
    EXPECT_TRUE(QFile::exists(Server.RootFile("pic.jpg")));
    EXPECT_EQ(form.UploadEntryId, 0);
    form.SpeedButton5->click();
    EXPECT_TRUE(form.HistoryWindow->Problem->isVisible());
    EXPECT_EQ(form.HistoryWindow->Problem->text(),
              "Upload history unavailable: " + HistoryPath() + ": not an SQLite database");
    EXPECT_EQ(ftptest::ReadFile(HistoryPath()), garbage);
}
