#pragma once

// A short random name part ("k3x9q0b2aa"): files of this program's own, made side by side by
// any number of uploads, never share a name.

#include <random>
#include <string>

namespace posix {

inline std::string RandomTag(std::size_t Length = 10) {
    static const char Digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::random_device Source; // the kernel's random numbers
    std::uniform_int_distribution<int> Pick(0, 35);
    std::string Tag;
    for (std::size_t I = 0; I < Length; ++I)
        Tag += Digits[Pick(Source)];
    return Tag;
}

} // namespace posix
