#pragma once

// The manager's view of SANE: library lifetime, the device list and one open device.
// Backends are not thread-safe, so every call except sane_cancel runs under SaneMutex(); the
// sane_cancel calls of one scanner are serialised among themselves.

#include "twain/twain_memory.h"

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace dsm {

struct SaneDevice {
    std::string name, vendor, model;
};

// sane_init on the first live instance, sane_exit when the last one goes: the manager holds one
// while open and every worker holds its own, so SANE is never torn down under a running worker.
class SaneUse {
public:
    SaneUse();
    ~SaneUse();
    SaneUse(const SaneUse&) = delete;
    SaneUse& operator=(const SaneUse&) = delete;
};

std::mutex& SaneMutex();

class SaneError : public std::runtime_error {
public:
    SaneError(SANE_Status status, const std::string& text)
        : std::runtime_error(text), status_(status) {}
    explicit SaneError(SANE_Status status);
    SANE_Status status() const { return status_; }

private:
    SANE_Status status_;
};

// May block for seconds (network backends); call it off the user-interface thread where it
// matters. Needs a live SaneUse.
std::vector<SaneDevice> ListDevices();

// The device's colour mode whose spelling best matches "colour" ("Color", "Colour", "24bit Color"
// ...); empty when none looks like one.
std::string ColourMode(const std::vector<std::string>& modes);

struct ScanSettings {
    std::string mode; // the device's own spelling; empty keeps the device's mode
    int dpi = 0;      // 0 keeps the device's resolution
};

// A packed device-independent bitmap: BITMAPINFOHEADER, colour table, bottom-up padded rows.
using Dib = std::vector<std::uint8_t>;

// Packs SANE frame lines (bytes_per_line stride) as they arrive into a movable memory block
// holding a DIB, so the scan is never held twice: RGB to 24-bit BGR, grey to 8-bit with a grey
// table, 1-bit grey to 1-bit with a black/white table; 16-bit samples keep their high byte.
// Rows fill the block from its end, so a frame of the announced length needs no copy; a frame of
// unknown length grows the block by doubling, and a short one is cut to fit at the end.
class DibPacker {
public:
    // Throws SaneError: UNSUPPORTED for other frame formats, NO_MEM when the block is not had.
    DibPacker(const SANE_Parameters& p, int dpi);
    // Packs `count` whole lines.
    void add(const std::uint8_t* lines, std::size_t count);
    std::size_t lines() const { return rows_; }
    // The finished bitmap. Throws SaneError: IO_ERROR without a line, NO_MEM.
    TwGlobalBlock finish();

private:
    void reserve(std::size_t rows);
    void packRow(const std::uint8_t* src, std::uint8_t* dst) const;

    SANE_Parameters p_;
    int bits_;
    std::size_t stride_, pixelOffset_;
    std::size_t capacity_ = 0, rows_ = 0;
    TwGlobalBlock block_;
};

// The whole frame at once, through DibPacker.
Dib PackDib(const SANE_Parameters& p, int lines, const std::uint8_t* data, int dpi);

class SaneScanner {
public:
    explicit SaneScanner(const std::string& name); // throws SaneError
    ~SaneScanner();
    SaneScanner(const SaneScanner&) = delete;
    SaneScanner& operator=(const SaneScanner&) = delete;

    const std::string& name() const { return name_; }
    std::vector<std::string> modes();
    std::vector<int> resolutions();
    std::string mode();
    int resolution();

    // Sets the mode and resolution (nearest allowed) and the scan area to the whole glass.
    // Throws SaneError.
    void prepare(const ScanSettings& s);
    // Scans one frame into a DIB block; progress goes from 0 to 1000. Throws SaneError,
    // CANCELLED after cancel().
    TwGlobalBlock scan(std::atomic<int>& progress);
    // Safe from any thread while prepare() or scan() runs; holds until clearCancel(). Interrupts a
    // running read, which may take until the scan has been started for kReaderStart.
    void cancel();
    void clearCancel() { cancelled_ = false; }

    // Backends that read on a thread cancel it asynchronously in sane_cancel; caught inside
    // malloc while it starts, that thread keeps the allocator's lock and sane_cancel's join waits
    // for ever. So no scan is cancelled sooner than this after sane_start.
    static constexpr std::chrono::milliseconds kReaderStart{250};

private:
    struct Option {
        SANE_Int index = -1;
        const SANE_Option_Descriptor* d = nullptr;
        explicit operator bool() const { return d != nullptr; }
    };
    Option find(const char* optName);
    void setString(const char* optName, const std::string& value);
    void setNumber(const char* optName, double value);
    double number(const Option& o);
    void setToLimit(const char* optName, bool maximum);

    // Stops the started scan; one that ends `early` (before EOF) only once its backend had
    // kReaderStart to start its reader.
    void endScan(bool early);

    SaneUse use_;
    std::string name_;
    SANE_Handle h_ = nullptr;
    std::atomic<bool> cancelled_{false};
    std::mutex cancelMutex_; // one sane_cancel at a time
    using Clock = std::chrono::steady_clock;
    // When the running scan was started; zero while none runs. Written under cancelMutex_.
    std::atomic<Clock::rep> startedAt_{0};
};

} // namespace dsm
