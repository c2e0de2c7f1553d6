#pragma once

// Where the FTP password is kept: in the desktop keyring when the session has one, one entry
// per server, and the settings file's "Password" value then holds the empty scrambled text.
// Without a keyring (or once it has failed in this run) the password is stored scrambled in
// the settings file, as it always was. A scrambled password found in the file (an older file,
// or one written while the keyring was unavailable) is newer than the keyring's entry and
// moves into the keyring at the next store.

#include "settings/platform/keyring.h"

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class TVKeey;
class TVReg;

class TPasswordStore {
public:
    // Reg and Keey must outlive the store. Open is called once, at the first need.
    TPasswordStore(const TVReg& Reg, TVKeey& Keey,
                   std::function<keyring::TChoice()> Open = keyring::Open);
    ~TPasswordStore();
    TPasswordStore(const TPasswordStore&) = delete;
    TPasswordStore& operator=(const TPasswordStore&) = delete;

    // The keyring's name for the password of a server: a new host, user, port or protocol
    // never gets another server's password.
    static QString Key(bool Sftp, const QString& User, const QString& Host, const QString& Port);

    // True while the keyring keeps the password; opens it on the first call.
    bool UsesKeyring();
    // The password for Key: the file's scrambled one when it holds one, else the keyring's.
    std::string Load(const QString& Key);
    // Keeps Password as Key's and writes the file's "Password" value.
    void Store(const QString& Key, const std::string& Password);
    // Removes Key's entry from the keyring; the file's value is the caller's.
    void Remove(const QString& Key);

private:
    // Says why once, and keeps to the settings file for the rest of the run.
    void GiveUp(const QString& Why, bool TurnedOff = false);

    const TVReg& FReg;
    TVKeey& FKeey;
    std::function<keyring::TChoice()> FOpen;
    bool FOpened = false;
    std::unique_ptr<TKeyring> FKeyring;
    // What the keyring holds for one key as far as this run knows, so that storing the
    // settings again does not write an unchanged password again.
    std::optional<QString> FKnownKey;
    std::string FKnownPassword;
};
