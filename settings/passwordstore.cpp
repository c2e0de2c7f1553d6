#include "settings/passwordstore.h"

#include "settings/vkeey.h"
#include "settings/vreg.h"

#include <QLoggingCategory>
#include <utility>

namespace {

Q_LOGGING_CATEGORY(lcSettings, "imglift.settings", QtInfoMsg)

const char* const PasswordValue = "Password";

} // namespace

TPasswordStore::TPasswordStore(const TVReg& Reg, TVKeey& Keey,
                               std::function<keyring::TChoice()> Open)
    : FReg(Reg), FKeey(Keey), FOpen(std::move(Open)) {
}

TPasswordStore::~TPasswordStore() = default;

QString TPasswordStore::Key(bool Sftp, const QString& User, const QString& Host,
                            const QString& Port) {
    return QStringLiteral("%1:%2@%3:%4").arg(Sftp ? "sftp" : "ftp", User, Host, Port);
}

bool TPasswordStore::UsesKeyring() {
    if (!std::exchange(FOpened, true)) {
        keyring::TChoice choice = FOpen();
        FKeyring = std::move(choice.Keyring);
        if (!FKeyring) GiveUp(choice.Why, choice.TurnedOff);
    }
    return FKeyring != nullptr;
}

std::string TPasswordStore::Load(const QString& Key) {
    const std::string scrambled = FReg.Pop(PasswordValue);
    if (!scrambled.empty()) {
        // Not yet in the keyring, or newer than what it holds.
        FKnownKey.reset();
        return FKeey.Decode(scrambled);
    }
    if (!UsesKeyring()) return {};
    const TKeyring::TResult found = FKeyring->Read(Key);
    switch (found.Status) {
    case TKeyring::TStatus::Ok:
        FKnownKey = Key;
        FKnownPassword = found.Secret.toStdString();
        return FKnownPassword;
    case TKeyring::TStatus::NotFound:
        FKnownKey = Key;
        FKnownPassword.clear();
        return {};
    case TKeyring::TStatus::Unavailable:
        GiveUp(found.Why);
        break;
    }
    return {};
}

void TPasswordStore::Store(const QString& Key, const std::string& Password) {
    if (UsesKeyring()) {
        TKeyring::TResult done;
        if (FKnownKey == Key && FKnownPassword == Password)
            done.Status = TKeyring::TStatus::Ok;
        else if (Password.empty())
            done = FKeyring->Remove(Key); // no password is no entry
        else
            done = FKeyring->Write(Key, QString::fromStdString(Password));
        if (done.Status != TKeyring::TStatus::Unavailable) {
            FKnownKey = Key;
            FKnownPassword = Password;
            // Only now that the keyring holds it may the file forget it.
            FReg.Push(PasswordValue, "");
            return;
        }
        GiveUp(done.Why);
    }
    FReg.Push(PasswordValue, FKeey.Encode(Password));
}

void TPasswordStore::Remove(const QString& Key) {
    if (!UsesKeyring()) return;
    const TKeyring::TResult done = FKeyring->Remove(Key);
    if (done.Status == TKeyring::TStatus::Unavailable) {
        GiveUp(done.Why);
        return;
    }
    FKnownKey = Key;
    FKnownPassword.clear();
}

void TPasswordStore::GiveUp(const QString& Why, bool TurnedOff) {
    FKeyring.reset();
    FKnownKey.reset();
    if (TurnedOff)
        qCInfo(lcSettings).noquote() << "Password kept scrambled in the settings file:" << Why;
    else
        qCWarning(lcSettings).noquote() << "Password kept scrambled in the settings file:" << Why;
}
