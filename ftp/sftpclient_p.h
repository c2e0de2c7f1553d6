#pragma once
// Inside TSftpClient: the worker's shared state and the owners of libssh's handles, for the
// files that make up the client (session and host key; the transfers).

#include "common/posix_file.h"
#include "ftp/sftpclient.h"

#include <QAbstractEventDispatcher>
#include <QLoggingCategory>

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <type_traits>

Q_DECLARE_LOGGING_CATEGORY(lcSftp)

namespace sftpdetail {

// Owners of the C handles.
struct SessionFree {
    void operator()(ssh_session S) const {
        ssh_disconnect(S);
        ssh_free(S);
    }
};
struct SftpFree {
    void operator()(sftp_session S) const { sftp_free(S); }
};
struct KeyFree {
    void operator()(ssh_key K) const { ssh_key_free(K); }
};
struct FileClose {
    void operator()(sftp_file F) const { sftp_close(F); }
};
struct AttrFree {
    void operator()(sftp_attributes A) const { sftp_attributes_free(A); }
};
struct CharFree {
    void operator()(char* P) const { ssh_string_free_char(P); }
};
struct HashFree {
    void operator()(unsigned char* P) const { ssh_clean_pubkey_hash(&P); }
};
struct EntryFree {
    void operator()(ssh_knownhosts_entry* E) const { ssh_knownhosts_entry_free(E); }
};
using Session = std::unique_ptr<std::remove_pointer_t<ssh_session>, SessionFree>;
using Sftp = std::unique_ptr<std::remove_pointer_t<sftp_session>, SftpFree>;
using Key = std::unique_ptr<std::remove_pointer_t<ssh_key>, KeyFree>;
using RemoteFile = std::unique_ptr<std::remove_pointer_t<sftp_file>, FileClose>;
using Attributes = std::unique_ptr<std::remove_pointer_t<sftp_attributes>, AttrFree>;
using SshText = std::unique_ptr<char, CharFree>;
using Hash = std::unique_ptr<unsigned char, HashFree>;
using Entry = std::unique_ptr<ssh_knownhosts_entry, EntryFree>;

// A failure of the worker's request: its text becomes ErrorMessage.
struct Failure : std::runtime_error {
    explicit Failure(const std::string& Text, TTransferFailure Why = TTransferFailure::Refused)
        : std::runtime_error(Text), Kind(Why) {}
    TTransferFailure Kind;
};

// An SFTP status code in words; empty for one without words of its own.
inline std::string SftpStatusText(int Code) {
    switch (Code) {
    case SSH_FX_NO_SUCH_FILE:
        return "no such file";
    case SSH_FX_PERMISSION_DENIED:
        return "permission denied";
    case SSH_FX_FAILURE:
        return "failure";
    case SSH_FX_NO_CONNECTION:
    case SSH_FX_CONNECTION_LOST:
        return "connection lost";
    case SSH_FX_OP_UNSUPPORTED:
        return "operation not supported";
    default:
        return {};
    }
}

// The reason of the last failed SFTP request, in words.
inline std::string SftpErrorText(sftp_session S) {
    const std::string Text = SftpStatusText(sftp_get_error(S));
    return Text.empty() ? ssh_get_error(S->session) : Text;
}

// File in the folder Dir (empty: the login folder).
inline std::string RemotePath(const std::string& Dir, const std::string& File) {
    if (Dir.empty()) return File;
    return Dir.back() == '/' ? Dir + File : Dir + "/" + File;
}

} // namespace sftpdetail

struct TSftpClient::TShared {
    // The request, fixed before the worker starts.
    TJob Job = TJob::FileSize;
    std::string Host, Port, User, Pass, Dir, File, Local, SshDir, KnownHosts;
    int Timeout = 15;
    QAbstractEventDispatcher* Waker = nullptr;

    // Shared while the worker runs.
    std::atomic<qint64> Sent{0};
    std::atomic_bool AbortFlag{false};
    std::atomic_bool Done{false};
    std::atomic<TUploadStage> Stage{TUploadStage::None};
    std::mutex M;
    std::condition_variable Cv;
    int Fd = -1; // the connection's socket, under M: the waiting side may shut it down
    bool QuestionPending = false;
    std::optional<bool> Answer;
    std::string KeyType, Fingerprint;

    // Results, read after Done.
    bool Ok = false;
    bool SizeAsked = false;
    qint64 Size = 0;
    std::string Error;
    TTransferFailure Kind = TTransferFailure::Refused;

    void Wake() {
        Cv.notify_all();
        if (Waker) Waker->wakeUp();
    }
    void CheckAbort() const {
        if (AbortFlag) throw sftpdetail::Failure("Aborted");
    }
    void ShutdownSocket() {
        const std::lock_guard Lock(M);
        if (Fd >= 0) ::shutdown(Fd, SHUT_RDWR);
    }

    void Work();
    posix::UniqueFd ConnectSocket(int PortNumber);
    void CheckHostKey(ssh_session S, int PortNumber);
    void FileSize(sftp_session S);
    void Delete(sftp_session S);
    void Transmit(sftp_session S);
    void Upload(sftp_session S);
    void CheckDir(sftp_session S);

    // Pieces of the transfers (sftpclient_transfer.cpp).
    posix::UniqueFd OpenLocal() const;
    void MakeFolders(sftp_session S);
    std::string SendAll(sftp_session S, sftpdetail::RemoteFile Out, int In,
                        const std::string& Path);
    void StoreDirect(sftp_session S, int In, const std::string& Path);
    int Replace(sftp_session S, const std::string& From, const std::string& To,
                std::string& Reason);
    void RemoveQuietly(sftp_session S, const std::string& Path);
};
