#include "net/socks_wsocket.h"

#include "net/wsocket_resolve.h"
#include "net/wsocket_winsock.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace {

std::string TrimSpaces(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return s.substr(b, e - b);
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// The class name that error texts put before an exception's message.
std::string ExceptionClassName(const std::exception& E) {
    if (dynamic_cast<const ESocketException*>(&E)) return "ESocketException";
    return "Exception";
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return s;
}

} // namespace

TCustomSocksWSocket::TCustomSocksWSocket(QObject* AOwner) : TCustomWSocket(AOwner) {
}

TCustomSocksWSocket::~TCustomSocksWSocket() = default;

void TCustomSocksWSocket::AssignDefaultValue() {
    TCustomWSocket::AssignDefaultValue();
    FSocksServer.clear();
    FSocksPort.clear();
    FSocksLevel = "5";
    SocksServerAssigned = false;
    SocksState = socksData;
    SocksRcvCount = 0;
    SocksPendingCount = 0;
    SocksPendingPtr = 0;
    SocksSkipCount = 0;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseException("Can't change socks server if not closed");
        return;
    }
    FSocksServer = TrimSpaces(Value);
    SocksServerAssigned = !FSocksServer.empty();
}

void TCustomSocksWSocket::SetSocksPort(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseException("Can't change socks port if not closed");
        return;
    }
    FSocksPort = TrimSpaces(Value);
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& Value) {
    if (FState != wsClosed) {
        RaiseException("Can't change socks level if not closed");
        return;
    }
    if (Value != "4" && Value != "5" && Value != "4A" && Value != "4a") {
        RaiseException("Invalid socks level. Must be 4, 4A or 5.");
        return;
    }
    FSocksLevel = Upper(Value);
}

std::string TCustomSocksWSocket::SocksRequestTooLong() const {
    const size_t user = FSocksUsercode.size();
    const size_t addr = FAddr.size();
    if (FSocksLevel == "4") {
        // 4, 1, port, address, user id, 0
        if (9 + user > SocksBufSize)
            return "Socks user name too long: at most " + std::to_string(SocksBufSize - 9) +
                   " bytes";
    } else if (FSocksLevel == "4A") {
        // 4, 1, port, 0.0.0.1, user id, 0, host name, 0
        if (10 + user + addr > SocksBufSize)
            return "Socks user name and host name too long: at most " +
                   std::to_string(SocksBufSize - 10) + " bytes together";
    } else {
        // 5, 1, 0, 3, length, host name, port
        if (7 + addr > SocksBufSize)
            return "Socks host name too long: at most " + std::to_string(SocksBufSize - 7) +
                   " bytes";
        // 1, length, user name, length, password
        if (FSocksAuthentication == socksAuthenticateUsercode &&
            3 + user + FSocksPassword.size() > SocksBufSize)
            return "Socks user name and password too long: at most " +
                   std::to_string(SocksBufSize - 3) + " bytes together";
    }
    return {};
}

void TCustomSocksWSocket::Connect() {
    if (!SocksServerAssigned) {
        TCustomWSocket::Connect();
        return;
    }
    if (Lower(FProto) != "tcp") {
        RaiseException("tcp is the only protocol supported thru socks server");
        return;
    }
    // Refuse what the request buffers cannot hold before any byte goes out.
    if (const std::string tooLong = SocksRequestTooLong(); !tooLong.empty()) {
        RaiseException("connect: " + tooLong);
        return;
    }
    try {
        if (!PortResolved) {
            RemoteSin.sin_port = WSocket_htons(quint16(WSocketResolvePort(FSocksPort, FProto)));
            PortResolved = true;
        }
        if (!AddrResolved) {
            RemoteSin.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
            AddrResolved = true;
        }
        PortNum = quint16(WSocketResolvePort(FPort, FProto));
    } catch (const std::exception& E) {
        RaiseException(std::string("connect: ") + E.what());
        return;
    }
    SocksState = socksNegociateMethods;
    SocksRcvCount = 0;
    TCustomWSocket::Connect();
}

void TCustomSocksWSocket::Listen() {
    if (SocksServerAssigned) {
        RaiseException("Listening is not supported thru socks server");
        return;
    }
    TCustomWSocket::Listen();
}

void TCustomSocksWSocket::TriggerSessionConnected(quint16 Error) {
    if (SocksState != socksNegociateMethods) {
        TCustomWSocket::TriggerSessionConnected(Error);
        return;
    }
    TriggerSocksConnected(Error);
    if (Error != 0) {
        TCustomWSocket::TriggerSessionConnected(Error);
        return;
    }
    if (SocksLevelIs4()) {
        SocksDoConnect();
        return;
    }
    SocksAuthMethod = FSocksAuthentication == socksNoAuthentication ? 0 : 2;
    const uint8_t greeting[3] = {5, 1, SocksAuthMethod};
    try {
        Send(greeting, sizeof greeting);
    } catch (const std::exception&) {
        // A failed send closes the socket and reports the close itself.
    }
}

void TCustomSocksWSocket::SocksDoAuthenticate() {
    SocksState = socksAuthenticate;
    TriggerSocksAuthState(socksAuthStart);
    const size_t ulen = FSocksUsercode.size();
    const size_t plen = FSocksPassword.size();
    if (3 + ulen + plen > SocksBufSize) { // changed since Connect checked it
        DataAvailableError(20014, "Socks user name and password too long");
        return;
    }
    std::array<uint8_t, SocksBufSize> buf{};
    size_t n = 0;
    buf[n++] = 1;
    buf[n++] = uint8_t(ulen);
    std::memcpy(&buf[n], FSocksUsercode.data(), ulen);
    n += ulen;
    buf[n++] = uint8_t(plen);
    std::memcpy(&buf[n], FSocksPassword.data(), plen);
    n += plen;
    try {
        Send(buf.data(), int(n));
    } catch (const std::exception&) {
    }
}

void TCustomSocksWSocket::SocksDoConnect() {
    SocksState = socksConnect;
    if (const std::string tooLong = SocksRequestTooLong(); !tooLong.empty()) {
        DataAvailableError(20014, tooLong); // changed since Connect checked it
        return;
    }
    std::array<uint8_t, SocksBufSize> buf{};
    size_t n = 0;
    const quint16 port = WSocket_htons(PortNum);
    if (SocksLevelIs4()) {
        buf[n++] = 4;
        buf[n++] = 1;
        std::memcpy(&buf[n], &port, 2);
        n += 2;
        if (FSocksLevel == "4A") {
            const uint8_t invalidIp[4] = {0, 0, 0, 1};
            std::memcpy(&buf[n], invalidIp, 4);
        } else {
            uint32_t ip = 0;
            try {
                ip = WSocketResolveHost(FAddr);
            } catch (const std::exception& E) {
                // Reported like every other handshake failure: error, connected, closed.
                DataAvailableError(20017, ExceptionClassName(E) + " " + E.what());
                return;
            }
            std::memcpy(&buf[n], &ip, 4);
        }
        n += 4;
        std::memcpy(&buf[n], FSocksUsercode.data(), FSocksUsercode.size());
        n += FSocksUsercode.size();
        buf[n++] = 0;
        if (FSocksLevel == "4A") {
            std::memcpy(&buf[n], FAddr.data(), FAddr.size());
            n += FAddr.size();
            buf[n++] = 0;
        }
    } else {
        buf[n++] = 5;
        buf[n++] = 1;
        buf[n++] = 0;
        buf[n++] = 3;
        buf[n++] = uint8_t(FAddr.size());
        std::memcpy(&buf[n], FAddr.data(), FAddr.size());
        n += FAddr.size();
        std::memcpy(&buf[n], &port, 2);
        n += 2;
    }
    try {
        Send(buf.data(), int(n));
    } catch (const std::exception&) {
    }
}

void TCustomSocksWSocket::DataAvailableError(int ErrCode, const std::string& Msg) {
    TriggerSocksError(ErrCode, Msg);
    SocksState = socksData;
    TriggerSessionConnected(quint16(ErrCode));
    InternalClose(true, quint16(ErrCode));
}

bool TCustomSocksWSocket::SocksDone(int ReplyLen) {
    // Bytes behind the reply are served first, also to a read inside OnSessionConnected.
    SocksPendingCount = ReplyLen > 0 ? SocksRcvCount - ReplyLen : 0;
    SocksPendingPtr = ReplyLen;
    SocksRcvCount = 0;
    SocksState = socksData;
    TriggerSessionConnected(0);
    if (FState != wsConnected) return true; // closed by the handler
    bool Result = TriggerDataAvailable(0);
    // A handler that reads in small pieces gets the rest of those bytes now rather than at
    // the next network notification.
    while (Result && SocksPendingCount > 0 && FState == wsConnected) {
        const int Before = SocksPendingCount;
        Result = TriggerDataAvailable(0);
        if (SocksPendingCount >= Before) break;
    }
    return Result;
}

void TCustomSocksWSocket::SocksReplyError(int ReplyCode) {
    switch (ReplyCode) {
    case 1:
        DataAvailableError(20004, "general SOCKS server failure");
        break;
    case 2:
        DataAvailableError(20005, "connection not allowed by ruleset");
        break;
    case 3:
        DataAvailableError(20006, "network unreachable");
        break;
    case 4:
        DataAvailableError(20007, "host unreachable");
        break;
    case 5:
        DataAvailableError(20008, "connection refused");
        break;
    case 6:
        DataAvailableError(20009, "time to live expired");
        break;
    case 7:
        DataAvailableError(20010, "command not supported");
        break;
    case 8:
        DataAvailableError(20011, "address type not supported");
        break;
    default:
        DataAvailableError(20012, "unassigned error #" + std::to_string(ReplyCode));
        break;
    }
}

bool TCustomSocksWSocket::TriggerDataAvailable(quint16 Error) {
    if (SocksState == socksData) return TCustomWSocket::TriggerDataAvailable(Error);
    if (Error != 0) {
        DataAvailableError(Error, "data receive error");
        return false;
    }
    // Collects reply bytes after those already held; never past the buffer.
    auto collect = [this](int limit) {
        const int room = std::min(limit, SocksBufSize - 1) - SocksRcvCount;
        if (room <= 0) return;
        const int got = Receive(&SocksRcvBuf[SocksRcvCount], room);
        if (got > 0) SocksRcvCount += got;
    };

    switch (SocksState) {
    case socksNegociateMethods:
        collect(SocksBufSize - 1);
        if (SocksLevelIs4()) {
            DataAvailableError(20001, "TWSocket logic error");
            return true;
        }
        if (SocksRcvCount < 2) return true;
        SocksRcvCount = 0;
        if (SocksRcvBuf[0] != 5)
            DataAvailableError(20002, "socks version error");
        else if (SocksRcvBuf[1] == 0) {
            if (SocksAuthMethod == 2) TriggerSocksAuthState(socksAuthNotRequired);
            SocksDoConnect();
        } else if (SocksRcvBuf[1] == 2)
            SocksDoAuthenticate();
        else
            DataAvailableError(20003, "authentification method not acceptable");
        return true;

    case socksAuthenticate:
        collect(SocksBufSize - 1);
        if (SocksRcvCount >= 1 && SocksRcvBuf[0] != 1) {
            DataAvailableError(20002, "socks version error");
            return true;
        }
        if (SocksRcvCount > 2) {
            DataAvailableError(20001, "too much data availaible");
            return true;
        }
        if (SocksRcvCount < 2) return true;
        if (SocksRcvBuf[1] != 0) {
            DataAvailableError(20015, "socks authentication failed");
            return true;
        }
        SocksRcvCount = 0;
        TriggerSocksAuthState(socksAuthSuccess);
        SocksDoConnect();
        return true;

    case socksConnect:
        if (SocksLevelIs4()) {
            collect(8);
            if (SocksRcvCount < 8) return true;
            SocksRcvCount = 0;
            if (SocksRcvBuf[0] != 0) {
                DataAvailableError(20002, "socks version error");
                return true;
            }
            switch (SocksRcvBuf[1]) {
            case 90:
                return SocksDone(0);
            case 91:
                DataAvailableError(20016, "request rejected or failed");
                break;
            case 92:
                DataAvailableError(20008, "connection refused");
                break;
            case 93:
                DataAvailableError(20015, "authentification failed");
                break;
            default:
                DataAvailableError(20012, "unassigned error #" + std::to_string(SocksRcvBuf[1]));
                break;
            }
            return true;
        }
        if (SocksSkipCount > 0) {
            // The rest of a bound address too long for the buffer: drop it as it comes.
            uint8_t scratch[SocksBufSize];
            const int got = Receive(scratch, std::min<int>(SocksSkipCount, sizeof scratch));
            if (got > 0) SocksSkipCount -= got;
            if (SocksSkipCount > 0) return true;
            return SocksDone(0);
        }
        collect(SocksBufSize - 1);
        if (SocksRcvCount >= 1 && SocksRcvBuf[0] != 5) {
            DataAvailableError(20002, "socks version error");
            return true;
        }
        if (SocksRcvCount >= 2 && SocksRcvBuf[1] != 0) {
            SocksReplyError(SocksRcvBuf[1]);
            return true;
        }
        if (SocksRcvCount >= 5) {
            int len = 5;
            if (SocksRcvBuf[3] == 1)
                len = 10;
            else if (SocksRcvBuf[3] == 3)
                len = SocksRcvBuf[4] + 7;
            if (SocksRcvBuf[3] != 1 && SocksRcvBuf[3] != 3) {
                DataAvailableError(20011, "address type not supported");
                return true;
            }
            if (len > SocksBufSize - 1 && SocksRcvCount == SocksBufSize - 1) {
                SocksSkipCount = len - SocksRcvCount;
                SocksRcvCount = 0;
                return true;
            }
            if (SocksRcvCount < len) return true;
            return SocksDone(len);
        }
        return true;

    default:
        DataAvailableError(20013, "internal error");
        return false;
    }
}

void TCustomSocksWSocket::TriggerSessionClosed(quint16 Error) {
    if (SocksState == socksAuthenticate) TriggerSocksAuthState(socksAuthFailure);
    TCustomWSocket::TriggerSessionClosed(Error);
}

int TCustomSocksWSocket::DoRecv(void* Buffer, int BufferSize, int Flags) {
    if (SocksPendingCount > 0) {
        const int n = std::min(BufferSize, SocksPendingCount);
        if (n <= 0) return 0;
        std::memcpy(Buffer, &SocksRcvBuf[SocksPendingPtr], size_t(n));
        SocksPendingPtr += n;
        SocksPendingCount -= n;
        return n;
    }
    return TCustomWSocket::DoRecv(Buffer, BufferSize, Flags);
}

int TCustomSocksWSocket::GetRcvdCount() {
    if (SocksPendingCount > 0) return SocksPendingCount;
    return TCustomWSocket::GetRcvdCount();
}

void TCustomSocksWSocket::TriggerSocksConnected(quint16 Error) {
    if (OnSocksConnected) OnSocksConnected(this, Error);
}

void TCustomSocksWSocket::TriggerSocksError(int Error, const std::string& Msg) {
    if (OnSocksError) OnSocksError(this, Error, Msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState AuthState) {
    if (OnSocksAuthState) OnSocksAuthState(this, AuthState);
}
