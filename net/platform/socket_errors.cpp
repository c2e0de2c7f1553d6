#include "net/platform/socket_errors.h"

#include <array>
#include <cerrno>

namespace {

struct TSocketError {
    std::array<int, 3> Errnos; // the errno values reported as Code; 0 fills unused places
    int Code;
    const char* Text;
};

// A code without errno values is never produced from an errno, but has its text.
constexpr TSocketError SocketErrors[] = {
    {{}, 0, "No Error"},
    {{EINTR}, 10004, "Interrupted system call"},
    {{EBADF}, 10009, "Bad file number"},
    {{EACCES, EPERM}, 10013, "Permission denied"},
    {{EFAULT}, 10014, "Bad address"},
    {{EINVAL}, 10022, "Invalid argument"},
    {{EMFILE, ENFILE}, 10024, "Too many open files"},
    // A connect in progress is reported as would-block, as the asynchronous connect expects.
    {{EAGAIN, EWOULDBLOCK, EINPROGRESS}, 10035, "Operation would block"},
    {{}, 10036, "Operation now in progress"},
    {{EALREADY}, 10037, "Operation already in progress"},
    {{ENOTSOCK}, 10038, "Socket operation on non-socket"},
    {{EDESTADDRREQ}, 10039, "Destination address required"},
    {{EMSGSIZE}, 10040, "Message too long"},
    {{EPROTOTYPE}, 10041, "Protocol wrong type for socket"},
    {{ENOPROTOOPT}, 10042, "Protocol not available"},
    {{EPROTONOSUPPORT}, 10043, "Protocol not supported"},
    {{ESOCKTNOSUPPORT}, 10044, "Socket type not supported"},
    {{EOPNOTSUPP}, 10045, "Operation not supported on socket"},
    {{EPFNOSUPPORT}, 10046, "Protocol family not supported"},
    {{EAFNOSUPPORT}, 10047, "Address family not supported by protocol family"},
    {{EADDRINUSE}, 10048, "Address already in use"},
    {{EADDRNOTAVAIL}, 10049, "Address not available"},
    {{ENETDOWN}, 10050, "Network is down"},
    {{ENETUNREACH}, 10051, "Network is unreachable"},
    {{ENETRESET}, 10052, "Network dropped connection on reset"},
    {{ECONNABORTED}, 10053, "Connection aborted"},
    // EPIPE: the peer is gone; a send after our own shutdown is mapped apart.
    {{ECONNRESET, EPIPE}, 10054, "Connection reset by peer"},
    {{ENOBUFS, ENOMEM}, 10055, "No buffer space available"},
    {{EISCONN}, 10056, "Socket is already connected"},
    {{ENOTCONN}, 10057, "Socket is not connected"},
    {{ESHUTDOWN}, 10058, "Can't send after socket shutdown"},
    {{ETOOMANYREFS}, 10059, "Too many references: can't splice"},
    {{ETIMEDOUT}, 10060, "Connection timed out"},
    {{ECONNREFUSED}, 10061, "Connection refused"},
    {{ELOOP}, 10062, "Too many levels of symbolic links"},
    {{ENAMETOOLONG}, 10063, "File name too long"},
    {{EHOSTDOWN}, 10064, "Host is down"},
    {{EHOSTUNREACH}, 10065, "No route to host"},
    {{ENOTEMPTY}, 10066, "Directory not empty"},
    {{}, 10067, "Too many processes"},
    {{EUSERS}, 10068, "Too many users"},
    {{EDQUOT}, 10069, "Disc quota exceeded"},
    {{ESTALE}, 10070, "Stale NFS file handle"},
    {{EREMOTE}, 10071, "Too many levels of remote in path"},
    {{}, 10091, "Network sub-system is unusable"},
    {{}, 10092, "WinSock DLL cannot support this application"},
    {{}, 10093, "WinSock not initialized"},
    {{}, 11001, "Host not found"},
    {{}, 11002, "Non-authoritative host not found"},
    {{}, 11003, "Non-recoverable error"},
    {{}, 11004, "No Data"},
};

} // namespace

int WinsockErrorFromErrno(int Errno) {
    if (Errno == 0) return 0;
    for (const TSocketError& E : SocketErrors)
        for (const int Value : E.Errnos)
            if (Value == Errno) return E.Code;
    return 10000 + Errno;
}

const char* SocketErrorText(int Code) {
    for (const TSocketError& E : SocketErrors)
        if (E.Code == Code) return E.Text;
    return nullptr;
}
