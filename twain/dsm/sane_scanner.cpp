#include "twain/dsm/sane_scanner.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace dsm {

namespace {

// Constant-initialised, so they outlive the manager's own statics at exit.
std::mutex gUseMutex;
std::mutex gSaneMutex;
int gUsers = 0;
bool gInitialised = false;

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool Contains(const std::string& s, const char* part) {
    return s.find(part) != std::string::npos;
}

void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, static_cast<std::uint16_t>(v));
    Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

constexpr std::size_t kInfoHeaderSize = 40;

} // namespace

SaneUse::SaneUse() {
    const std::lock_guard lock(gUseMutex);
    if (gUsers++ == 0) {
        SANE_Int version = 0;
        const std::lock_guard sane(SaneMutex());
        gInitialised = sane_init(&version, nullptr) == SANE_STATUS_GOOD;
    }
}

SaneUse::~SaneUse() {
    const std::lock_guard lock(gUseMutex);
    if (--gUsers == 0 && gInitialised) {
        const std::lock_guard sane(SaneMutex());
        sane_exit();
        gInitialised = false;
    }
}

std::mutex& SaneMutex() {
    return gSaneMutex;
}

SaneError::SaneError(SANE_Status status)
    : std::runtime_error(sane_strstatus(status)), status_(status) {
}

std::vector<SaneDevice> ListDevices() {
    const std::lock_guard lock(SaneMutex());
    const SANE_Device** list = nullptr;
    const SANE_Status st = sane_get_devices(&list, SANE_FALSE);
    if (st != SANE_STATUS_GOOD) throw SaneError(st);
    std::vector<SaneDevice> out;
    for (; list && *list; ++list) {
        const SANE_Device* d = *list;
        out.push_back(
            {d->name ? d->name : "", d->vendor ? d->vendor : "", d->model ? d->model : ""});
    }
    return out;
}

std::string ColourMode(const std::vector<std::string>& modes) {
    std::string best;
    int bestScore = -1;
    for (const auto& m : modes) {
        const std::string l = Lower(m);
        if (!(Contains(l, "color") || Contains(l, "colour") || l == "rgb")) continue;
        if (Contains(l, "lineart") || Contains(l, "halftone") || Contains(l, "dither")) continue;
        // Plain "Color" beats "24bit Color", which beats deeper modes we would only cut down.
        int score = 100 - static_cast<int>(l.size());
        if (Contains(l, "48") || Contains(l, "16")) score -= 50;
        if (score > bestScore) {
            bestScore = score;
            best = m;
        }
    }
    return best;
}

Dib PackDib(const SANE_Parameters& p, int lines, const std::uint8_t* data, int dpi) {
    if ((p.format != SANE_FRAME_GRAY && p.format != SANE_FRAME_RGB) ||
        (p.depth != 1 && p.depth != 8 && p.depth != 16) || p.pixels_per_line <= 0 || lines <= 0)
        throw SaneError(SANE_STATUS_UNSUPPORTED);
    const int channels = p.format == SANE_FRAME_RGB ? 3 : 1;
    const int bits = channels == 3 ? 24 : (p.depth == 1 ? 1 : 8);
    const int colours = bits == 24 ? 0 : (bits == 1 ? 2 : 256);
    const std::size_t width = static_cast<std::size_t>(p.pixels_per_line);
    const std::size_t stride = (width * bits + 31) / 32 * 4;
    const std::size_t tableBytes = static_cast<std::size_t>(colours) * 4;
    const std::size_t imageBytes = stride * static_cast<std::size_t>(lines);

    Dib dib(kInfoHeaderSize + tableBytes + imageBytes, 0);
    std::uint8_t* h = dib.data();
    const auto perMetre = static_cast<std::uint32_t>(std::lround(dpi / 0.0254));
    Put32(h, kInfoHeaderSize);
    Put32(h + 4, static_cast<std::uint32_t>(width));
    Put32(h + 8, static_cast<std::uint32_t>(lines)); // positive: bottom-up
    Put16(h + 12, 1);
    Put16(h + 14, static_cast<std::uint16_t>(bits));
    Put32(h + 20, static_cast<std::uint32_t>(imageBytes));
    Put32(h + 24, perMetre);
    Put32(h + 28, perMetre);
    Put32(h + 32, static_cast<std::uint32_t>(colours));
    for (int i = 0; i < colours; ++i) {
        const auto v = static_cast<std::uint8_t>(colours == 2 ? i * 255 : i);
        std::uint8_t* e = h + kInfoHeaderSize + i * 4;
        e[0] = e[1] = e[2] = v;
    }

    const auto bpl = static_cast<std::size_t>(p.bytes_per_line);
    auto sample = [&](const std::uint8_t* row, std::size_t i) -> std::uint8_t {
        if (p.depth == 8) return row[i];
        if (p.depth == 16) {
            std::uint16_t v;
            std::memcpy(&v, row + 2 * i, 2); // SANE sends 16-bit samples in host order
            return static_cast<std::uint8_t>(v >> 8);
        }
        const bool set = (row[i / 8] >> (7 - i % 8)) & 1;
        // In grey line art a set bit is black; in colour it is full intensity.
        return (set != (channels == 1)) ? 255 : 0;
    };

    std::uint8_t* pixels = h + kInfoHeaderSize + tableBytes;
    for (int y = 0; y < lines; ++y) {
        const std::uint8_t* src = data + static_cast<std::size_t>(y) * bpl;
        std::uint8_t* dst = pixels + static_cast<std::size_t>(lines - 1 - y) * stride;
        if (bits == 24) {
            for (std::size_t x = 0; x < width; ++x) {
                dst[3 * x] = sample(src, 3 * x + 2);
                dst[3 * x + 1] = sample(src, 3 * x + 1);
                dst[3 * x + 2] = sample(src, 3 * x);
            }
        } else if (bits == 8) {
            for (std::size_t x = 0; x < width; ++x)
                dst[x] = sample(src, x);
        } else {
            for (std::size_t x = 0; x < width; ++x)
                if (sample(src, x)) dst[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
    }
    return dib;
}

SaneScanner::SaneScanner(const std::string& name) : name_(name) {
    const std::lock_guard lock(SaneMutex());
    const SANE_Status st = sane_open(name.c_str(), &h_);
    if (st != SANE_STATUS_GOOD) {
        h_ = nullptr;
        throw SaneError(st);
    }
}

SaneScanner::~SaneScanner() {
    const std::lock_guard lock(SaneMutex());
    sane_close(h_);
}

SaneScanner::Option SaneScanner::find(const char* optName) {
    for (SANE_Int i = 1;; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(h_, i);
        if (!d) return {};
        if (d->name && std::strcmp(d->name, optName) == 0) return {i, d};
    }
}

std::vector<std::string> SaneScanner::modes() {
    const std::lock_guard lock(SaneMutex());
    std::vector<std::string> out;
    const Option o = find(SANE_NAME_SCAN_MODE);
    if (o && o.d->constraint_type == SANE_CONSTRAINT_STRING_LIST)
        for (const SANE_String_Const* s = o.d->constraint.string_list; *s; ++s)
            out.emplace_back(*s);
    return out;
}

std::string SaneScanner::mode() {
    const std::lock_guard lock(SaneMutex());
    const Option o = find(SANE_NAME_SCAN_MODE);
    if (!o || o.d->type != SANE_TYPE_STRING || !SANE_OPTION_IS_ACTIVE(o.d->cap)) return {};
    std::vector<char> buf(static_cast<std::size_t>(o.d->size) + 1, 0);
    if (sane_control_option(h_, o.index, SANE_ACTION_GET_VALUE, buf.data(), nullptr) !=
        SANE_STATUS_GOOD)
        return {};
    return buf.data();
}

double SaneScanner::number(const Option& o) {
    SANE_Word w = 0;
    if (o.d->size != sizeof(SANE_Word) ||
        sane_control_option(h_, o.index, SANE_ACTION_GET_VALUE, &w, nullptr) != SANE_STATUS_GOOD)
        return 0;
    return o.d->type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : w;
}

int SaneScanner::resolution() {
    const std::lock_guard lock(SaneMutex());
    const Option o = find(SANE_NAME_SCAN_RESOLUTION);
    return o ? static_cast<int>(std::lround(number(o))) : 0;
}

std::vector<int> SaneScanner::resolutions() {
    const std::lock_guard lock(SaneMutex());
    std::vector<int> out;
    const Option o = find(SANE_NAME_SCAN_RESOLUTION);
    if (!o) return out;
    auto value = [&](SANE_Word w) {
        return static_cast<int>(std::lround(o.d->type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : w));
    };
    if (o.d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
        const SANE_Word* list = o.d->constraint.word_list;
        for (SANE_Word i = 1; i <= list[0]; ++i)
            out.push_back(value(list[i]));
    } else if (o.d->constraint_type == SANE_CONSTRAINT_RANGE) {
        const int lo = value(o.d->constraint.range->min), hi = value(o.d->constraint.range->max);
        for (const int dpi : {50, 75, 100, 150, 200, 300, 400, 600, 1200, 2400, 4800})
            if (dpi >= lo && dpi <= hi) out.push_back(dpi);
        if (out.empty()) out.push_back(lo);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void SaneScanner::setString(const char* optName, const std::string& value) {
    const Option o = find(optName);
    if (!o || o.d->type != SANE_TYPE_STRING || !SANE_OPTION_IS_ACTIVE(o.d->cap) ||
        !SANE_OPTION_IS_SETTABLE(o.d->cap))
        return;
    std::vector<char> buf(
        std::max<std::size_t>(static_cast<std::size_t>(o.d->size), value.size() + 1), 0);
    std::memcpy(buf.data(), value.data(), value.size());
    const SANE_Status st =
        sane_control_option(h_, o.index, SANE_ACTION_SET_VALUE, buf.data(), nullptr);
    if (st != SANE_STATUS_GOOD) throw SaneError(st);
}

void SaneScanner::setNumber(const char* optName, double value) {
    const Option o = find(optName);
    if (!o || (o.d->type != SANE_TYPE_INT && o.d->type != SANE_TYPE_FIXED) ||
        o.d->size != sizeof(SANE_Word) || !SANE_OPTION_IS_ACTIVE(o.d->cap) ||
        !SANE_OPTION_IS_SETTABLE(o.d->cap))
        return;
    const auto unfix = [&](SANE_Word w) {
        return o.d->type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : w;
    };
    if (o.d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
        // The nearest allowed value.
        const SANE_Word* list = o.d->constraint.word_list;
        double best = value;
        for (SANE_Word i = 1; i <= list[0]; ++i)
            if (i == 1 || std::abs(unfix(list[i]) - value) < std::abs(best - value))
                best = unfix(list[i]);
        value = best;
    } else if (o.d->constraint_type == SANE_CONSTRAINT_RANGE) {
        value =
            std::clamp(value, unfix(o.d->constraint.range->min), unfix(o.d->constraint.range->max));
    }
    SANE_Word w =
        o.d->type == SANE_TYPE_FIXED ? SANE_FIX(value) : static_cast<SANE_Word>(std::lround(value));
    const SANE_Status st = sane_control_option(h_, o.index, SANE_ACTION_SET_VALUE, &w, nullptr);
    if (st != SANE_STATUS_GOOD) throw SaneError(st);
}

void SaneScanner::setToLimit(const char* optName, bool maximum) {
    const Option o = find(optName);
    if (!o || o.d->constraint_type != SANE_CONSTRAINT_RANGE) return;
    const SANE_Word w = maximum ? o.d->constraint.range->max : o.d->constraint.range->min;
    setNumber(optName, o.d->type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : w);
}

void SaneScanner::prepare(const ScanSettings& s) {
    const std::lock_guard lock(SaneMutex());
    if (cancelled_) throw SaneError(SANE_STATUS_CANCELLED);
    if (!s.mode.empty()) setString(SANE_NAME_SCAN_MODE, s.mode);
    // We hand over 8-bit samples; a deeper default only costs time.
    if (const Option depth = find(SANE_NAME_BIT_DEPTH);
        depth && depth.d->constraint_type == SANE_CONSTRAINT_WORD_LIST && number(depth) > 8) {
        const SANE_Word* list = depth.d->constraint.word_list;
        if (std::find(list + 1, list + 1 + list[0], 8) != list + 1 + list[0])
            setNumber(SANE_NAME_BIT_DEPTH, 8);
    }
    if (s.dpi > 0) setNumber(SANE_NAME_SCAN_RESOLUTION, s.dpi);
    setToLimit(SANE_NAME_SCAN_TL_X, false);
    setToLimit(SANE_NAME_SCAN_TL_Y, false);
    setToLimit(SANE_NAME_SCAN_BR_X, true);
    setToLimit(SANE_NAME_SCAN_BR_Y, true);
}

Dib SaneScanner::scan(std::atomic<int>& progress) {
    const std::lock_guard lock(SaneMutex());
    progress = 0;
    if (cancelled_) throw SaneError(SANE_STATUS_CANCELLED);
    const int dpi = [&] {
        const Option o = find(SANE_NAME_SCAN_RESOLUTION);
        return o ? static_cast<int>(std::lround(number(o))) : 0;
    }();
    SANE_Status st = sane_start(h_);
    // Every started scan ends with sane_cancel, which also brings the device back to idle.
    struct End {
        SANE_Handle h;
        ~End() { sane_cancel(h); }
    } end{h_};
    if (st != SANE_STATUS_GOOD) throw SaneError(st);
    SANE_Parameters p{};
    st = sane_get_parameters(h_, &p);
    if (st != SANE_STATUS_GOOD) throw SaneError(st);
    if (!p.last_frame || p.bytes_per_line <= 0) throw SaneError(SANE_STATUS_UNSUPPORTED);
    const auto total = p.lines > 0 ? static_cast<std::size_t>(p.bytes_per_line) * p.lines : 0;
    std::vector<std::uint8_t> raw;
    raw.reserve(total);
    std::vector<std::uint8_t> buf(64 * 1024);
    for (;;) {
        SANE_Int len = 0;
        st = sane_read(h_, buf.data(), static_cast<SANE_Int>(buf.size()), &len);
        if (st == SANE_STATUS_EOF) break;
        if (cancelled_) throw SaneError(SANE_STATUS_CANCELLED);
        if (st != SANE_STATUS_GOOD) throw SaneError(st);
        raw.insert(raw.end(), buf.begin(), buf.begin() + len);
        if (total > 0)
            progress = static_cast<int>(std::min<std::size_t>(raw.size(), total) * 1000 / total);
    }
    if (cancelled_) throw SaneError(SANE_STATUS_CANCELLED);
    const int lines = static_cast<int>(raw.size() / static_cast<std::size_t>(p.bytes_per_line));
    if (lines == 0) throw SaneError(SANE_STATUS_IO_ERROR);
    progress = 1000;
    return PackDib(p, lines, raw.data(), dpi);
}

void SaneScanner::cancel() {
    cancelled_ = true;
    sane_cancel(h_);
}

} // namespace dsm
