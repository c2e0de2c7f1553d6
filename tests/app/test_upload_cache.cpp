// Run with the program's folder read-only (see readonly_folder.sh): temp.jpg then goes to the
// user's cache folder.
#include "form_fixture.h"

#include "ftp_fixture.h"

#include <QCoreApplication>
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

TEST_F(UploadCacheTest, TempFileGoesToAPrivateCacheFolderAndNeverThroughAPlantedLink) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    // A link at the cache name, aimed at a file of the user's.
    ASSERT_TRUE(QDir().mkpath(Cache));
    const QString victim = File("victim", "precious");
    ASSERT_TRUE(QFile::link(victim, Cache + "/temp.jpg"));

    TForm1& form = Ready(server);
    Dialogs.Answers.push_back(TDialogs::Result::No);
    form.BitBtn5->click();
    ASSERT_EQ(Dialogs.Boxes.size(), 1u) << Dialogs.Boxes.back().Text.toStdString();
    EXPECT_TRUE(Dialogs.Boxes[0].Text.startsWith("Upload ")) << Dialogs.Boxes[0].Text.toStdString();
    EXPECT_EQ(Read(victim), "precious");
    const QFileInfo temp(Cache + "/temp.jpg");
    EXPECT_FALSE(temp.isSymLink());
    EXPECT_TRUE(Read(temp.filePath()).startsWith("\xFF\xD8"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(Cache).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    form.BitBtn5->click();
    EXPECT_EQ(Dialogs.Boxes.back().Text, "File sucessfully transmitted.");
    EXPECT_TRUE(Read(server.RootFile("holiday.jpg")).startsWith("\xFF\xD8"));
    EXPECT_FALSE(QFile::exists(Cache + "/temp.jpg"));
    EXPECT_EQ(Read(victim), "precious");
}
