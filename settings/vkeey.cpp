#include "settings/vkeey.h"

TVKeey::TVKeey(QObject* owner) : QObject(owner) {
}

void TVKeey::SetProgrammID(std::int32_t value) {
    if (value >= 1 && value <= 49) FProgrammID = value;
}

std::int32_t TVKeey::StrToAsc(const std::string& text) const {
    return text.empty() ? 0 : static_cast<unsigned char>(text[0]);
}

std::string TVKeey::AscToStr(std::int32_t code) const {
    return std::string(1, static_cast<char>(static_cast<unsigned char>(code & 0xFF)));
}

std::int32_t TVKeey::MakeKey(const std::string& key) const {
    std::int64_t sum = 0;
    for (const char c : key)
        sum += static_cast<unsigned char>(c);
    // Length - 1 is the divisor; a one-character key would divide by zero, so it counts as
    // divided by one and still shifts the text by its own code.
    const std::int64_t divisor = key.size() == 1 ? 1 : static_cast<std::int64_t>(key.size()) - 1;
    return static_cast<std::int32_t>(sum / divisor);
}

std::int32_t TVKeey::GetGeneratedKey() {
    FGeneratedKey = MakeKey(FSchluessel);
    return FGeneratedKey;
}

std::string TVKeey::Shift(const std::string& text, int direction) {
    const std::int64_t k = GetGeneratedKey();
    const std::int64_t p = FProgrammID;
    std::string out;
    out.reserve(text.size());
    // 64-bit so that long texts cannot overflow position times ProgrammID.
    for (std::size_t i = 1; i <= text.size(); ++i) {
        const std::int64_t c = static_cast<unsigned char>(text[i - 1]);
        const std::int64_t v = c + direction * (k + p * static_cast<std::int64_t>(i));
        std::int64_t m = v % 255;
        if (m <= 0) m += 255;
        out += AscToStr(static_cast<std::int32_t>(m));
    }
    return out;
}

std::string TVKeey::Encode(const std::string& text) {
    return Shift(text, 1);
}

std::string TVKeey::Decode(const std::string& text) {
    return Shift(text, -1);
}
