#include "form_fixture.h"

#include "app/timage.h"
#include "controls/progressbar.h"
#include "ftp/ftpclient.h"
#include "ftp_fixture.h"
#include "picture/picture.h"
#include "scripted_server.h"
#include "support/test_support.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>
#include <algorithm>

using ftptest::PyFtpServer;

namespace {

int Count(const QString& Text, const QString& What) {
    return int(Text.count(What));
}

// Markers of a baseline JPEG: SOI, SOF0 and three components.
bool IsBaselineJpeg(const QByteArray& Bytes) {
    if (!Bytes.startsWith("\xFF\xD8")) return false;
    const qsizetype sof = Bytes.indexOf(QByteArray("\xFF\xC0", 2));
    return sof > 0 && Bytes.indexOf(QByteArray("\xFF\xC2", 2)) < 0 && sof + 9 < Bytes.size() &&
           quint8(Bytes[sof + 9]) == 3;
}

} // namespace

class UploadTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        QFile::remove(TempJpeg());
    }

    // A window whose settings point at the server, with a 1600 x 1200 picture loaded.
    TForm1& Ready(const PyFtpServer& Server, const QString& Picture = QString()) {
        return Ready(Server.Port(), Picture);
    }
    TForm1& Ready(quint16 Port, const QString& Picture = QString()) {
        TForm1& form = MakeForm();
        form.Edit1->setText("127.0.0.1");
        form.Edit5->setText(QString::number(Port));
        form.Edit2->setText("user");
        form.Edit3->setText("secret");
        form.Edit4->setText("/");
        form.ImageFile =
            Picture.isEmpty() ? this->Picture("holiday.jpg", 1600, 1200, "JPG") : Picture;
        form.ProcessImageFile();
        EXPECT_TRUE(Dialogs.Boxes.empty());
        return form;
    }

    static QString TempJpeg() { return QCoreApplication::applicationDirPath() + "/temp.jpg"; }

    QString Last() const { return Dialogs.Boxes.empty() ? QString() : Dialogs.Boxes.back().Text; }
};

TEST_F(UploadTest, NewNameIsStoredAsBaselineJpegOfTheComputedSize) {
    PyFtpServer server({"--verbose"});
    ASSERT_TRUE(server.Ok());
    TForm1& form = Ready(server);
    form.Edit9->setText("60");
    form.BitBtn5->click();

    ASSERT_EQ(Dialogs.Boxes.size(), 2u) << Dialogs.Texts().join('|').toStdString();
    const QByteArray stored = ftptest::ReadFile(server.RootFile("holiday.jpg"));
    ASSERT_FALSE(stored.isEmpty());
    EXPECT_EQ(Dialogs.Boxes[0].Kind, TDialogs::Icon::Question);
    EXPECT_EQ(Dialogs.Boxes[0].Choice, TDialogs::Buttons::YesNo);
    EXPECT_EQ(Dialogs.Boxes[0].Text,
              QString("Upload %1 KB to 'holiday.jpg' ?").arg(stored.size() / 1000));
    EXPECT_EQ(Dialogs.Boxes[1].Text, "File sucessfully transmitted.");
    EXPECT_EQ(Dialogs.Boxes[1].Kind, TDialogs::Icon::Information);
    EXPECT_EQ(Dialogs.Boxes[1].Title, "Velmoran");

    EXPECT_TRUE(IsBaselineJpeg(stored));
    EXPECT_EQ(LoadPicture(server.RootFile("holiday.jpg"), pkJPEG).size(), QSize(620, 465));
    // Same bytes as the program's own encoder at the quality set.
    EXPECT_EQ(stored, EncodeJpeg(form.Image5->Picture(), 60));
    EXPECT_EQ(form.UploadSize, stored.size());
    EXPECT_FALSE(QFile::exists(TempJpeg()));
    EXPECT_EQ(form.PageControl1->currentIndex(), 0);
    EXPECT_FALSE(form.Panel1->isVisible());
    EXPECT_TRUE(form.PageControl1->isEnabled());
    // One login for SIZE (550 leaves it open, the abort closes it), one for STOR.
    EXPECT_EQ(Count(server.Output(), "logged in"), 2) << server.Output().toStdString();
}

TEST_F(UploadTest, ExistingNameIsDeletedThenReplacedInThreeLogins) {
    PyFtpServer server({"--verbose"});
    ASSERT_TRUE(server.Ok());
    ASSERT_TRUE(ftptest::WriteFile(server.RootFile("holiday.jpg"), QByteArray(5000, 'o')));
    TForm1& form = Ready(server);
    form.BitBtn5->click();
    EXPECT_EQ(Last(), "File sucessfully transmitted.");
    const QString log = server.Output();
    EXPECT_EQ(Count(log, "logged in"), 3) << log.toStdString();
    EXPECT_GE(Count(log, "DELE"), 1);
    EXPECT_TRUE(IsBaselineJpeg(ftptest::ReadFile(server.RootFile("holiday.jpg"))));
}

TEST_F(UploadTest, NoAtTheConfirmationSendsNothingAndKeepsTheFile) {
    PyFtpServer server({"--verbose"});
    ASSERT_TRUE(server.Ok());
    TForm1& form = Ready(server);
    Dialogs.Answers.push_back(TDialogs::Result::No);
    form.BitBtn5->click();
    ASSERT_EQ(Dialogs.Boxes.size(), 1u);
    EXPECT_TRUE(QFile::exists(TempJpeg()));
    EXPECT_EQ(QDir(server.Root()).entryList(QDir::Files), QStringList());
    EXPECT_EQ(Count(server.Output(), "logged in"), 0);
    EXPECT_FALSE(form.Panel1->isVisible());
    EXPECT_EQ(form.PageControl1->currentIndex(), 2);
}

TEST_F(UploadTest, AbortDuringTheTransferIsReportedAndDoesNotClose) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    // A big noisy picture kept at its size gives a transfer long enough to abort.
    QImage noise(3000, 2000, QImage::Format_RGB32);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y, qRgb((x * 7919 + y * 104729) & 255, (x * y) & 255, (x ^ y) & 255));
    const QString big = Dir.filePath("noise.bmp");
    ASSERT_TRUE(noise.save(big, "BMP"));
    TForm1& form = Ready(server, big);
    form.CheckBox2->setChecked(true);
    form.CheckBox1->setChecked(true);
    form.Edit9->setText("100");
    bool pressed = false;
    const auto progress = form.VFTP->OnProgress;
    form.VFTP->OnProgress = [&](QObject* Sender, qint64 Count, bool& Abort) {
        progress(Sender, Count, Abort);
        if (!pressed && Count > 0) {
            pressed = true;
            EXPECT_TRUE(form.SpeedButton4->isVisible());
            form.SpeedButton4->click();
        }
    };
    form.BitBtn5->click();
    EXPECT_TRUE(pressed);
    EXPECT_EQ(Last(), "Transmission aborted by user.");
    EXPECT_EQ(Dialogs.Boxes.back().Kind, TDialogs::Icon::Stop);
    EXPECT_FALSE(QFile::exists(TempJpeg()));
    EXPECT_NE(form.PageControl1->currentIndex(), 0);
    EXPECT_TRUE(form.isVisible());
}

TEST_F(UploadTest, FailuresSayFileNotTransmitted) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    TForm1& form = Ready(server);

    form.Edit3->setText("wrong");
    form.BitBtn5->click();
    EXPECT_EQ(Last(), "File NOT transmitted.");
    EXPECT_FALSE(QFile::exists(TempJpeg()));

    form.Edit3->setText("secret");
    form.Edit4->setText("/no/such/dir");
    form.BitBtn5->click();
    EXPECT_EQ(Last(), "File NOT transmitted.");

    // Nobody listens on this port any more.
    form.Edit4->setText("/");
    form.Edit5->setText(QString::number(testsupport::FreePort()));
    form.BitBtn5->click();
    EXPECT_EQ(Last(), "File NOT transmitted.");
    EXPECT_EQ(QDir(server.Root()).entryList(QDir::Files), QStringList());
    EXPECT_TRUE(form.PageControl1->isEnabled());
}

TEST_F(UploadTest, StalledServerTimesOutWithoutHangingTheWindow) {
    PyFtpServer server({"--stall-226"});
    ASSERT_TRUE(server.Ok());
    TForm1& form = Ready(server);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(100);
    form.BitBtn5->click();
    EXPECT_EQ(Last(), "File NOT transmitted.");
    // The window went on handling its events throughout the wait.
    EXPECT_GE(ticks, 100);
}

TEST_F(UploadTest, AbortDuringAStalledSizeCheckEndsAtOnceAndLogsInNoMore) {
    ftptest::ScriptedFtpServer server;
    server.ScriptLogin();
    TForm1& form = Ready(server.Port());
    QElapsedTimer sinceClick;
    // SIZE is never answered; the user gives up a moment later.
    server.On("SIZE", [&](ftptest::Session&, const QByteArray&) {
        QTimer::singleShot(300, [&] {
            sinceClick.start();
            form.SpeedButton4->click();
        });
    });
    form.BitBtn5->click();
    ASSERT_TRUE(sinceClick.isValid());
    EXPECT_LT(sinceClick.elapsed(), 1000);
    EXPECT_EQ(Last(), "Transmission aborted by user.");
    testsupport::PumpFor(300);
    const QList<QByteArray> commands = server.Commands();
    EXPECT_EQ(
        std::ranges::count_if(commands, [](const QByteArray& c) { return c.startsWith("USER"); }),
        1)
        << commands.join('|').toStdString();
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_FALSE(QFile::exists(TempJpeg()));
}

TEST_F(UploadTest, SilentServerCostsOneTimeout) {
    ftptest::ScriptedFtpServer server;
    server.SetGreeting({});
    TForm1& form = Ready(server.Port());
    form.VFTP->SetTimeout(2);
    QElapsedTimer clock;
    clock.start();
    form.BitBtn5->click();
    EXPECT_EQ(Last(), "File NOT transmitted.");
    EXPECT_EQ(server.Connections(), 1);
    // The half-second wait for the JPEG file, one time-out and some slack.
    EXPECT_LT(clock.elapsed(), 3500);
    EXPECT_EQ(form.VFTP->LastFailure(), TTransferFailure::Timeout);
}

TEST_F(UploadTest, ProgressMapsBytesToTheBar) {
    TForm1& form = MakeForm();
    bool abort = false;
    form.UploadSize = 10000;
    form.CGauge1->SetPosition(50);
    form.VFTPProgress(form.VFTP, 99, abort);
    EXPECT_EQ(form.CGauge1->Position(), 0);
    form.VFTPProgress(form.VFTP, 100, abort);
    EXPECT_EQ(form.CGauge1->Position(), 2);
    form.VFTPProgress(form.VFTP, 10000, abort);
    EXPECT_EQ(form.CGauge1->Position(), 101);
    EXPECT_EQ(form.CGauge1->Max(), 100);
    EXPECT_FALSE(abort);
    form.UploadSize = 0;
    form.CGauge1->SetPosition(7);
    form.VFTPProgress(form.VFTP, 500, abort);
    EXPECT_EQ(form.CGauge1->Position(), 7);
}

TEST_F(UploadTest, RemoteDeleteHasThreeOutcomes) {
    PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    ASSERT_TRUE(ftptest::WriteFile(server.RootFile("old.jpg"), QByteArray(1234, 'x')));
    TForm1& form = Ready(server);

    form.Edit6->setText("missing.jpg");
    form.Button1->click();
    EXPECT_EQ(Last(), "File not found.");
    EXPECT_EQ(Dialogs.Boxes.back().Kind, TDialogs::Icon::Stop);

    form.Edit6->setText("");
    form.Button1->click();
    EXPECT_EQ(Last(), "File not found.");

    form.Edit6->setText("old.jpg");
    form.Button1->click();
    EXPECT_EQ(Last(), "File sucessfully deleted.");
    EXPECT_EQ(Dialogs.Boxes.back().Kind, TDialogs::Icon::Information);
    EXPECT_FALSE(QFile::exists(server.RootFile("old.jpg")));

    // A failed login after a found file must not count the earlier size.
    ASSERT_TRUE(ftptest::WriteFile(server.RootFile("again.jpg"), QByteArray(10, 'x')));
    form.Edit6->setText("again.jpg");
    form.Edit3->setText("wrong");
    form.Button1->click();
    EXPECT_EQ(Last(), "File not found.");
    EXPECT_TRUE(QFile::exists(server.RootFile("again.jpg")));
}

TEST_F(UploadTest, RefusedDeleteCouldNotDelete) {
    PyFtpServer server({"--refuse-dele"});
    ASSERT_TRUE(server.Ok());
    ASSERT_TRUE(ftptest::WriteFile(server.RootFile("kept.jpg"), QByteArray(100, 'k')));
    TForm1& form = Ready(server);
    form.Edit6->setText("kept.jpg");
    form.Button1->click();
    EXPECT_EQ(Last(), "Could not delete File.");
    EXPECT_TRUE(QFile::exists(server.RootFile("kept.jpg")));
}

TEST(PictureAddress, AppendsTheNameAsAPathSegment) {
    EXPECT_EQ(TForm1::PictureAddress("https://pics.example/my", "image.jpg"),
              "https://pics.example/my/image.jpg");
    EXPECT_EQ(TForm1::PictureAddress("https://pics.example/my/", "Beach Day.jpg"),
              "https://pics.example/my/Beach%20Day.jpg");
    // UTF-8 bytes, and characters that would end or split the segment.
    EXPECT_EQ(TForm1::PictureAddress("http://h/", QString::fromUtf8("Straße #1?/ä.jpg")),
              "http://h/Stra%C3%9Fe%20%231%3F%2F%C3%A4.jpg");
    EXPECT_EQ(TForm1::PictureAddress("", "image.jpg"), "");
}
