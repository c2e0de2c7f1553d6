#pragma once

#include <optional>
#include <string>

// A value whose every byte follows from its number, so that a torn one cannot pass for whole.
// It holds bytes outside printable ASCII and is therefore stored as hex(1).
inline std::string ChurnValue(long k) {
    std::string v = "k=" + std::to_string(k) + ";";
    for (int i = 0; i < 3000; ++i)
        v += static_cast<char>(1 + (k * 7 + i) % 254);
    return v + ";end";
}

// The number of a whole ChurnValue, nullopt for anything else.
inline std::optional<long> ChurnNumber(const std::string& v) {
    if (v.rfind("k=", 0) != 0) return std::nullopt;
    const auto semi = v.find(';');
    if (semi == std::string::npos) return std::nullopt;
    try {
        const long k = std::stol(v.substr(2, semi - 2));
        if (ChurnValue(k) == v) return k;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}
