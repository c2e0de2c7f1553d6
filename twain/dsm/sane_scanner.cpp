#include "twain/dsm/sane_scanner.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <thread>

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
constexpr std::size_t kReadBytes = 256 * 1024;

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

DibPacker::DibPacker(const SANE_Parameters& p, int dpi) : p_(p) {
    if ((p.format != SANE_FRAME_GRAY && p.format != SANE_FRAME_RGB) ||
        (p.depth != 1 && p.depth != 8 && p.depth != 16) || p.pixels_per_line <= 0 ||
        p.bytes_per_line <= 0)
        throw SaneError(SANE_STATUS_UNSUPPORTED);
    const int channels = p.format == SANE_FRAME_RGB ? 3 : 1;
    bits_ = channels == 3 ? 24 : (p.depth == 1 ? 1 : 8);
    const std::size_t width = static_cast<std::size_t>(p.pixels_per_line);
    const std::size_t bitsPerSource = static_cast<std::size_t>(channels) * p.depth;
    if (static_cast<std::size_t>(p.bytes_per_line) < (width * bitsPerSource + 7) / 8)
        throw SaneError(SANE_STATUS_UNSUPPORTED);
    const int colours = bits_ == 24 ? 0 : (bits_ == 1 ? 2 : 256);
    stride_ = (width * static_cast<std::size_t>(bits_) + 31) / 32 * 4;
    pixelOffset_ = kInfoHeaderSize + static_cast<std::size_t>(colours) * 4;

    // An unknown length starts at about 4 MiB of rows.
    reserve(p.lines > 0 ? static_cast<std::size_t>(p.lines)
                        : std::max<std::size_t>(16, (std::size_t{4} << 20) / stride_));
    const TwGlobalLocked locked(block_.get());
    auto* const h = static_cast<std::uint8_t*>(locked.data());
    const auto perMetre = static_cast<std::uint32_t>(std::lround(dpi / 0.0254));
    Put32(h, kInfoHeaderSize);
    Put32(h + 4, static_cast<std::uint32_t>(width));
    Put16(h + 12, 1);
    Put16(h + 14, static_cast<std::uint16_t>(bits_));
    Put32(h + 24, perMetre);
    Put32(h + 28, perMetre);
    Put32(h + 32, static_cast<std::uint32_t>(colours));
    for (int i = 0; i < colours; ++i) {
        const auto v = static_cast<std::uint8_t>(colours == 2 ? i * 255 : i);
        std::uint8_t* e = h + kInfoHeaderSize + i * 4;
        e[0] = e[1] = e[2] = v;
    }
}

// Rows live at the end of the pixel area, the first scanned row last: growing moves the rows
// already packed to the end of the larger block in one piece.
void DibPacker::reserve(std::size_t rows) {
    if (rows > (SIZE_MAX - pixelOffset_) / stride_) throw SaneError(SANE_STATUS_NO_MEM);
    TwGlobalBlock bigger(GMEM_MOVEABLE | GMEM_ZEROINIT, pixelOffset_ + rows * stride_);
    if (!bigger) throw SaneError(SANE_STATUS_NO_MEM);
    if (block_) {
        const TwGlobalLocked to(bigger.get()), from(block_.get());
        auto* const src = static_cast<const std::uint8_t*>(from.data());
        auto* const dst = static_cast<std::uint8_t*>(to.data());
        std::memcpy(dst, src, pixelOffset_);
        std::memcpy(dst + pixelOffset_ + (rows - capacity_) * stride_, src + pixelOffset_,
                    capacity_ * stride_);
    }
    block_ = std::move(bigger);
    capacity_ = rows;
}

void DibPacker::packRow(const std::uint8_t* src, std::uint8_t* dst) const {
    const auto width = static_cast<std::size_t>(p_.pixels_per_line);
    if (p_.depth == 8) {
        if (bits_ == 24) {
            // A word at a time: RGB and the next byte, reversed, is BGR; the stray fourth byte
            // is overwritten by the next pixel, so the last one goes byte by byte.
            for (std::size_t x = 1; x < width; ++x, src += 3, dst += 3) {
                std::uint32_t v;
                std::memcpy(&v, src, 4);
                if constexpr (std::endian::native == std::endian::little)
                    v = __builtin_bswap32(v) >> 8;
                else
                    v = __builtin_bswap32(v) << 8;
                std::memcpy(dst, &v, 4);
            }
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        } else {
            std::memcpy(dst, src, width);
        }
        return;
    }
    auto sample = [&](std::size_t i) -> std::uint8_t {
        if (p_.depth == 16) {
            std::uint16_t v;
            std::memcpy(&v, src + 2 * i, 2); // SANE sends 16-bit samples in host order
            return static_cast<std::uint8_t>(v >> 8);
        }
        const bool set = (src[i / 8] >> (7 - i % 8)) & 1;
        // In grey line art a set bit is black; in colour it is full intensity.
        return (set != (bits_ == 1)) ? 255 : 0;
    };
    if (bits_ == 24) {
        for (std::size_t x = 0; x < width; ++x) {
            dst[3 * x] = sample(3 * x + 2);
            dst[3 * x + 1] = sample(3 * x + 1);
            dst[3 * x + 2] = sample(3 * x);
        }
    } else if (bits_ == 8) {
        for (std::size_t x = 0; x < width; ++x)
            dst[x] = sample(x);
    } else {
        for (std::size_t x = 0; x < width; ++x)
            if (sample(x)) dst[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
    }
}

void DibPacker::add(const std::uint8_t* lines, std::size_t count) {
    if (count == 0) return;
    if (count > capacity_ - rows_) {
        std::size_t rows = capacity_;
        while (count > rows - rows_) {
            if (rows > SIZE_MAX / 2) throw SaneError(SANE_STATUS_NO_MEM);
            rows *= 2;
        }
        reserve(rows);
    }
    const TwGlobalLocked locked(block_.get());
    auto* const pixels = static_cast<std::uint8_t*>(locked.data()) + pixelOffset_;
    const auto bpl = static_cast<std::size_t>(p_.bytes_per_line);
    for (std::size_t i = 0; i < count; ++i, ++rows_)
        packRow(lines + i * bpl, pixels + (capacity_ - 1 - rows_) * stride_);
}

TwGlobalBlock DibPacker::finish() {
    if (rows_ == 0) throw SaneError(SANE_STATUS_IO_ERROR);
    if (rows_ < capacity_) {
        // Short of the announced length: the rows sit at the end of the pixel area.
        TwGlobalBlock exact(GMEM_MOVEABLE, pixelOffset_ + rows_ * stride_);
        if (!exact) throw SaneError(SANE_STATUS_NO_MEM);
        {
            const TwGlobalLocked to(exact.get()), from(block_.get());
            auto* const src = static_cast<const std::uint8_t*>(from.data());
            auto* const dst = static_cast<std::uint8_t*>(to.data());
            std::memcpy(dst, src, pixelOffset_);
            std::memcpy(dst + pixelOffset_, src + pixelOffset_ + (capacity_ - rows_) * stride_,
                        rows_ * stride_);
        }
        block_ = std::move(exact);
        capacity_ = rows_;
    }
    {
        const TwGlobalLocked locked(block_.get());
        auto* const h = static_cast<std::uint8_t*>(locked.data());
        Put32(h + 8, static_cast<std::uint32_t>(rows_)); // positive: bottom-up
        Put32(h + 20, static_cast<std::uint32_t>(rows_ * stride_));
    }
    return std::move(block_);
}

Dib PackDib(const SANE_Parameters& p, int lines, const std::uint8_t* data, int dpi) {
    if (lines <= 0) throw SaneError(SANE_STATUS_UNSUPPORTED);
    DibPacker packer(p, dpi);
    packer.add(data, static_cast<std::size_t>(lines));
    const TwGlobalBlock block = packer.finish();
    const TwGlobalLocked locked(block.get());
    const auto* const bytes = static_cast<const std::uint8_t*>(locked.data());
    return Dib(bytes, bytes + block.size());
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

TwGlobalBlock SaneScanner::scan(std::atomic<int>& progress) {
    const std::lock_guard lock(SaneMutex());
    progress = 0;
    if (cancelled_) throw SaneError(SANE_STATUS_CANCELLED);
    const int dpi = [&] {
        const Option o = find(SANE_NAME_SCAN_RESOLUTION);
        return o ? static_cast<int>(std::lround(number(o))) : 0;
    }();
    SANE_Status st = sane_start(h_);
    {
        const std::lock_guard cancelLock(cancelMutex_);
        startedAt_ = Clock::now().time_since_epoch().count();
    }
    // Every started scan ends with sane_cancel, which also brings the device back to idle.
    struct End {
        SaneScanner* s;
        bool early = true; // at EOF the backend has ended its reader itself
        ~End() { s->endScan(early); }
    } end{this};
    if (st != SANE_STATUS_GOOD) throw SaneError(st);
    // A cancel() that came before startedAt_ was set left this to us.
    if (cancelled_) throw SaneError(SANE_STATUS_CANCELLED);
    SANE_Parameters p{};
    st = sane_get_parameters(h_, &p);
    if (st != SANE_STATUS_GOOD) throw SaneError(st);
    if (!p.last_frame || p.bytes_per_line <= 0) throw SaneError(SANE_STATUS_UNSUPPORTED);
    DibPacker packer(p, dpi);
    const auto bpl = static_cast<std::size_t>(p.bytes_per_line);
    const auto total = p.lines > 0 ? bpl * static_cast<std::size_t>(p.lines) : 0;
    // Large reads, whole lines packed straight from the buffer; a split line waits at its start.
    std::vector<std::uint8_t> buf(std::max<std::size_t>(1, kReadBytes / bpl) * bpl);
    std::size_t held = 0, received = 0;
    for (;;) {
        SANE_Int len = 0;
        const auto room = static_cast<SANE_Int>(std::min<std::size_t>(buf.size() - held, INT_MAX));
        st = sane_read(h_, buf.data() + held, room, &len);
        if (st == SANE_STATUS_EOF) {
            end.early = false;
            break;
        }
        if (cancelled_) throw SaneError(SANE_STATUS_CANCELLED);
        if (st != SANE_STATUS_GOOD) throw SaneError(st);
        held += static_cast<std::size_t>(len);
        received += static_cast<std::size_t>(len);
        const std::size_t whole = held / bpl;
        packer.add(buf.data(), whole);
        held -= whole * bpl;
        if (whole > 0 && held > 0) std::memmove(buf.data(), buf.data() + whole * bpl, held);
        if (total > 0) progress = static_cast<int>(std::min(received, total) * 1000 / total);
    }
    if (cancelled_) throw SaneError(SANE_STATUS_CANCELLED);
    TwGlobalBlock dib = packer.finish();
    progress = 1000;
    return dib;
}

void SaneScanner::endScan(bool early) {
    const std::lock_guard lock(cancelMutex_);
    if (early)
        std::this_thread::sleep_until(Clock::time_point(Clock::duration(startedAt_)) +
                                      kReaderStart);
    startedAt_ = 0;
    sane_cancel(h_);
}

void SaneScanner::cancel() {
    cancelled_ = true;
    const std::lock_guard lock(cancelMutex_);
    const Clock::rep started = startedAt_;
    // Not started yet: scan() sees the flag. Started: a blocking read needs sane_cancel.
    if (started == 0) return;
    std::this_thread::sleep_until(Clock::time_point(Clock::duration(started)) + kReaderStart);
    sane_cancel(h_);
}

} // namespace dsm
