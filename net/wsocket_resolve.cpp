#include "net/wsocket_resolve.h"

#include "net/wsocket_core.h"
#include "net/wsocket_winsock.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>

namespace {

std::string Format(const char* Fmt, ...) {
    char Buf[1024];
    va_list Args;
    va_start(Args, Fmt);
    std::vsnprintf(Buf, sizeof(Buf), Fmt, Args);
    va_end(Args);
    return Buf;
}

bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

// The decimal number at the start of S (leading spaces skipped), stopping at a non-digit.
int LeadingNumber(const std::string& S) {
    std::size_t I = 0;
    while (I < S.size() && S[I] == ' ')
        ++I;
    long long N = 0;
    while (I < S.size() && IsDigit(S[I])) {
        N = N * 10 + (S[I] - '0');
        if (N > 0x7FFFFFFF) N &= 0x7FFFFFFF; // only the low bits are ever used
        ++I;
    }
    return int(N);
}

std::vector<std::string>& IPList() {
    static std::vector<std::string> List;
    return List;
}

} // namespace

std::string WSocketTrim(const std::string& S) {
    std::size_t B = 0, E = S.size();
    while (B < E && S[B] == ' ')
        ++B;
    while (E > B && S[E - 1] == ' ')
        --E;
    return S.substr(B, E - B);
}

bool WSocketIsDottedIP(const std::string& S) {
    std::size_t I = 0;
    const std::size_t Len = S.size();
    while (I < Len && S[I] == ' ')
        ++I;
    if (I < Len && S[I] == '.') return false;
    int Dots = 0;
    int Group = 0;
    bool Digits = false;
    for (; I < Len; ++I) {
        const char C = S[I];
        if (C == '.') {
            ++Dots;
            if (Dots > 3 || Group > 255 || !Digits || I + 1 >= Len || !IsDigit(S[I + 1]))
                return false;
            Group = 0;
            Digits = false;
        } else if (IsDigit(C)) {
            Group = Group * 10 + (C - '0');
            if (Group > 1000) Group = 1000; // already too large; avoid overflow on long runs
            Digits = true;
        } else {
            while (I < Len && S[I] == ' ')
                ++I;
            if (I < Len) return false;
            break;
        }
    }
    return Dots == 3 && Digits && Group <= 255;
}

quint32 WSocketResolveHost(const std::string& InAddr) {
    if (InAddr.empty() || InAddr.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid Hostname.");
    const std::string Name = WSocketTrim(InAddr);
    if (WSocketIsDottedIP(InAddr)) {
        const quint32 A = WSocket_inet_addr(Name.c_str());
        if (A == INADDR_NONE && Name != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + InAddr + "' Invalid IP address.");
        return A;
    }
    const std::optional<THostEnt> H = WSocket_gethostbyname(Name.c_str());
    if (!H || H->h_addr_list.empty())
        throw ESocketException(
            Format("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                   InAddr.c_str(), WSocket_WSAGetLastError()));
    return H->h_addr_list.front();
}

int WSocketResolvePort(const std::string& Port, const std::string& Proto) {
    if (Port.empty() || Port.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (IsDigit(Port[0])) return LeadingNumber(Port);
    const std::string P = WSocketTrim(Port);
    const std::string Pr = WSocketTrim(Proto);
    const std::optional<TServEnt> S =
        WSocket_getservbyname(P.c_str(), Pr.empty() ? nullptr : Pr.c_str());
    if (!S)
        throw ESocketException(Format("WSocketResolvePort: Cannot convert port '%s', Error #%d",
                                      Port.c_str(), WSocket_WSAGetLastError()));
    return WSocket_ntohs(quint16(S->s_port));
}

int WSocketResolveProto(const std::string& Proto) {
    if (Proto.empty() || Proto.size() >= 32)
        throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    const std::string P = WSocketTrim(Proto);
    if (!P.empty() && IsDigit(P[0])) return LeadingNumber(P);
    const std::optional<TProtoEnt> E = WSocket_getprotobyname(P.c_str());
    if (!E)
        throw ESocketException(
            Format("WSocketResolveProto: Cannot convert protocol '%s', Error #%d", P.c_str(),
                   WSocket_WSAGetLastError()));
    return E->p_proto;
}

std::optional<THostEnt> WSocketGetHostByName(const std::string& Name) {
    if (Name.empty() || Name.size() > 256)
        throw ESocketException("WSocketGetHostByName: Invalid Hostname.");
    return WSocket_gethostbyname(Name.c_str());
}

std::optional<THostEnt> WSocketGetHostByAddr(const std::string& Addr) {
    if (Addr.empty() || Addr.size() > 256)
        throw ESocketException("WSocketGetHostByAddr: Invalid address.");
    const quint32 A = WSocket_inet_addr(Addr.c_str());
    return WSocket_gethostbyaddr(&A, 4, AF_INET);
}

std::string WSocketResolveIp(const std::string& IpAddr) {
    const std::optional<THostEnt> H = WSocketGetHostByAddr(IpAddr);
    return H ? H->h_name : std::string();
}

std::string LocalHostName() {
    char Buf[64] = {};
    if (WSocket_gethostname(Buf, sizeof(Buf)) != 0)
        throw ESocketException("Winsock.GetHostName failed");
    return Buf;
}

const std::vector<std::string>& LocalIPList() {
    std::vector<std::string>& List = IPList();
    List.clear();
    const std::optional<THostEnt> H = WSocketGetHostByName(LocalHostName());
    if (H) {
        for (const quint32 A : H->h_addr_list) {
            in_addr In{};
            In.s_addr = A;
            List.push_back(WSocket_inet_ntoa(In));
        }
    }
    return List;
}
