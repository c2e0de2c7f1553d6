// The settings that survive a restart: which control shows each stored value, its default, and
// when values are read and written.

#include "app/mainwindow.h"

#include "app/platform/dialogs.h"
#include "ftp/ftpclient.h"
#include "settings/passwordstore.h"
#include "settings/vreg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QScopedValueRollback>
#include <QToolButton>
#include <algorithm>
#include <map>
#include <utility>
#include <variant>

struct TForm1::TStoredValue {
    const char* Name;
    // A check box stores "1" or "0", a choice the index of its entry, an edit its text.
    std::variant<QCheckBox*, QComboBox*, QLineEdit*> Control;
    const char* Default;
    // Position among the defaults that ResetData writes.
    int ResetOrder;
    // The password: kept by the password store; its default is written as it stands.
    bool Scrambled = false;
    // Absent or empty reads as the default: settings files from before the value existed.
    bool EmptyReadsDefault = false;
};

std::vector<TForm1::TStoredValue> TForm1::StoredValues() const {
    // clang-format off
    return {
        // Value name            Control    Default       Reset order
        {"AutoClose",            CheckBox1, "0",          3},
        {"OrginalSize",          CheckBox2, "0",          1},
        {"ScanAll",              CheckBox3, "0",          2},
        {"ConstrainPorportions", CheckBox4, "1",          4},
        {"Host",                 Edit1,     DefaultHost,  5},
        {"User",                 Edit2,     "testuser",   6},
        {"Password",             Edit3,     "",           7, true},
        {"Directory",            Edit4,     "/",          8},
        {"Port",                 Edit5,     "21",         9},
        {"MaxWidth",             Edit7,     "620",        10},
        {"MaxHeight",            Edit8,     "480",        11},
        {"Quality",              Edit9,     "80",         12},
        {"ImageName",            Edit10,    "image.jpg",  13},
        {"Passive",              CheckBox5, "1",          14, false, true},
        {"Security",             ComboBox1, "1",          15, false, true},
        {"WebAddress",           Edit11,    "",           16, false, true},
        {"ScreenshotArea",       CheckBox6, "0",          17, false, true},
    };
    // clang-format on
}

void TForm1::SaveData(QObject* Sender) {
    if (FLoading) return;
    // Only what the user typed or ticked is stored; texts the program sets are not.
    const auto* const edit = qobject_cast<const QLineEdit*>(Sender);
    const bool typed = edit && edit->hasFocus();
    if (!typed && !qobject_cast<const QCheckBox*>(Sender) &&
        !qobject_cast<const QComboBox*>(Sender))
        return;
    const QString key = PasswordKey();
    if (!FPasswordKey.isEmpty() && key != FPasswordKey && FPasswords->UsesKeyring()) {
        // The password shown is the previous server's: it stays with that server, and this
        // one's own is shown (none for a server not seen before).
        FPasswords->Store(FPasswordKey, Edit3->text().toStdString());
        const QScopedValueRollback loading(FLoading, true);
        Edit3->setText(QString::fromStdString(FPasswords->Load(key)));
    }
    FPasswordKey = key;
    for (const TStoredValue& value : StoredValues()) {
        if (const auto* const box = std::get_if<QCheckBox*>(&value.Control)) {
            VReg1->PushCheckBox(value.Name, *box);
        } else if (const auto* const choice = std::get_if<QComboBox*>(&value.Control)) {
            VReg1->Push(value.Name, std::to_string((*choice)->currentIndex()));
        } else {
            const std::string text = std::get<QLineEdit*>(value.Control)->text().toStdString();
            if (value.Scrambled)
                FPasswords->Store(key, text);
            else
                VReg1->Push(value.Name, text);
        }
    }
}

QString TForm1::PasswordKey() const {
    return TPasswordStore::Key(UsesSftp(), Edit2->text(), Edit1->text(), Edit5->text());
}

bool TForm1::ResetData(QObject*) {
    // The keyring's entry for the server the settings name goes with them.
    const std::string host = VReg1->Pop("Host");
    if (!host.empty()) {
        const auto stored = [&](const char* Name) {
            return QString::fromStdString(VReg1->Pop(Name));
        };
        FPasswords->Remove(TPasswordStore::Key(stored("Security").toInt() == secSftp,
                                               stored("User"), stored("Host"), stored("Port")));
    }
    std::vector<TStoredValue> values = StoredValues();
    std::ranges::sort(values, {}, &TStoredValue::ResetOrder);
    for (const TStoredValue& value : values)
        VReg1->Push(value.Name, value.Default);
    VReg1->Push("Reset", "0");
    return true;
}

void TForm1::LoadData(QObject* Sender) {
    // Filling a focused edit must not store: the controls not yet filled still hold their old
    // texts, and the rest of the load would read those back.
    const QScopedValueRollback loading(FLoading, true);
    if (VReg1->Pop("Reset") != "0") ResetData(Sender);
    for (const TStoredValue& value : StoredValues()) {
        const auto stored = [&] {
            std::string text = VReg1->Pop(value.Name);
            return text.empty() && value.EmptyReadsDefault ? std::string(value.Default) : text;
        };
        if (const auto* const box = std::get_if<QCheckBox*>(&value.Control)) {
            (*box)->setChecked(value.EmptyReadsDefault ? stored() == "1"
                                                       : VReg1->PopCheckBox(value.Name, true));
        } else if (const auto* const choice = std::get_if<QComboBox*>(&value.Control)) {
            // Anything but the number of an entry chooses the default.
            bool ok = false;
            const int index = QString::fromStdString(stored()).toInt(&ok);
            const bool valid = ok && index >= 0 && index < (*choice)->count();
            (*choice)->setCurrentIndex(valid ? index : QString(value.Default).toInt());
        } else if (!value.Scrambled) {
            std::get<QLineEdit*>(value.Control)->setText(QString::fromStdString(stored()));
        }
    }
    // The password once the server it belongs to is known.
    FPasswordKey = PasswordKey();
    Edit3->setText(QString::fromStdString(FPasswords->Load(FPasswordKey)));
    Edit6->setText(Edit10->text());
}

namespace {

// The trusted certificates live in a key of their own below the settings, one value per
// "host:port", so that "&Reset" leaves them alone.
class TCertificateStore {
public:
    explicit TCertificateStore(const TVReg& Settings) {
        FReg.SetFirmenname(Settings.Firmenname());
        FReg.SetProgrammname(Settings.Programmname() + "\\Certificates");
    }
    // As the FTP client names the server.
    static std::string Name(const QString& Host, const QString& Port) {
        return (Host + u':' + Port).toStdString();
    }
    QString Get(const QString& Host, const QString& Port) const {
        return QString::fromStdString(FReg.Pop(Name(Host, Port)));
    }
    void Set(const QString& Host, const QString& Port, const QString& Fingerprint) const {
        FReg.Push(Name(Host, Port), Fingerprint.toStdString());
    }

private:
    TVReg FReg;
};

} // namespace

QString TForm1::TrustedCertificate(const QString& Host, const QString& Port) const {
    return TCertificateStore(*VReg1).Get(Host, Port);
}

bool TForm1::AskTrustCertificate(const QString& Host, const QString& Port, const QString& Reason,
                                 const QString& Subject, const QString& Issuer,
                                 const QString& Validity, const QString& Fingerprint) {
    const TCertificateStore store(*VReg1);
    const QString server = Host + u':' + Port;
    const QString before = store.Get(Host, Port);
    QString text =
        QStringLiteral("The certificate of %1 cannot be trusted: %2").arg(server, Reason);
    if (!before.isEmpty() && before.compare(Fingerprint, Qt::CaseInsensitive) != 0)
        text += QStringLiteral("\nIt is not the certificate trusted before for this server.");
    text += QStringLiteral("\n\nSubject: %1\nIssuer: %2\nValid: %3\nSHA-256: %4\n\n"
                           "Trust this certificate for %5 from now on?")
                .arg(Subject, Issuer, Validity, Fingerprint, server);
    // Where nobody can answer (the command line), say how to trust it for good.
    const QString howTo =
        QStringLiteral("To trust it, compare the SHA-256 fingerprint with the one your provider "
                       "gives you, then upload once from the window and answer Yes, or add the "
                       "line \"%1\"=\"%2\" under [HKEY_CURRENT_USER\\Software\\Velmoran\\"
                       "ImgLift\\Certificates] in the settings file.")
            .arg(QString::fromStdString(TCertificateStore::Name(Host, Port)), Fingerprint);
    if (FDialogs.AskTrust(this, QStringLiteral("Velmoran"), text, howTo) != TDialogs::Result::Yes)
        return false;
    store.Set(Host, Port, Fingerprint);
    return true;
}

void TForm1::SetConnectionSecurity() {
    VFTP->SetPassive(CheckBox5->isChecked());
    // The FTP entries of "Security : " are the client's levels, in the same order.
    const int choice = ComboBox1->currentIndex();
    VFTP->SetSecurity(choice <= secImplicitTls ? TFtpSecurity(choice) : ftpSecTlsIfOffered);
    const QString fingerprint = TrustedCertificate(Edit1->text(), Edit5->text());
    std::map<std::string, std::string> trusted;
    if (!fingerprint.isEmpty())
        trusted[TCertificateStore::Name(Edit1->text(), Edit5->text())] = fingerprint.toStdString();
    VFTP->SetTrustedCertificates(std::move(trusted));
    VFTP->OnCertificateQuestion = [this](QObject*, const TCertificateInfo& Info, bool& Trust) {
        const auto text = [](const std::string& Text) { return QString::fromStdString(Text); };
        Trust = false;
        // One question per operation: a No stands for the rest of it, other connections included.
        if (FTrustRefused) return;
        Guard([&] {
            Trust = AskTrustCertificate(text(Info.Host), text(Info.Port), text(Info.Reason),
                                        text(Info.Subject), text(Info.Issuer),
                                        text(Info.NotBefore) + " to " + text(Info.NotAfter),
                                        text(Info.Sha256));
        });
        if (!Trust) FTrustRefused = true;
    };
}

void TForm1::SpeedButton3Click() {
    ResetData(SpeedButton3);
    LoadData(SpeedButton3);
}

void TForm1::ComboBox1Change(int Index) {
    const int previous = std::exchange(FSecurityShown, Index);
    if (FLoading) return;
    // SFTP listens on 22 where FTP listens on 21; a port the user chose stays.
    if (Index == secSftp && Edit5->text() == u"21")
        Edit5->setText(QStringLiteral("22"));
    else if (previous == secSftp && Index != secSftp && Edit5->text() == u"22")
        Edit5->setText(QStringLiteral("21"));
    SaveData(ComboBox1);
}

void TForm1::Edit10Change() {
    Edit6->setText(Edit10->text());
    SaveData(Edit10);
}
