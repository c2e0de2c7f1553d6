// The FTP password in a real Secret Service (gnome-keyring on a bus of the test's own), and the
// settings file as the fallback where there is none.

#include "form_fixture.h"

#include "ftp_fixture.h"
#include "settings/platform/keyring.h"
#include "settings/vkeey.h"
#include "settings/vreg.h"
#include "support/secret_service.h"
#include "support/test_support.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

using testsupport::SecretService;

namespace {

std::string Scrambled(const std::string& Password) {
    TVKeey keey;
    keey.SetProgrammID(11);
    keey.SetSchluessel("mirobask");
    return keey.Encode(Password);
}

// Counts the lines logged in imglift.settings while it lives.
class SettingsLog {
public:
    SettingsLog() { Previous = qInstallMessageHandler(&Handle); }
    ~SettingsLog() { qInstallMessageHandler(Previous); }
    static inline int Lines = 0;
    static inline QString Last;

private:
    static void Handle(QtMsgType, const QMessageLogContext& Context, const QString& Text) {
        if (Context.category && QByteArray(Context.category) == "imglift.settings") {
            ++Lines;
            Last = Text;
        }
    }
    QtMessageHandler Previous;
};

} // namespace

class KeyringTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        const SecretService& service = SecretService::Instance();
        if (!service.Up())
            GTEST_SKIP() << "gnome-keyring-daemon cannot run here: " << service.Why().toStdString();
        qputenv("IMGLIFT_KEYRING", "1");
        Keyring = keyring::MakeQtKeychain(keyring::TimeoutMs);
        Reg.SetProgrammname("ImgLift");
        Reg.SetFirmenname("Velmoran");
    }
    void TearDown() override {
        FormTest::TearDown();
        qputenv("IMGLIFT_KEYRING", "0");
    }

    // What the keyring holds for Key, "<none>" when nothing.
    QString Entry(const QString& Key) const {
        const TKeyring::TResult found = Keyring->Read(Key);
        if (found.Status == TKeyring::TStatus::NotFound) return "<none>";
        return found.Status == TKeyring::TStatus::Ok ? found.Secret : "<unavailable>" + found.Why;
    }
    // The settings file, as another program reads and writes it.
    std::string Stored(const std::string& Name) const { return Reg.Pop(Name); }
    void Store(const std::vector<std::pair<std::string, std::string>>& Values) const {
        for (const auto& [name, value] : Values)
            Reg.Push(name, value);
    }

    std::unique_ptr<TKeyring> Keyring;
    TVReg Reg;
};

TEST_F(KeyringTest, TypedPasswordLivesInTheKeyringAcrossARestartAndNotInTheFile) {
    TForm1& form = MakeForm();
    Type(form, form.Edit1, "ftp.restart.test");
    Type(form, form.Edit2, "ann");
    Type(form, form.Edit5, "2121");
    Type(form, form.Edit3, "pass wörd");
    EXPECT_EQ(Entry("ftp:ann@ftp.restart.test:2121"), "pass wörd");
    // Not even scrambled: the file's value is the empty text the documented reader expects.
    EXPECT_EQ(Stored("Password"), "");
    EXPECT_EQ(Stored("Host"), "ftp.restart.test");
    form.close();
    Form.reset();

    ASSERT_TRUE(SecretService::Instance().Restart())
        << SecretService::Instance().Why().toStdString();
    EXPECT_EQ(MakeForm().Edit3->text(), "pass wörd");
    EXPECT_EQ(Stored("Password"), "");
}

TEST_F(KeyringTest, ScrambledPasswordOfAnOlderFileMovesIntoTheKeyring) {
    Store({{"Reset", "0"},
           {"Host", "ftp.older.test"},
           {"User", "old"},
           {"Port", "21"},
           {"Password", Scrambled("from the file")}});
    TForm1& form = MakeForm();
    EXPECT_EQ(form.Edit3->text(), "from the file");
    // Closing stores the settings, and with them the password in its new place.
    form.close();
    EXPECT_EQ(Entry("ftp:old@ftp.older.test:21"), "from the file");
    EXPECT_EQ(Stored("Password"), "");
    EXPECT_EQ(MakeForm().Edit3->text(), "from the file");
}

TEST_F(KeyringTest, LockedKeyringLeavesThePasswordScrambledInTheFileUntilItOpensAgain) {
    Store({{"Reset", "0"}, {"Host", "ftp.locked.test"}, {"User", "lou"}, {"Port", "21"}});
    const QString key = "ftp:lou@ftp.locked.test:21";
    ASSERT_EQ(Keyring->Write(key, "before").Status, TKeyring::TStatus::Ok);
    ASSERT_TRUE(SecretService::Instance().Lock());
    {
        const SettingsLog log;
        SettingsLog::Lines = 0;
        // Nobody can unlock it here: the password is out of reach, and that is said once.
        TForm1& form = MakeForm();
        EXPECT_EQ(form.Edit3->text(), "");
        Type(form, form.Edit3, "typed while locked");
        EXPECT_EQ(Stored("Password"), Scrambled("typed while locked"));
        EXPECT_EQ(SettingsLog::Lines, 1) << SettingsLog::Last.toStdString();
        EXPECT_TRUE(SettingsLog::Last.endsWith("the keyring is locked"))
            << SettingsLog::Last.toStdString();
        Form.reset();
    }
    ASSERT_TRUE(SecretService::Instance().Restart());
    // The file's password is the newer one, and it replaces the keyring's at the next store.
    TForm1& form = MakeForm();
    EXPECT_EQ(form.Edit3->text(), "typed while locked");
    form.close();
    EXPECT_EQ(Entry(key), "typed while locked");
    EXPECT_EQ(Stored("Password"), "");
}

TEST_F(KeyringTest, EachServerKeepsItsOwnPasswordAndResetRemovesTheCurrentOne) {
    TForm1& form = MakeForm();
    Type(form, form.Edit2, "bob");
    Type(form, form.Edit1, "ftp.alpha.test");
    Type(form, form.Edit3, "alpha pw");
    Type(form, form.Edit1, "ftp.beta.test");
    // A new server is not handed the password of another.
    EXPECT_EQ(form.Edit3->text(), "");
    Type(form, form.Edit3, "beta pw");
    form.ComboBox1->setCurrentIndex(TForm1::secSftp);
    EXPECT_EQ(form.Edit3->text(), "");
    Type(form, form.Edit3, "sftp pw");
    form.ComboBox1->setCurrentIndex(TForm1::secPlain);
    Type(form, form.Edit1, "ftp.alpha.test");
    EXPECT_EQ(form.Edit3->text(), "alpha pw");
    EXPECT_EQ(Entry("ftp:bob@ftp.alpha.test:21"), "alpha pw");
    EXPECT_EQ(Entry("ftp:bob@ftp.beta.test:21"), "beta pw");
    EXPECT_EQ(Entry("sftp:bob@ftp.beta.test:22"), "sftp pw");

    form.SpeedButton3->click();
    EXPECT_EQ(Entry("ftp:bob@ftp.alpha.test:21"), "<none>");
    EXPECT_EQ(Entry("ftp:bob@ftp.beta.test:21"), "beta pw");
    EXPECT_EQ(form.Edit3->text(), "");
    EXPECT_EQ(Stored("Password"), "");
}

TEST_F(KeyringTest, UploadsWithThePasswordOnlyInTheKeyring) {
    ftptest::PyFtpServer server;
    ASSERT_TRUE(server.Ok());
    const QString key = "ftp:user@127.0.0.1:" + QString::number(server.Port());
    ASSERT_EQ(Keyring->Write(key, "secret").Status, TKeyring::TStatus::Ok);
    Store({{"Reset", "0"},
           {"Host", "127.0.0.1"},
           {"Port", server.PortText()},
           {"User", "user"},
           {"Directory", "/"},
           {"Security", "0"},
           {"Password", ""}});
    TForm1& form = MakeForm();
    form.ImageFile = Picture("keyring.jpg", 800, 600, "JPG");
    form.ProcessImageFile();
    form.BitBtn5->click();
    ASSERT_FALSE(Dialogs.Boxes.empty());
    EXPECT_EQ(Dialogs.Boxes.back().Text, "File sucessfully transmitted.")
        << Dialogs.Texts().join('|').toStdString();
    EXPECT_TRUE(QFile::exists(server.RootFile("keyring.jpg")));
}

TEST_F(KeyringTest, WithoutASessionBusThePasswordIsScrambledInTheFileWithOneLineSayingWhy) {
    const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    {
        const SettingsLog log;
        SettingsLog::Lines = 0;
        TForm1& form = MakeForm();
        Type(form, form.Edit1, "ftp.nobus.test");
        Type(form, form.Edit3, "scrambled");
        Type(form, form.Edit3, "scrambled again");
        EXPECT_EQ(Stored("Password"), Scrambled("scrambled again"));
        EXPECT_EQ(SettingsLog::Lines, 1) << SettingsLog::Last.toStdString();
        EXPECT_TRUE(SettingsLog::Last.contains("no session bus"))
            << SettingsLog::Last.toStdString();
        // The password stays with the page as it always did.
        Type(form, form.Edit1, "ftp.other.test");
        EXPECT_EQ(form.Edit3->text(), "scrambled again");
        Form.reset();
    }
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
    if (!runtime.isEmpty()) qputenv("XDG_RUNTIME_DIR", runtime);
    EXPECT_EQ(Entry("ftp:testuser@ftp.nobus.test:21"), "<none>");
}
