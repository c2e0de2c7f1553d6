// TSftpClient's transfers: the plain store, and the upload that replaces a file whole or not at
// all (a temporary name, then a rename).

#include "ftp/sftpclient_p.h"

#include "common/random_tag.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace sftpdetail;

namespace {

constexpr std::uint8_t FxpStatus = 101;
constexpr std::uint8_t FxpExtended = 200;

// The server answered and said no, the session still stands: a fallback may follow.
bool Refused(sftp_session S) {
    const int Code = sftp_get_error(S);
    return Code != SSH_FX_OK && Code != SSH_FX_NO_CONNECTION && Code != SSH_FX_CONNECTION_LOST &&
           ssh_is_connected(S->session);
}

bool ChannelWrite(ssh_channel C, const std::string& Data) {
    std::size_t Done = 0;
    while (Done < Data.size()) {
        const int N = ssh_channel_write(C, Data.data() + Done, uint32_t(Data.size() - Done));
        if (N <= 0) return false;
        Done += std::size_t(N);
    }
    return true;
}

bool ChannelRead(ssh_channel C, std::string& Data, std::size_t Size) {
    Data.resize(Size);
    std::size_t Done = 0;
    while (Done < Size) {
        const int N = ssh_channel_read(C, Data.data() + Done, uint32_t(Size - Done), 0);
        if (N <= 0) return false;
        Done += std::size_t(N);
    }
    return true;
}

std::uint32_t U32At(const std::string& Data, std::size_t At) {
    std::uint32_t V = 0;
    for (std::size_t I = 0; I < 4; ++I)
        V = (V << 8) | std::uint8_t(Data[At + I]);
    return V;
}

// posix-rename@openssh.com replaces the target in one step; libssh has no call for it. It goes
// on the session's channel while none of libssh's own requests is waiting (they all wait for
// their answers), and its status is read back before libssh reads again. Returns the status
// code, with the server's text in Reason; -1 when the session broke.
int PosixRename(sftp_session S, const std::string& From, const std::string& To,
                std::string& Reason) {
    const std::uint32_t Id = ++S->id_counter;
    std::string Packet(4, '\0');
    const auto U32 = [&Packet](std::uint32_t V) {
        for (int Shift = 24; Shift >= 0; Shift -= 8)
            Packet += char((V >> Shift) & 0xff);
    };
    const auto Text = [&](const std::string& T) {
        U32(std::uint32_t(T.size()));
        Packet += T;
    };
    Packet += char(FxpExtended);
    U32(Id);
    Text("posix-rename@openssh.com");
    Text(From);
    Text(To);
    const std::uint32_t Length = std::uint32_t(Packet.size() - 4);
    for (int I = 0; I < 4; ++I)
        Packet[std::size_t(I)] = char((Length >> (24 - 8 * I)) & 0xff);

    std::string Head, Body;
    if (!ChannelWrite(S->channel, Packet) || !ChannelRead(S->channel, Head, 4)) return -1;
    const std::uint32_t Size = U32At(Head, 0);
    if (Size < 9 || Size > 64 * 1024 || !ChannelRead(S->channel, Body, Size)) return -1;
    if (std::uint8_t(Body[0]) != FxpStatus || U32At(Body, 1) != Id) return -1;
    const std::uint32_t Code = U32At(Body, 5);
    if (Size >= 13) {
        const std::uint32_t TextSize = U32At(Body, 9);
        if (13 + std::size_t(TextSize) <= Size) Reason = Body.substr(13, TextSize);
    }
    return int(Code);
}

std::string StatusText(int Code, const std::string& ServerText) {
    if (!ServerText.empty()) return ServerText;
    if (Code == -1) return "connection lost";
    const std::string Text = SftpStatusText(Code);
    return Text.empty() ? "failure" : Text;
}

} // namespace

posix::UniqueFd TSftpClient::TShared::OpenLocal() const {
    posix::UniqueFd In(::open(Local.c_str(), O_RDONLY | O_CLOEXEC));
    if (In.Get() < 0) throw Failure("Cannot read " + Local + ": " + posix::ErrnoText(errno));
    return In;
}

std::string TSftpClient::TShared::SendAll(sftp_session S, RemoteFile Out, int In,
                                          const std::string& Path) {
    std::string Error;
    struct stat Info {};
    if (::fstat(In, &Info) != 0 || ::lseek(In, 0, SEEK_SET) != 0)
        Error = "Cannot read " + Local + ": " + posix::ErrnoText(errno);
    std::vector<char> Buffer(std::size_t{64} * 1024);
    qint64 Total = 0;
    Sent = 0;
    while (Error.empty()) {
        if (AbortFlag) {
            Error = "Aborted";
            break;
        }
        const ssize_t N = ::read(In, Buffer.data(), Buffer.size());
        if (N < 0) {
            if (errno == EINTR) continue;
            Error = "Cannot read " + Local + ": " + posix::ErrnoText(errno);
            break;
        }
        if (N == 0) break;
        if (sftp_write(Out.get(), Buffer.data(), std::size_t(N)) != N) {
            Error = "Cannot write " + Path + ": " + SftpErrorText(S);
            break;
        }
        Total += N;
        Sent = Total;
        Wake();
    }
    if (Error.empty() && Total != Info.st_size)
        Error = "Cannot read " + Local + ": it changed while it was sent";
    // Closing is the last write's check: its result counts.
    if (sftp_close(Out.release()) != SSH_OK && Error.empty())
        Error = "Cannot close " + Path + ": " + SftpErrorText(S);
    return Error;
}

void TSftpClient::TShared::RemoveQuietly(sftp_session S, const std::string& Path) {
    if (sftp_unlink(S, Path.c_str()) != SSH_OK)
        qCWarning(lcSftp) << "Cannot remove" << Path.c_str() << ":" << SftpErrorText(S).c_str();
}

void TSftpClient::TShared::StoreDirect(sftp_session S, int In, const std::string& Path) {
    RemoteFile Out(sftp_open(S, Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!Out) throw Failure("Cannot create " + Path + ": " + SftpErrorText(S));
    const std::string Error = SendAll(S, std::move(Out), In, Path);
    if (Error.empty()) return;
    // A partial file is worse than none: the next upload must not find it.
    RemoveQuietly(S, Path);
    throw Failure(Error);
}

void TSftpClient::TShared::Transmit(sftp_session S) {
    const posix::UniqueFd In = OpenLocal();
    CheckDir(S);
    StoreDirect(S, In.Get(), RemotePath(Dir, File));
}

void TSftpClient::TShared::MakeFolders(sftp_session S) {
    if (Dir.empty()) return;
    if (const Attributes A{sftp_stat(S, Dir.c_str())}) {
        if (A->type != SSH_FILEXFER_TYPE_DIRECTORY) throw Failure("Not a folder: " + Dir);
        return;
    }
    if (sftp_get_error(S) != SSH_FX_NO_SUCH_FILE)
        throw Failure("Cannot open the folder " + Dir + ": " + SftpErrorText(S));
    // Level by level, as mkdir -p does; a level someone else made meanwhile is fine.
    std::string Path = Dir.front() == '/' ? "/" : "";
    for (std::size_t From = 0; From < Dir.size();) {
        const std::size_t To = std::min(Dir.find('/', From), Dir.size());
        const std::string Level = Dir.substr(From, To - From);
        From = To + 1;
        if (Level.empty()) continue;
        Path += (Path.empty() || Path.back() == '/' ? "" : "/") + Level;
        CheckAbort();
        if (const Attributes A{sftp_stat(S, Path.c_str())}) {
            if (A->type != SSH_FILEXFER_TYPE_DIRECTORY) throw Failure("Not a folder: " + Path);
            continue;
        }
        if (sftp_mkdir(S, Path.c_str(), 0755) == SSH_OK) {
            qCInfo(lcSftp) << "Created the folder" << Path.c_str();
            continue;
        }
        const std::string Reason = SftpErrorText(S);
        const Attributes Made(sftp_stat(S, Path.c_str()));
        if (!Made || Made->type != SSH_FILEXFER_TYPE_DIRECTORY)
            throw Failure("Cannot create the folder " + Path + ": " + Reason);
    }
}

int TSftpClient::TShared::Replace(sftp_session S, const std::string& From, const std::string& To,
                                  std::string& Reason) {
    if (sftp_extension_supported(S, "posix-rename@openssh.com", "1"))
        return PosixRename(S, From, To, Reason);
    // Plain SFTP rename will not replace a file: the old one goes first.
    if (sftp_rename(S, From.c_str(), To.c_str()) == SSH_OK) return SSH_FX_OK;
    const int Code = sftp_get_error(S);
    if (Code == SSH_FX_PERMISSION_DENIED || !Attributes(sftp_stat(S, To.c_str()))) return Code;
    qCInfo(lcSftp) << "No posix-rename on the server: removing" << To.c_str() << "first";
    if (sftp_unlink(S, To.c_str()) != SSH_OK || sftp_rename(S, From.c_str(), To.c_str()) != SSH_OK)
        return sftp_get_error(S);
    return SSH_FX_OK;
}

void TSftpClient::TShared::Upload(sftp_session S) {
    if (File.empty() || File.back() == '/') throw Failure("No file name to store");
    const posix::UniqueFd In = OpenLocal();
    MakeFolders(S);
    Stage = TUploadStage::InFolder;
    const std::string Target = RemotePath(Dir, File);
    // The temporary file lies beside the target: a rename within one folder.
    const std::size_t Slash = File.rfind('/');
    const std::string Sub = Slash == std::string::npos ? "" : File.substr(0, Slash + 1);
    const std::string Base = File.substr(Sub.size());
    const std::string Tag = posix::RandomTag();
    std::string Temp;
    RemoteFile Out;
    for (const std::string& Name : {"." + Base + "." + Tag + ".part", Base + "." + Tag + ".part"}) {
        CheckAbort();
        const std::string Path = RemotePath(Dir, Sub + Name);
        Out.reset(sftp_open(S, Path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
        if (Out) {
            Temp = Path;
            break;
        }
        if (!Refused(S)) throw Failure("Cannot create " + Path + ": " + SftpErrorText(S));
        qCInfo(lcSftp) << "The server refused the temporary name" << Path.c_str() << ":"
                       << SftpErrorText(S).c_str();
    }
    if (!Out) {
        qCInfo(lcSftp) << "Storing under the real name" << Target.c_str() << "directly";
        StoreDirect(S, In.Get(), Target);
        Stage = TUploadStage::Renamed;
        return;
    }

    std::string Error = SendAll(S, std::move(Out), In.Get(), Temp);
    if (Error.empty() && AbortFlag) Error = "Aborted";
    if (!Error.empty()) {
        RemoveQuietly(S, Temp);
        throw Failure(Error);
    }
    Stage = TUploadStage::Stored;
    std::string Reason;
    const int Code = Replace(S, Temp, Target, Reason);
    if (Code == SSH_FX_OK) {
        Stage = TUploadStage::Renamed;
        return;
    }
    if (Code == SSH_FX_PERMISSION_DENIED) {
        // Accounts that may store but not rename: the file goes under its name directly.
        qCInfo(lcSftp) << "Renaming" << Temp.c_str() << "onto" << Target.c_str()
                       << "was refused:" << StatusText(Code, Reason).c_str()
                       << "- storing under the real name directly";
        RemoveQuietly(S, Temp);
        StoreDirect(S, In.Get(), Target);
        Stage = TUploadStage::Renamed;
        return;
    }
    if (Code != -1) RemoveQuietly(S, Temp);
    throw Failure("Cannot rename " + Temp + " to " + Target + ": " + StatusText(Code, Reason));
}
