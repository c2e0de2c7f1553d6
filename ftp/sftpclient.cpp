#include "ftp/sftpclient_p.h"

#include "common/posix_file.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

Q_LOGGING_CATEGORY(lcSftp, "imglift.sftp", QtInfoMsg)

using namespace sftpdetail;

namespace {

std::string KeyTypeName(ssh_keytypes_e Type) {
    switch (Type) {
    case SSH_KEYTYPE_ED25519:
    case SSH_KEYTYPE_SK_ED25519:
        return "ED25519";
    case SSH_KEYTYPE_ECDSA_P256:
    case SSH_KEYTYPE_ECDSA_P384:
    case SSH_KEYTYPE_ECDSA_P521:
    case SSH_KEYTYPE_SK_ECDSA:
        return "ECDSA";
    case SSH_KEYTYPE_RSA:
        return "RSA";
    case SSH_KEYTYPE_DSS:
        return "DSA";
    default: {
        const char* Name = ssh_key_type_to_char(Type);
        return Name ? Name : "unknown";
    }
    }
}

std::string HomeSshDir() {
    const passwd* Pw = getpwuid(getuid());
    return std::string(Pw && Pw->pw_dir ? Pw->pw_dir : "") + "/.ssh";
}

int PortNumber(const std::string& Port) {
    if (Port.empty() || Port == "ssh") return 22;
    if (Port.find_first_not_of("0123456789") == std::string::npos && Port.size() <= 5) {
        const int N = std::stoi(Port);
        if (N > 0 && N < 65536) return N;
    } else if (const servent* Se = getservbyname(Port.c_str(), "tcp")) {
        return ntohs(static_cast<uint16_t>(Se->s_port));
    }
    throw Failure("Invalid port: " + Port);
}

// The host key check's name for the host, as in known_hosts.
std::string KnownHostName(const std::string& Host, int Port) {
    return Port == 22 ? Host : "[" + Host + "]:" + std::to_string(Port);
}

struct KnownLine {
    int Number = 0; // from 1; 0: none
    std::string KeyType;
};

// The known_hosts line that stands for the host, one with the server's key type first.
KnownLine OffendingLine(const std::string& Path, const std::string& Host, ssh_keytypes_e Type) {
    std::ifstream In(Path);
    std::string Line;
    KnownLine First;
    for (int N = 1; std::getline(In, Line); ++N) {
        ssh_knownhosts_entry* Raw = nullptr;
        if (ssh_known_hosts_parse_line(Host.c_str(), Line.c_str(), &Raw) != SSH_OK) continue;
        const Entry Known(Raw);
        if (!Known || !Known->publickey) continue;
        const ssh_keytypes_e KnownType = ssh_key_type(Known->publickey);
        if (KnownType == Type) return {N, KeyTypeName(KnownType)};
        if (First.Number == 0) First = {N, KeyTypeName(KnownType)};
    }
    return First;
}

} // namespace

posix::UniqueFd TSftpClient::TShared::ConnectSocket(int PortNumber) {
    addrinfo Hints{};
    Hints.ai_family = AF_UNSPEC;
    Hints.ai_socktype = SOCK_STREAM;
    addrinfo* List = nullptr;
    const std::string Service = std::to_string(PortNumber);
    if (const int Rc = getaddrinfo(Host.c_str(), Service.c_str(), &Hints, &List); Rc != 0)
        throw Failure("Cannot resolve " + Host + ": " + gai_strerror(Rc),
                      TTransferFailure::NoConnection);
    const std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> Owner(List, &freeaddrinfo);

    const QDeadlineTimer Deadline =
        Timeout > 0 ? QDeadlineTimer(qint64(Timeout) * 1000) : QDeadlineTimer::Forever;
    std::string Reason = "no address";
    for (const addrinfo* A = List; A; A = A->ai_next) {
        posix::UniqueFd Fd(
            ::socket(A->ai_family, A->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, A->ai_protocol));
        if (Fd.Get() < 0) {
            Reason = posix::ErrnoText(errno);
            continue;
        }
        int Error = 0;
        if (::connect(Fd.Get(), A->ai_addr, A->ai_addrlen) != 0) {
            Error = errno;
            // Waits in slices so that an abort is seen while the peer stays silent.
            while (Error == EINPROGRESS) {
                CheckAbort();
                if (Deadline.hasExpired()) {
                    Error = ETIMEDOUT;
                    break;
                }
                pollfd P{Fd.Get(), POLLOUT, 0};
                if (::poll(&P, 1, 100) > 0) {
                    socklen_t Len = sizeof Error;
                    ::getsockopt(Fd.Get(), SOL_SOCKET, SO_ERROR, &Error, &Len);
                }
            }
        }
        if (Error != 0) {
            Reason = posix::ErrnoText(Error);
            continue;
        }
        ::fcntl(Fd.Get(), F_SETFL, ::fcntl(Fd.Get(), F_GETFL) & ~O_NONBLOCK);
        const int One = 1;
        ::setsockopt(Fd.Get(), IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
        return Fd;
    }
    throw Failure("Cannot connect to " + Host + " port " + Service + ": " + Reason,
                  TTransferFailure::NoConnection);
}

void TSftpClient::TShared::CheckHostKey(ssh_session S, int PortNumber) {
    ssh_key RawKey = nullptr;
    if (ssh_get_server_publickey(S, &RawKey) != SSH_OK)
        throw Failure(std::string("No host key: ") + ssh_get_error(S));
    const Key ServerKey(RawKey);
    unsigned char* RawHash = nullptr;
    size_t HashLen = 0;
    if (ssh_get_publickey_hash(ServerKey.get(), SSH_PUBLICKEY_HASH_SHA256, &RawHash, &HashLen) !=
        SSH_OK)
        throw Failure("Cannot hash the host key");
    const Hash KeyHash(RawHash);
    const SshText Print(
        ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, KeyHash.get(), HashLen));
    const std::string Type = KeyTypeName(ssh_key_type(ServerKey.get()));
    const std::string Fp = Print ? Print.get() : "";

    switch (ssh_session_is_known_server(S)) {
    case SSH_KNOWN_HOSTS_OK:
        return;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER: {
        // Refused outright, with ssh's warning, so the user can find the stale line.
        const KnownLine Known = OffendingLine(KnownHosts, KnownHostName(Host, PortNumber),
                                              ssh_key_type(ServerKey.get()));
        std::string Text =
            "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
            "@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @\n"
            "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
            "IT IS POSSIBLE THAT SOMEONE IS DOING SOMETHING NASTY!\n"
            "Someone could be eavesdropping on you right now (man-in-the-middle attack)!\n"
            "It is also possible that a host key has just been changed.\n"
            "The fingerprint for the " +
            Type + " key sent by the remote host is\n" + Fp +
            ".\n"
            "Please contact your system administrator.\n"
            "Add correct host key in " +
            KnownHosts + " to get rid of this message.\n";
        if (Known.Number > 0)
            Text += "Offending " + Known.KeyType + " key in " + KnownHosts + ":" +
                    std::to_string(Known.Number) + "\n";
        Text += "Host key for " + KnownHostName(Host, PortNumber) +
                " has changed and you have requested strict checking.\n"
                "Host key verification failed.";
        throw Failure(Text, TTransferFailure::Untrusted);
    }
    case SSH_KNOWN_HOSTS_UNKNOWN:
    case SSH_KNOWN_HOSTS_NOT_FOUND: {
        std::unique_lock Lock(M);
        KeyType = Type;
        Fingerprint = Fp;
        QuestionPending = true;
        Lock.unlock();
        Wake();
        Lock.lock();
        Cv.wait(Lock, [this] { return Answer.has_value() || AbortFlag; });
        const bool Accepted = Answer.value_or(false);
        Lock.unlock();
        CheckAbort();
        if (!Accepted)
            throw Failure("Host key verification failed: the " + Type + " key " + Fp + " of " +
                              KnownHostName(Host, PortNumber) + " was not accepted.",
                          TTransferFailure::Untrusted);
        // A fresh account has no SSH folder yet; ssh creates it private.
        std::error_code Ignored;
        const std::filesystem::path Parent = std::filesystem::path(KnownHosts).parent_path();
        if (!Parent.empty() && std::filesystem::create_directories(Parent, Ignored))
            std::filesystem::permissions(Parent, std::filesystem::perms::owner_all, Ignored);
        if (ssh_session_update_known_hosts(S) != SSH_OK)
            throw Failure("Cannot add the host key to " + KnownHosts + ": " + ssh_get_error(S));
        qCInfo(lcSftp) << "Added" << Type.c_str() << "key" << Fp.c_str() << "of"
                       << KnownHostName(Host, PortNumber).c_str() << "to" << KnownHosts.c_str();
        return;
    }
    case SSH_KNOWN_HOSTS_ERROR:
    default:
        throw Failure("Cannot check the host key against " + KnownHosts + ": " + ssh_get_error(S));
    }
}

void TSftpClient::TShared::CheckDir(sftp_session S) {
    if (Dir.empty()) return;
    const Attributes A(sftp_stat(S, Dir.c_str()));
    if (!A) throw Failure("Cannot open the folder " + Dir + ": " + SftpErrorText(S));
    if (A->type != SSH_FILEXFER_TYPE_DIRECTORY) throw Failure("Not a folder: " + Dir);
}

void TSftpClient::TShared::FileSize(sftp_session S) {
    CheckDir(S);
    const std::string Path = RemotePath(Dir, File);
    const Attributes A(sftp_stat(S, Path.c_str()));
    SizeAsked = true;
    Size = A && (A->flags & SSH_FILEXFER_ATTR_SIZE) ? qint64(A->size) : 0;
    if (!A) throw Failure("No size for " + Path + ": " + SftpErrorText(S));
}

void TSftpClient::TShared::Delete(sftp_session S) {
    CheckDir(S);
    const std::string Path = RemotePath(Dir, File);
    if (sftp_unlink(S, Path.c_str()) != SSH_OK)
        throw Failure("Cannot delete " + Path + ": " + SftpErrorText(S));
}

void TSftpClient::TShared::Work() {
    try {
        static std::once_flag Init;
        std::call_once(Init, [] { ssh_init(); });
        const int PortNo = PortNumber(Port);
        posix::UniqueFd Socket = ConnectSocket(PortNo);
        {
            const std::lock_guard Lock(M);
            Fd = Socket.Get();
        }
        // Whatever happens below, the waiting side must stop using the descriptor first.
        struct Unpublish {
            TShared& Self;
            ~Unpublish() {
                const std::lock_guard Lock(Self.M);
                Self.Fd = -1;
            }
        } const Unpublished{*this};

        const Session S(ssh_new());
        if (!S) throw Failure("Out of memory");
        const int Off = 0;
        // libssh's own limit is only a backstop: the waiting side cuts the socket on time.
        const long Secs = Timeout > 0 ? Timeout + 5 : 0;
        const socket_t RawFd = Socket.Get();
        ssh_options_set(S.get(), SSH_OPTIONS_PROCESS_CONFIG, &Off);
        ssh_options_set(S.get(), SSH_OPTIONS_HOST, Host.c_str());
        ssh_options_set(S.get(), SSH_OPTIONS_PORT, &PortNo);
        if (!User.empty()) ssh_options_set(S.get(), SSH_OPTIONS_USER, User.c_str());
        ssh_options_set(S.get(), SSH_OPTIONS_SSH_DIR, SshDir.c_str());
        ssh_options_set(S.get(), SSH_OPTIONS_KNOWNHOSTS, KnownHosts.c_str());
        if (Secs > 0) ssh_options_set(S.get(), SSH_OPTIONS_TIMEOUT, &Secs);
        ssh_options_set(S.get(), SSH_OPTIONS_FD, &RawFd);
        if (ssh_connect(S.get()) != SSH_OK)
            throw Failure("SSH connection to " + Host + " failed: " + ssh_get_error(S.get()),
                          TTransferFailure::NoConnection);
        CheckAbort();
        CheckHostKey(S.get(), PortNo);
        CheckAbort();
        Stage = TUploadStage::Connected;

        const int Auth = Pass.empty() ? ssh_userauth_publickey_auto(S.get(), nullptr, nullptr)
                                      : ssh_userauth_password(S.get(), nullptr, Pass.c_str());
        if (Auth != SSH_AUTH_SUCCESS)
            throw Failure("Authentication of " + (User.empty() ? "the local user" : User) + " at " +
                          Host + " failed (" +
                          (Pass.empty() ? "agent and default keys" : "password") +
                          "): " + ssh_get_error(S.get()));
        CheckAbort();
        Stage = TUploadStage::LoggedIn;

        const Sftp Channel(sftp_new(S.get()));
        if (!Channel) throw Failure(std::string("No SFTP channel: ") + ssh_get_error(S.get()));
        if (sftp_init(Channel.get()) != SSH_OK)
            throw Failure("The server offers no SFTP: " + SftpErrorText(Channel.get()));
        switch (Job) {
        case TJob::FileSize:
            FileSize(Channel.get());
            break;
        case TJob::Delete:
            Delete(Channel.get());
            break;
        case TJob::Transmit:
            Transmit(Channel.get());
            break;
        case TJob::Upload:
            Upload(Channel.get());
            break;
        }
        Ok = true;
    } catch (const Failure& E) {
        Error = E.what();
        Kind = E.Kind;
    } catch (const std::exception& E) {
        Error = E.what();
    }
    Done = true;
    Wake();
}

TSftpClient::TSftpClient(QObject* AOwner) : QObject(AOwner) {
}

TSftpClient::~TSftpClient() {
    if (FWorker.joinable()) {
        FShared->AbortFlag = true;
        FShared->ShutdownSocket();
        FShared->Wake();
    }
}

bool TSftpClient::FileSize() {
    return Run(TJob::FileSize);
}

bool TSftpClient::Delete() {
    return Run(TJob::Delete);
}

bool TSftpClient::Transmit() {
    return Run(TJob::Transmit);
}

bool TSftpClient::Upload() {
    return Run(TJob::Upload);
}

TUploadStage TSftpClient::ReachedStage() const {
    return FBusy && FShared && FShared->Job == TJob::Upload ? FShared->Stage.load() : FStage;
}

bool TSftpClient::Abort() {
    if (FBusy) RequestAbort();
    return true;
}

void TSftpClient::RequestAbort() {
    if (!FShared) return;
    FShared->AbortFlag = true;
    FShared->Wake();
}

bool TSftpClient::Run(TJob Job) {
    if (FBusy) {
        // The waiting call keeps its own result; this one reports without touching it.
        qCWarning(lcSftp) << "SFTP client not ready: another call is running";
        return false;
    }
    FBusy = true;
    auto S = std::make_shared<TShared>();
    S->Job = Job;
    S->Host = FHostName;
    S->Port = FPort;
    S->User = FUserName;
    S->Pass = FPassWord;
    S->Dir = FHostDirName;
    S->File = FHostFileName;
    S->Local = FLocalFileName;
    S->SshDir = FSshDir.empty() ? HomeSshDir() : FSshDir;
    S->KnownHosts = FKnownHostsFile.empty() ? S->SshDir + "/known_hosts" : FKnownHostsFile;
    S->Timeout = FTimeout;
    S->Waker = QAbstractEventDispatcher::instance(QThread::currentThread());
    FShared = S;
    FErrorMessage.clear();

    FWorker = std::jthread([S] { S->Work(); });

    // The wait: this thread's events keep flowing; the worker wakes it on every step, a
    // ticker for the deadline checks.
    const auto Now = [] { return QDeadlineTimer::current().deadline(); };
    const auto Limit = [this, &Now] { return Now() + qint64(FTimeout) * 1000; };
    qint64 Deadline = Limit();
    qint64 ForceAt = 0; // when the socket is cut if the worker has not ended by itself
    bool TimedOut = false;
    qint64 Reported = 0;
    QTimer Ticker;
    if (S->Waker) Ticker.start(50);
    for (;;) {
        // Read first, so that the last block's progress is still reported.
        const bool Finished = S->Done;
        std::unique_lock Lock(S->M);
        if (S->QuestionPending && !S->Answer) {
            const std::string Type = S->KeyType, Fp = S->Fingerprint;
            Lock.unlock();
            bool Accept = false;
            if (OnUnknownHostKey && !S->AbortFlag) {
                // A handler's exception must not leave the call: it counts as a refusal.
                try {
                    OnUnknownHostKey(this, Type, Fp, Accept);
                } catch (...) {
                    Accept = false;
                }
            }
            Lock.lock();
            S->Answer = Accept;
            S->Cv.notify_all();
            Deadline = Limit();
        }
        Lock.unlock();

        if (const qint64 Sent = S->Sent; Sent != Reported) {
            Reported = Sent;
            Deadline = Limit();
            if (OnProgress) {
                bool AbortNow = false;
                try {
                    OnProgress(this, Sent, AbortNow);
                } catch (...) {
                    AbortNow = true;
                }
                if (AbortNow) RequestAbort();
            }
        }
        if (Finished) break;
        if (!TimedOut && !S->AbortFlag &&
            ((FTimeout > 0 && Now() > Deadline) || QCoreApplication::closingDown())) {
            TimedOut = true;
            RequestAbort();
            ForceAt = Now();
        }
        // An abort is seen between two blocks; a stuck connection is cut after a grace.
        if (S->AbortFlag && ForceAt == 0) ForceAt = Now() + 1000;
        if (ForceAt > 0 && Now() >= ForceAt) {
            S->ShutdownSocket();
            ForceAt = -1;
        }
        if (S->Done) continue;
        if (S->Waker) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        } else {
            Lock.lock();
            S->Cv.wait_for(Lock, std::chrono::milliseconds(50));
        }
    }
    FWorker.join();
    FBusy = false;

    if (Job == TJob::Transmit || Job == TJob::Upload) FByteCount = S->Sent;
    if (S->SizeAsked) FSizeResult = S->Size;
    if (Job == TJob::Upload) FStage = S->Stage;
    FFailure = S->Ok          ? TTransferFailure::None
               : TimedOut     ? TTransferFailure::Timeout
               : S->AbortFlag ? TTransferFailure::Aborted
                              : S->Kind;
    if (S->Ok) {
        qCDebug(lcSftp) << "Done:" << FHostName.c_str()
                        << RemotePath(FHostDirName, FHostFileName).c_str();
        return true;
    }
    FErrorMessage =
        TimedOut ? "Timeout: no progress for " + std::to_string(FTimeout) + " s" : S->Error;
    qCWarning(lcSftp).noquote() << QString::fromStdString(FErrorMessage);
    return false;
}
