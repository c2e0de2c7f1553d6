#include "form_fixture.h"

#include "app/platform/application.h"
#include "ftp_fixture.h"
#include "settings/vreg.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

// The terminate request is the end of a program: this test program holds that one case.
TEST_F(FormTest, SuccessWithAutoCloseTerminatesWithoutStoring) {
    ftptest::PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    TForm1& form = MakeForm();
    form.Edit1->setText("127.0.0.1");
    form.Edit5->setText(QString::number(server.Port()));
    form.Edit2->setText("user");
    form.Edit3->setText("secret");
    form.ImageFile = Picture("auto.jpg", 300, 200, "JPG");
    form.ProcessImageFile();
    form.CheckBox1->setChecked(true);
    form.CheckBox3->setChecked(true);

    // The handler runs inside the main loop, as it does in the program.
    QTimer::singleShot(0, [&] { form.BitBtn5->click(); });
    QTimer::singleShot(60000, [] { QCoreApplication::exit(2); });
    const int code = QCoreApplication::exec();

    EXPECT_EQ(code, 0);
    EXPECT_TRUE(application::Terminated());
    ASSERT_FALSE(Dialogs.Boxes.empty());
    EXPECT_EQ(Dialogs.Boxes.back().Text, "File sucessfully transmitted.");
    EXPECT_TRUE(QFile::exists(server.RootFile("auto.jpg")));
    // No close query ran: the ticked box was not stored.
    TVReg reg;
    reg.SetProgrammname("ImgLift");
    reg.SetFirmenname("Velmoran");
    EXPECT_EQ(reg.Pop("ScanAll"), "0");
    EXPECT_EQ(reg.Pop("AutoClose"), "0");
}
