// Run with the program's folder read-only (see readonly_folder.sh): the upload's temporary JPEG
// then goes to the user's cache folder.
#include "form_fixture.h"

#include "ftp_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <sys/stat.h>
#include <unistd.h>

using ftptest::PyFtpServer;

namespace {

QByteArray Read(const QString& Path) {
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class UploadCacheTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        const QByteArray dir = QFile::encodeName(QCoreApplication::applicationDirPath());
        ASSERT_NE(::access(dir.constData(), W_OK), 0)
            << "the program's folder must be read-only for this test (readonly_folder.sh)";
        qputenv("XDG_CACHE_HOME", Dir.filePath("cache").toLocal8Bit());
        Cache = Dir.filePath("cache/imglift");
    }
    void TearDown() override {
        FormTest::TearDown();
        qunsetenv("XDG_CACHE_HOME");
    }

    TForm1& Ready(const PyFtpServer& Server) {
        TForm1& form = MakeForm();
        form.Edit1->setText("127.0.0.1");
        form.Edit5->setText(QString::number(Server.Port()));
        form.Edit2->setText("user");
        form.Edit3->setText("secret");
        form.Edit4->setText("/");
        form.ImageFile = Picture("holiday.jpg", 800, 600, "JPG");
        form.ProcessImageFile();
        return form;
    }

    QString Cache;
};

TEST_F(UploadCacheTest, TempFileGoesToAPrivateCacheFolderAndIsRemoved) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    TForm1& form = Ready(server);
    // What the cache folder holds while the confirmation is asked.
    QFileInfoList during;
    mode_t mode = 0;
    Dialogs.OnBox = [&](const QString& Text) {
        if (!Text.startsWith("Upload ")) return;
        during = QDir(Cache).entryInfoList(QDir::Files);
        struct stat st {};
        if (!during.isEmpty() && ::stat(QFile::encodeName(during[0].filePath()), &st) == 0)
            mode = st.st_mode & 0777;
    };
    for (const TDialogs::Result answer : {TDialogs::Result::No, TDialogs::Result::Yes}) {
        Dialogs.Answers.push_back(answer);
        form.BitBtn5->click();
        ASSERT_EQ(during.size(), 1);
        const QFileInfo& temp = during[0];
        EXPECT_TRUE(temp.fileName().startsWith("temp-") && temp.fileName().endsWith(".jpg"))
            << temp.fileName().toStdString();
        EXPECT_EQ(mode, 0600u);
        EXPECT_FALSE(QFile::exists(temp.filePath()));
        EXPECT_EQ(QDir(Cache).entryList(QDir::Files), QStringList());
    }
    EXPECT_EQ(Dialogs.Boxes.back().Text, "File sucessfully transmitted.");
    EXPECT_TRUE(Read(server.RootFile("holiday.jpg")).startsWith("\xFF\xD8"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Cache).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}
