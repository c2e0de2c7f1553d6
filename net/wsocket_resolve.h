#pragma once
// Blocking name, port and protocol resolution, and the local host's name and addresses.
// Every failure raises ESocketException.

#include "net/platform/socket_api.h"

#include <optional>
#include <string>
#include <vector>

// S without its leading and trailing blanks, as every name, port and protocol is taken.
std::string WSocketTrim(const std::string& S);

bool WSocketIsDottedIP(const std::string& S);
// Address in network order.
quint32 WSocketResolveHost(const std::string& InAddr);
// Port in host order (callers use the low 16 bits).
int WSocketResolvePort(const std::string& Port, const std::string& Proto);
int WSocketResolveProto(const std::string& Proto);
std::optional<THostEnt> WSocketGetHostByName(const std::string& Name);
std::optional<THostEnt> WSocketGetHostByAddr(const std::string& Addr);
std::string WSocketResolveIp(const std::string& IpAddr);
std::string LocalHostName();
// The module's list, refilled by every call.
const std::vector<std::string>& LocalIPList();
