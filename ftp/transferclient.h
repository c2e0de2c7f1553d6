#pragma once
// What the window's upload and delete need from a file-transfer client, whatever the protocol
// behind it: the same blocking calls, the same settings, the same progress events.

#include <QtGlobal>
#include <functional>
#include <string>

class QObject;

// Why the last blocking call failed.
enum class TTransferFailure {
    None,         // it succeeded
    Refused,      // the server answered and said no (login, folder, file, permission)
    NoConnection, // the server could not be reached (look-up or connect failed)
    Timeout,      // the server went silent for the time-out
    Untrusted,    // the server's identity was refused (host key or certificate)
    Aborted,      // Abort ended it
};

// How far the last Upload got on the server, each stage implying the ones before: tells a
// failed login from a missing folder without a second session.
enum class TUploadStage {
    None,      // not connected (or the server's identity was refused)
    Connected, // connected, and the server trusted
    LoggedIn,  // logged in
    InFolder,  // in the folder, made when it was missing
    Stored,    // the file is on the server under a temporary name
    Renamed,   // the file is on the server under its own name
};

using TTransferProgressHandler = std::function<void(QObject* Sender, qint64 Count, bool& Abort)>;

class TTransferClient {
public:
    virtual ~TTransferClient() = default;

    virtual void SetHostName(const std::string& Value) = 0;
    virtual void SetPort(const std::string& Value) = 0;
    virtual void SetUserName(const std::string& Value) = 0;
    virtual void SetPassWord(const std::string& Value) = 0;
    virtual void SetHostDirName(const std::string& Value) = 0;
    virtual void SetHostFileName(const std::string& Value) = 0;
    virtual void SetLocalFileName(const std::string& Value) = 0;
    // Raised while Transmit sends, Count the bytes sent so far.
    virtual void SetProgressHandler(TTransferProgressHandler Handler) = 0;

    // Blocking calls; the caller's events keep flowing while they wait, and none throws.
    // Connects, logs in, changes to HostDirName and asks the size of HostFileName.
    virtual bool FileSize() = 0;
    // Connects, logs in and removes HostFileName.
    virtual bool Delete() = 0;
    // Connects, logs in and stores LocalFileName as HostFileName.
    virtual bool Transmit() = 0;
    // Ends the call that is waiting and closes whatever a failed call left open.
    virtual bool Abort() = 0;
    // Puts LocalFileName on the server as HostFileName in HostDirName, replacing a file of that
    // name. False on any failure, time-out or abort; LastFailure says which.
    virtual bool Upload() = 0;
    // How far the last Upload got.
    virtual TUploadStage ReachedStage() const = 0;

    // The size the last FileSize found: 0 when the file had none or was missing.
    virtual qint64 SizeResult() const = 0;
    virtual const std::string& ErrorMessage() const = 0;
    virtual TTransferFailure LastFailure() const = 0;
};
