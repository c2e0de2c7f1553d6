#pragma once
// Helpers shared by the files that implement TCustomFtpCli; not part of its interface.

#include <QtGlobal>
#include <exception>
#include <string>

namespace ftpcli_internal {

// A socket error as the reply-like texts show it: its description and its number.
std::string ErrorText(quint16 Error);
// The class name that texts about a caught exception give.
std::string ExceptionClassName(const std::exception& E);
// Equal but for the case of ASCII letters.
bool SameText(const std::string& A, const char* B);
inline bool IsDigit(char C) {
    return C >= '0' && C <= '9';
}

} // namespace ftpcli_internal
