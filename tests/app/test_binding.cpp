#include "form_fixture.h"

#include "controls/enhancedform.h"
#include "settings/vkeey.h"
#include "settings/vreg.h"
#include "support/test_support.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTabWidget>
#include <QToolButton>
#include <sys/stat.h>

using testsupport::PumpUntil;

namespace {

// Reads the program's settings the way a second program would.
class Store {
public:
    Store() {
        Reg.SetProgrammname("ImgLift");
        Reg.SetFirmenname("Velmoran");
    }
    std::string Pop(const std::string& Name) const { return Reg.Pop(Name); }
    void Push(const std::string& Name, const std::string& Value) const { Reg.Push(Name, Value); }

private:
    TVReg Reg;
};

QByteArray ReadAll(const QString& Path) {
    QFile file(Path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class BindingTest : public FormTest {
protected:
    QString RegistryPath() const { return Dir.filePath("HKCU.reg"); }
};

TEST_F(BindingTest, FirstRunWritesAndShowsTheDefaults) {
    TForm1& form = MakeForm();
    EXPECT_EQ(form.Edit1->text(), TForm1::DefaultHost);
    EXPECT_EQ(form.Edit2->text(), "testuser");
    EXPECT_EQ(form.Edit3->text(), "");
    EXPECT_EQ(form.Edit4->text(), "/");
    EXPECT_EQ(form.Edit5->text(), "21");
    EXPECT_EQ(form.Edit7->text(), "620");
    EXPECT_EQ(form.Edit8->text(), "480");
    EXPECT_EQ(form.Edit9->text(), "80");
    EXPECT_EQ(form.Edit10->text(), "image.jpg");
    EXPECT_EQ(form.Edit6->text(), "image.jpg");
    EXPECT_TRUE(form.CheckBox4->isChecked());
    EXPECT_FALSE(form.CheckBox1->isChecked());
    EXPECT_FALSE(form.CheckBox2->isChecked());
    EXPECT_FALSE(form.CheckBox3->isChecked());

    const Store store;
    EXPECT_EQ(store.Pop("Reset"), "0");
    EXPECT_EQ(store.Pop("ConstrainPorportions"), "1");
    EXPECT_EQ(store.Pop("OrginalSize"), "0");
    EXPECT_EQ(store.Pop("Password"), "");
    EXPECT_EQ(store.Pop("ImageName"), "image.jpg");
    EXPECT_EQ(store.Pop("Passive"), "1");
    EXPECT_EQ(store.Pop("Security"), "1");
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(RegistryPath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(BindingTest, ClosingStoresEveryValueAtItsDefault) {
    TForm1& form = MakeForm();
    form.SpeedButton1->click();
    const QByteArray text = ReadAll(RegistryPath());
    for (const char* name : {"AutoClose", "OrginalSize", "ScanAll", "ConstrainPorportions", "Host",
                             "User", "Password", "Directory", "Port", "MaxWidth", "MaxHeight",
                             "Quality", "ImageName", "Passive", "Security", "WebAddress", "Reset"})
        EXPECT_TRUE(text.contains(QByteArray("\"") + name + "\"=")) << name;
    EXPECT_TRUE(text.contains("\"Host\"=\"ftp.example.com\""));
    EXPECT_TRUE(text.contains("\"Password\"=\"\""));
}

TEST_F(BindingTest, StoredResetMarkerOtherThanZeroRestoresDefaults) {
    const Store store;
    store.Push("Host", "ftp.mine.test");
    store.Push("Quality", "55");
    store.Push("Reset", "0");
    {
        TForm1& form = MakeForm();
        EXPECT_EQ(form.Edit1->text(), "ftp.mine.test");
        EXPECT_EQ(form.Edit9->text(), "55");
    }
    store.Push("Reset", "1");
    TForm1& form = MakeForm();
    EXPECT_EQ(form.Edit1->text(), TForm1::DefaultHost);
    EXPECT_EQ(form.Edit9->text(), "80");
    EXPECT_EQ(store.Pop("Reset"), "0");
}

TEST_F(BindingTest, ValuesMissingFromAnOlderFileReadAsTheirDefaults) {
    const Store store;
    store.Push("Reset", "0");
    store.Push("Host", "ftp.old.test");
    store.Push("Port", "2121");
    {
        TForm1& form = MakeForm();
        EXPECT_EQ(form.Edit1->text(), "ftp.old.test");
        EXPECT_TRUE(form.CheckBox5->isChecked());
        EXPECT_EQ(form.ComboBox1->currentIndex(), TForm1::secTlsIfOffered);
        EXPECT_EQ(form.Edit11->text(), "");
        // Loading does not move the port.
        EXPECT_EQ(form.Edit5->text(), "2121");
    }
    store.Push("Passive", "0");
    store.Push("Security", "7");
    TForm1& form = MakeForm();
    EXPECT_FALSE(form.CheckBox5->isChecked());
    EXPECT_EQ(form.ComboBox1->currentIndex(), TForm1::secTlsIfOffered);
}

TEST_F(BindingTest, ChoosingSftpMovesTheStandardPortBothWays) {
    TForm1& form = MakeForm();
    const Store store;
    form.ComboBox1->setCurrentIndex(TForm1::secSftp);
    EXPECT_EQ(form.Edit5->text(), "22");
    EXPECT_EQ(store.Pop("Port"), "22");
    EXPECT_EQ(store.Pop("Security"), "4");
    form.ComboBox1->setCurrentIndex(TForm1::secImplicitTls);
    EXPECT_EQ(form.Edit5->text(), "21");
    EXPECT_EQ(store.Pop("Port"), "21");
    EXPECT_EQ(store.Pop("Security"), "3");
    // Between two FTP choices, and from a port the user chose, nothing moves.
    form.ComboBox1->setCurrentIndex(TForm1::secPlain);
    EXPECT_EQ(form.Edit5->text(), "21");
    Type(form, form.Edit5, "2222");
    form.ComboBox1->setCurrentIndex(TForm1::secSftp);
    EXPECT_EQ(form.Edit5->text(), "2222");
    form.ComboBox1->setCurrentIndex(TForm1::secTlsRequired);
    EXPECT_EQ(form.Edit5->text(), "2222");
    // Reset shows the default port and choice without a switch in between.
    form.ComboBox1->setCurrentIndex(TForm1::secSftp);
    Type(form, form.Edit5, "22");
    form.SpeedButton3->click();
    EXPECT_EQ(form.Edit5->text(), "21");
    EXPECT_EQ(form.ComboBox1->currentIndex(), TForm1::secTlsIfOffered);
    EXPECT_EQ(store.Pop("Port"), "21");
}

TEST_F(BindingTest, TrustedCertificateIsKeptPerServerAndAskedForAgainWhenChanged) {
    TForm1& form = MakeForm();
    const auto ask = [&](const char* Port, const char* Fingerprint, TDialogs::Result Answer) {
        Dialogs.Answers.push_back(Answer);
        return form.AskTrustCertificate("ftp.mine.test", Port, "self-signed certificate",
                                        "CN=ftp.mine.test", "CN=Mine CA",
                                        "2026-01-01 to 2027-01-01", Fingerprint);
    };
    EXPECT_FALSE(ask("21", "AA:01", TDialogs::Result::No));
    EXPECT_EQ(form.TrustedCertificate("ftp.mine.test", "21"), "");
    ASSERT_EQ(Dialogs.Boxes.size(), 1u);
    const FakeDialogs::Box& box = Dialogs.Boxes[0];
    EXPECT_EQ(box.Title, "Velmoran");
    EXPECT_EQ(box.Kind, TDialogs::Icon::Question);
    EXPECT_EQ(box.Choice, TDialogs::Buttons::YesNo);
    for (const char* part : {"ftp.mine.test:21", "self-signed certificate", "CN=ftp.mine.test",
                             "CN=Mine CA", "2026-01-01 to 2027-01-01", "AA:01"})
        EXPECT_TRUE(box.Text.contains(part)) << part << " in " << box.Text.toStdString();
    EXPECT_FALSE(box.Text.contains("trusted before"));

    EXPECT_TRUE(ask("21", "AA:01", TDialogs::Result::Yes));
    EXPECT_EQ(form.TrustedCertificate("ftp.mine.test", "21"), "AA:01");
    EXPECT_EQ(form.TrustedCertificate("ftp.mine.test", "990"), "");
    // "&Reset" restores settings, not trust; a restart keeps it too.
    form.SpeedButton3->click();
    Form.reset();
    TForm1& again = MakeForm();
    EXPECT_EQ(again.TrustedCertificate("ftp.mine.test", "21"), "AA:01");
    EXPECT_TRUE(ReadAll(RegistryPath())
                    .contains("[HKEY_CURRENT_USER\\Software\\Velmoran\\ImgLift\\Certificates]"));

    // A changed certificate says so and replaces the old one only on Yes.
    Dialogs.Answers.push_back(TDialogs::Result::No);
    EXPECT_FALSE(again.AskTrustCertificate("ftp.mine.test", "21", "", "", "", "", "BB:02"));
    EXPECT_TRUE(Dialogs.Boxes.back().Text.contains("not the certificate trusted before"));
    EXPECT_EQ(again.TrustedCertificate("ftp.mine.test", "21"), "AA:01");
    Dialogs.Answers.push_back(TDialogs::Result::Yes);
    EXPECT_TRUE(again.AskTrustCertificate("ftp.mine.test", "21", "", "", "", "", "BB:02"));
    EXPECT_EQ(again.TrustedCertificate("ftp.mine.test", "21"), "BB:02");
}

TEST_F(BindingTest, TypedChangeIsStoredAtOnceAndPasswordScrambled) {
    TForm1& form = MakeForm();
    Type(form, form.Edit3, "s3cret!");
    const Store store;
    const std::string stored = store.Pop("Password");
    EXPECT_FALSE(stored.empty());
    EXPECT_EQ(stored.find("s3cret"), std::string::npos);
    TVKeey keey;
    keey.SetProgrammID(11);
    keey.SetSchluessel("mirobask");
    EXPECT_EQ(keey.Decode(stored), "s3cret!");
    EXPECT_EQ(ReadAll(RegistryPath()).indexOf("s3cret"), -1);

    Type(form, form.Edit1, "ftp.typed.test");
    EXPECT_EQ(store.Pop("Host"), "ftp.typed.test");
    // Unlike the other check boxes, "Passive mode" is stored at once.
    form.CheckBox5->setChecked(false);
    EXPECT_EQ(store.Pop("Passive"), "0");
    Type(form, form.Edit11, "https://pictures.mine.test/up/");
    EXPECT_EQ(store.Pop("WebAddress"), "https://pictures.mine.test/up/");

    // Next start shows the password in plain text again.
    Form.reset();
    TForm1& again = MakeForm();
    EXPECT_EQ(again.Edit3->text(), "s3cret!");
    EXPECT_EQ(again.Edit1->text(), "ftp.typed.test");
    EXPECT_EQ(again.Edit11->text(), "https://pictures.mine.test/up/");
    EXPECT_FALSE(again.CheckBox5->isChecked());
}

TEST_F(BindingTest, ProgramSetTextsAreNotStored) {
    TForm1& form = MakeForm();
    form.ImageFile = Picture("holiday.bmp", 8, 8, "BMP");
    form.ProcessImageFile();
    EXPECT_EQ(form.Edit10->text(), "holiday.jpg");
    EXPECT_EQ(form.Edit6->text(), "holiday.jpg");
    form.CheckBox3->setChecked(true);
    // An edit changed by the program without focus stores nothing either.
    form.Edit1->setText("not.typed.test");
    const Store store;
    EXPECT_EQ(store.Pop("ImageName"), "image.jpg");
    EXPECT_EQ(store.Pop("ScanAll"), "0");
    EXPECT_EQ(store.Pop("Host"), TForm1::DefaultHost);
    // The next typed change stores everything, the check box included.
    Type(form, form.Edit2, "someone");
    EXPECT_EQ(store.Pop("ImageName"), "holiday.jpg");
    EXPECT_EQ(store.Pop("ScanAll"), "1");
    EXPECT_EQ(store.Pop("User"), "someone");
}

TEST_F(BindingTest, CloseButtonStoresLikeExit) {
    TForm1& form = MakeForm();
    form.CheckBox3->setChecked(true);
    form.CheckBox1->setChecked(true);
    // The close button of the title bar the window paints itself.
    QWidget* const strip = form.EnhancedForm1->TitleStrip();
    ASSERT_NE(strip, nullptr);
    for (const auto& place : form.EnhancedForm1->TitleBar().ButtonPlaces()) {
        if (place.Button != TEFTitleBar::cbClose) continue;
        const QPointF at = QPointF(place.Rect.center() - strip->pos());
        QMouseEvent press(QEvent::MouseButtonPress, at, strip->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(strip, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, strip->mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(strip, &release);
    }
    EXPECT_FALSE(form.isVisible());
    const Store store;
    EXPECT_EQ(store.Pop("ScanAll"), "1");
    EXPECT_EQ(store.Pop("AutoClose"), "1");
}

TEST_F(BindingTest, ResetRestoresAndShowsDefaultsOnBothPages) {
    TForm1& form = MakeForm();
    Type(form, form.Edit1, "ftp.other.test");
    Type(form, form.Edit9, "33");
    Type(form, form.Edit11, "https://other.test/");
    form.CheckBox4->setChecked(false);
    form.CheckBox5->setChecked(false);
    form.ComboBox1->setCurrentIndex(TForm1::secTlsRequired);
    form.SpeedButton3->click();
    EXPECT_EQ(form.Edit1->text(), TForm1::DefaultHost);
    EXPECT_EQ(form.Edit9->text(), "80");
    EXPECT_EQ(form.Edit11->text(), "");
    EXPECT_TRUE(form.CheckBox4->isChecked());
    EXPECT_TRUE(form.CheckBox5->isChecked());
    EXPECT_EQ(form.ComboBox1->currentIndex(), TForm1::secTlsIfOffered);
    const Store store;
    EXPECT_EQ(store.Pop("Host"), TForm1::DefaultHost);
    EXPECT_EQ(store.Pop("Quality"), "80");
    EXPECT_EQ(store.Pop("WebAddress"), "");
    EXPECT_EQ(store.Pop("Passive"), "1");
    EXPECT_EQ(store.Pop("Security"), "1");
}

TEST_F(BindingTest, ResetWorksWhicheverSettingsEditHasTheFocus) {
    TForm1& form = MakeForm();
    const Store store;
    struct Setting {
        QLineEdit* Edit;
        const char* Name;
        std::string Default;
    };
    const std::vector<Setting> settings = {{form.Edit1, "Host", TForm1::DefaultHost},
                                           {form.Edit2, "User", "testuser"},
                                           {form.Edit3, "Password", ""},
                                           {form.Edit4, "Directory", "/"},
                                           {form.Edit5, "Port", "21"},
                                           {form.Edit7, "MaxWidth", "620"},
                                           {form.Edit8, "MaxHeight", "480"},
                                           {form.Edit9, "Quality", "80"},
                                           {form.Edit10, "ImageName", "image.jpg"},
                                           {form.Edit11, "WebAddress", ""}};
    for (const Setting& focused : settings) {
        for (const Setting& setting : settings)
            Type(form, setting.Edit, "9");
        form.CheckBox4->setChecked(false);
        // The caret stays where the user typed last.
        Type(form, focused.Edit, "99");
        form.SpeedButton3->click();
        ASSERT_TRUE(focused.Edit->hasFocus());
        for (const Setting& setting : settings) {
            EXPECT_EQ(setting.Edit->text().toStdString(), setting.Default)
                << setting.Name << ", focus in " << focused.Name;
            EXPECT_EQ(store.Pop(setting.Name), setting.Default)
                << setting.Name << ", focus in " << focused.Name;
        }
        EXPECT_TRUE(form.CheckBox4->isChecked());
        EXPECT_EQ(store.Pop("ConstrainPorportions"), "1");
    }
    // A change typed after the reset is stored at once again.
    Type(form, form.Edit2, "after.reset");
    EXPECT_EQ(store.Pop("User"), "after.reset");
}

TEST_F(BindingTest, LongValuesSurviveAStartAndACloseByteForByte) {
    std::string longText;
    for (int i = 0; longText.size() < 40000; ++i)
        longText += std::to_string(i) + ",";
    TVKeey keey;
    keey.SetProgrammID(11);
    keey.SetSchluessel("mirobask");
    const Store store;
    store.Push("Reset", "0");
    store.Push("Host", "h" + longText);
    store.Push("Password", keey.Encode("p" + longText));
    store.Push("ImageName", "i" + longText);
    TForm1& form = MakeForm();
    EXPECT_EQ(form.Edit6->text().size(), qsizetype(longText.size() + 1));
    form.close();
    // Compared whole, without printing 40 KB on a failure.
    EXPECT_TRUE(store.Pop("Host") == "h" + longText) << store.Pop("Host").size();
    EXPECT_TRUE(keey.Decode(store.Pop("Password")) == "p" + longText);
    EXPECT_TRUE(store.Pop("ImageName") == "i" + longText) << store.Pop("ImageName").size();
}

TEST_F(BindingTest, BrokenStoreIsReportedAndLeftAlone) {
    const QByteArray broken = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Velmoran\\ImgLift]\r\n"
                              "this line is no value\r\n";
    File("HKCU.reg", broken);
    TForm1& form = MakeForm();
    ASSERT_FALSE(Dialogs.Boxes.empty());
    EXPECT_TRUE(Dialogs.Boxes[0].Text.contains("HKCU.reg")) << Dialogs.Boxes[0].Text.toStdString();
    EXPECT_EQ(Dialogs.Boxes[0].Kind, TDialogs::Icon::Stop);
    // Closing reports again but still closes, and the file stays as it was.
    form.close();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(ReadAll(RegistryPath()), broken);
}
