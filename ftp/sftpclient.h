#pragma once
// TSftpClient: the same blocking upload and delete calls as TFtpClient, spoken over SSH (SFTP).
// libssh blocks, so every call runs its session on a worker thread while the calling (GUI)
// thread keeps handling its events; progress, the host key question and the result come back
// to the calling thread. Each call opens its own session and closes it before returning.
// Upload is the whole upload in one session: it replaces the named file whole or not at all.

#include "ftp/transferclient.h"

#include <QObject>
#include <QtGlobal>
#include <functional>
#include <memory>
#include <string>
#include <thread>

using TSftpProgress = std::function<void(QObject* Sender, qint64 Count, bool& Abort)>;
// A host that is not in the known hosts file: KeyType as ssh shows it ("ED25519", "ECDSA",
// "RSA"), Fingerprint as "SHA256:<base64 without padding>". Accept stays false unless set.
using TSftpUnknownHostKey = std::function<void(QObject* Sender, const std::string& KeyType,
                                               const std::string& Fingerprint, bool& Accept)>;

class TSftpClient : public QObject, public TTransferClient {
public:
    explicit TSftpClient(QObject* AOwner = nullptr);
    ~TSftpClient() override;
    TSftpClient(const TSftpClient&) = delete;
    TSftpClient& operator=(const TSftpClient&) = delete;

    const std::string& HostName() const { return FHostName; }
    void SetHostName(const std::string& Value) override { FHostName = Value; }
    // A number or a service name; empty or "ssh" is 22.
    const std::string& Port() const { return FPort; }
    void SetPort(const std::string& Value) override { FPort = Value; }
    const std::string& UserName() const { return FUserName; }
    void SetUserName(const std::string& Value) override { FUserName = Value; }
    // Empty: the SSH agent and the default keys are tried instead.
    const std::string& PassWord() const { return FPassWord; }
    void SetPassWord(const std::string& Value) override { FPassWord = Value; }
    // The remote folder, absolute or relative to the login folder; empty: the login folder.
    const std::string& HostDirName() const { return FHostDirName; }
    void SetHostDirName(const std::string& Value) override { FHostDirName = Value; }
    const std::string& HostFileName() const { return FHostFileName; }
    void SetHostFileName(const std::string& Value) override { FHostFileName = Value; }
    const std::string& LocalFileName() const { return FLocalFileName; }
    void SetLocalFileName(const std::string& Value) override { FLocalFileName = Value; }
    // Seconds a call may go without progress; 0 or less: no limit.
    int Timeout() const { return FTimeout; }
    void SetTimeout(int Value) { FTimeout = Value; }
    // The user's SSH folder (default keys, known_hosts); empty: ~/.ssh.
    const std::string& SshDir() const { return FSshDir; }
    void SetSshDir(const std::string& Value) { FSshDir = Value; }
    // The OpenSSH known hosts file; empty: known_hosts in SshDir.
    const std::string& KnownHostsFile() const { return FKnownHostsFile; }
    void SetKnownHostsFile(const std::string& Value) { FKnownHostsFile = Value; }

    // Size found by the last FileSize that got as far as asking: 0 when there was no such file.
    qint64 SizeResult() const override { return FSizeResult; }
    // Bytes sent by the last Transmit or Upload.
    qint64 ByteCount() const { return FByteCount; }
    // Why the last call failed (empty after a success); a changed host key gives ssh's warning.
    const std::string& ErrorMessage() const override { return FErrorMessage; }
    TTransferFailure LastFailure() const override { return FFailure; }

    // Raised on this thread while Transmit or Upload sends, Count the bytes sent so far; setting
    // Abort ends the transfer.
    TSftpProgress OnProgress;
    TSftpUnknownHostKey OnUnknownHostKey;
    void SetProgressHandler(TTransferProgressHandler Handler) override {
        OnProgress = std::move(Handler);
    }

    // Blocking calls: true on success, false on any failure (never throw). A call made while
    // another one is waiting fails at once.
    // Connects, logs in, checks HostDirName and asks the size of HostFileName.
    bool FileSize() override;
    // Connects, logs in and removes HostFileName from HostDirName.
    bool Delete() override;
    // Connects, logs in and stores LocalFileName as HostFileName in HostDirName, replacing a
    // file of that name; an aborted or failed transfer removes what it wrote.
    bool Transmit() override;
    // One session: creates HostDirName level by level when it is missing, writes LocalFileName
    // under a hidden temporary name beside HostFileName (".<name>.<random>.part"), then renames
    // it onto HostFileName: in one step where the server offers posix-rename@openssh.com,
    // otherwise by removing the old file first. A failed or aborted transfer removes the
    // temporary file and leaves HostFileName as it was. Servers that refuse the hidden name get
    // a visible one ("<name>.<random>.part"), then the real name; accounts that may not rename
    // get the file stored under the real name directly.
    bool Upload() override;
    // Live while Upload runs.
    TUploadStage ReachedStage() const override;
    // Ends the call that is waiting (from a handler run during its wait): that call returns
    // false. Without one there is nothing to close. Always true.
    bool Abort() override;

    struct TShared;

private:
    enum class TJob { FileSize, Delete, Transmit, Upload };
    bool Run(TJob Job);
    void RequestAbort();

    std::string FHostName;
    std::string FPort = "ssh";
    std::string FUserName;
    std::string FPassWord;
    std::string FHostDirName;
    std::string FHostFileName;
    std::string FLocalFileName;
    std::string FSshDir;
    std::string FKnownHostsFile;
    int FTimeout = 15;
    qint64 FSizeResult = 0;
    qint64 FByteCount = 0;
    std::string FErrorMessage;
    TTransferFailure FFailure = TTransferFailure::None;
    TUploadStage FStage = TUploadStage::None;
    bool FBusy = false;
    std::shared_ptr<TShared> FShared;
    std::jthread FWorker;
};
