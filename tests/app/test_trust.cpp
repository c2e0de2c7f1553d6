// Uploads to an FTP server whose certificate cannot be verified: the window asks, keeps a Yes for
// that server, and a No ends the upload before the user name is sent. The real trust question's
// default is No.

#include "form_fixture.h"
#include "ftp_fixture.h"
#include "support/test_certs.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

using ftptest::PyFtpServer;
using testsupport::TestCerts;

class TrustTest : public FormTest {
protected:
    void Start(const QString& Cert) {
        const TestCerts& certs = TestCerts::Get();
        Server = std::make_unique<PyFtpServer>(QStringList{
            "--tls-cert", certs.Pem(Cert), "--tls-key", certs.Key(Cert), "--log-commands"});
        ASSERT_TRUE(Server->Ok()) << Server->Output().toStdString();
    }
    TForm1& Ready() {
        TForm1& form = MakeForm();
        form.Edit1->setText("localhost");
        form.Edit5->setText(QString::number(Server->Port()));
        form.Edit2->setText("user");
        form.Edit3->setText("secret");
        form.ImageFile = Picture("holiday.jpg", 64, 48, "JPG");
        form.ProcessImageFile();
        return form;
    }
    // Uploads, answering the confirmation with Yes and every certificate question with Trust.
    QString Upload(TForm1& Form, TDialogs::Result Trust) {
        Dialogs.Boxes.clear();
        Dialogs.Answers = {TDialogs::Result::Yes, Trust, Trust, Trust};
        Form.BitBtn5->click();
        Questions = 0;
        for (const FakeDialogs::Box& box : Dialogs.Boxes)
            Questions += box.Text.contains("SHA-256") ? 1 : 0;
        return Dialogs.Boxes.empty() ? QString() : Dialogs.Boxes.back().Text;
    }
    QString Port() const { return QString::number(Server->Port()); }
    // The commands the server received, in order.
    QStringList Commands() {
        testsupport::PumpFor(200); // the server prints a moment later
        QStringList commands;
        for (const QString& line : Server->Output().split('\n'))
            if (line.startsWith("CMD ")) commands << line.mid(4).trimmed();
        return commands;
    }

    std::unique_ptr<PyFtpServer> Server;
    int Questions = 0;
};

TEST_F(TrustTest, YesIsKeptForTheServerAndNoSendsNoUser) {
    Start("self");
    const QString fingerprint = TestCerts::Get().Fingerprint("self");
    TForm1& form = Ready();
    EXPECT_EQ(Upload(form, TDialogs::Result::No).toStdString(), "File NOT transmitted.");
    // One question, the outcome right after it, and nothing sent after the handshake.
    ASSERT_EQ(Dialogs.Boxes.size(), 3u) << Dialogs.Texts().join('|').toStdString();
    EXPECT_EQ(Questions, 1);
    const QStringList commands = Commands();
    EXPECT_EQ(commands.count("AUTH"), commands.size()) << commands.join(' ').toStdString();
    const FakeDialogs::Box& question = Dialogs.Boxes[1];
    EXPECT_EQ(question.Title, "Velmoran");
    EXPECT_EQ(question.Choice, TDialogs::Buttons::YesNo);
    EXPECT_TRUE(question.Text.contains("localhost:" + Port())) << question.Text.toStdString();
    EXPECT_TRUE(question.Text.contains(fingerprint)) << question.Text.toStdString();
    EXPECT_EQ(form.TrustedCertificate("localhost", Port()), "");

    // One question for the whole upload, though it connects more than once.
    EXPECT_EQ(Upload(form, TDialogs::Result::Yes).toStdString(), "File sucessfully transmitted.");
    EXPECT_EQ(Questions, 1);
    EXPECT_EQ(form.TrustedCertificate("localhost", Port()), fingerprint);

    // The next start asks nothing.
    Form.reset();
    TForm1& again = Ready();
    EXPECT_EQ(Upload(again, TDialogs::Result::No).toStdString(), "File sucessfully transmitted.");
    EXPECT_EQ(Questions, 0);
}

TEST_F(TrustTest, ChangedCertificateIsAskedForAgain) {
    Start("self");
    TForm1& form = Ready();
    Dialogs.Answers = {TDialogs::Result::Yes};
    ASSERT_TRUE(form.AskTrustCertificate("localhost", Port(), "", "", "", "", "00:11:22"));
    EXPECT_EQ(Upload(form, TDialogs::Result::No).toStdString(), "File NOT transmitted.");
    ASSERT_GE(Questions, 1);
    EXPECT_TRUE(Dialogs.Boxes[1].Text.contains("not the certificate trusted before"));
    EXPECT_EQ(form.TrustedCertificate("localhost", Port()), "00:11:22");
    EXPECT_FALSE(Server->Output().contains("CMD USER"));
}

// Enter presses the default button of the box that is open, as a person would.
TDialogs::Result AnswerWithKey(const std::function<TDialogs::Result()>& Ask, int Key) {
    QTimer press;
    QObject::connect(&press, &QTimer::timeout, [&] {
        QWidget* const box = QApplication::activeModalWidget();
        if (!box) return;
        press.stop();
        QWidget* const target = QApplication::focusWidget() ? QApplication::focusWidget() : box;
        QKeyEvent down(QEvent::KeyPress, Key, Qt::NoModifier);
        QKeyEvent up(QEvent::KeyRelease, Key, Qt::NoModifier);
        QApplication::sendEvent(target, &down);
        QApplication::sendEvent(target, &up);
    });
    press.start(20);
    return Ask();
}

TEST(TrustQuestion, EnterAndEscapeDoNotTrust) {
    TQtDialogs dialogs;
    const auto trust = [&] { return dialogs.AskTrust(nullptr, "Velmoran", "Trust it?", ""); };
    EXPECT_EQ(AnswerWithKey(trust, Qt::Key_Return), TDialogs::Result::No);
    EXPECT_EQ(AnswerWithKey(trust, Qt::Key_Escape), TDialogs::Result::No);
    // The same key on the upload's own question says Yes: the key reached the box.
    EXPECT_EQ(AnswerWithKey(
                  [&] {
                      return dialogs.MessageBox(nullptr, "Velmoran", "Upload 1 KB to 'a.jpg' ?",
                                                TDialogs::Icon::Question, TDialogs::Buttons::YesNo);
                  },
                  Qt::Key_Return),
              TDialogs::Result::Yes);
}
