// The picture's web address after an upload from the window, on a real X clipboard.

#include "form_fixture.h"

#include "ftp_fixture.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>

// Stands in for the browser: takes the addresses the desktop is asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Opened;
public slots:
    void Open(const QUrl& Url) { Opened << Url; }
};

class UploadX11Test : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server";
        ASSERT_TRUE(Server.Ok());
    }

    TForm1& Ready(const std::string& WebAddress) {
        TForm1& form = MakeForm();
        form.Edit1->setText("127.0.0.1");
        form.Edit5->setText(QString::number(Server.Port()));
        form.Edit2->setText("user");
        form.Edit3->setText("secret");
        form.Edit4->setText("/");
        form.Edit11->setText(QString::fromStdString(WebAddress));
        form.ImageFile = Picture("Beach Day.jpg", 300, 200, "JPG");
        form.ProcessImageFile();
        return form;
    }

    ftptest::PyFtpServer Server;
};

TEST_F(UploadX11Test, AddressGoesToTheClipboardAndTheStatusBar) {
    TForm1& form = Ready("https://pics.example/my");
    QGuiApplication::clipboard()->setText("before");
    form.BitBtn5->click();
    ASSERT_EQ(Dialogs.Texts().last(), "File sucessfully transmitted.");
    const QString address = "https://pics.example/my/Beach%20Day.jpg";
    EXPECT_EQ(QGuiApplication::clipboard()->text(), address);
    EXPECT_TRUE(form.Label11->text().contains("href=\"" + address + "\""))
        << form.Label11->text().toStdString();
    EXPECT_EQ(form.UploadAddress, address);

    // A click on the link opens the address.
    UrlCatcher browser;
    QDesktopServices::setUrlHandler("https", &browser, "Open");
    const QPointF at(8, form.Label11->height() / 2);
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        QMouseEvent click(type, at, form.Label11->mapToGlobal(at), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(form.Label11, &click);
    }
    QDesktopServices::unsetUrlHandler("https");
    EXPECT_EQ(browser.Opened, QList<QUrl>{QUrl(address)});
}

TEST_F(UploadX11Test, NoAddressLeavesTheClipboardAlone) {
    TForm1& form = Ready("");
    QGuiApplication::clipboard()->setText("before");
    const QString label = form.Label11->text();
    form.BitBtn5->click();
    ASSERT_EQ(Dialogs.Texts().last(), "File sucessfully transmitted.");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
    EXPECT_EQ(form.Label11->text(), label);
}

#include "test_upload_x11.moc"
