#pragma once

// Movable global memory blocks, as TWAIN hands capability containers and native images between
// application and source. A handle stays valid while the block moves nowhere; locking returns
// the data and counts, unlocking uncounts. Allocation failure is a null handle, never a throw.

#include "twain/twain.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

inline constexpr TW_UINT32 GMEM_MOVEABLE = 0x0002;
inline constexpr TW_UINT32 GMEM_ZEROINIT = 0x0040;

namespace twain_memory_detail {
inline constexpr std::uint32_t kMagic = 0x54574d42; // "TWMB"
struct alignas(16) Header {
    std::uint32_t magic;
    std::uint32_t locks;
    std::size_t size;
};
inline Header* header(TW_HANDLE h) {
    auto* const head = static_cast<Header*>(h);
    return head && head->magic == kMagic ? head : nullptr;
}
} // namespace twain_memory_detail

inline TW_HANDLE TwGlobalAlloc(TW_UINT32 flags, std::size_t bytes) {
    using twain_memory_detail::Header;
    if (bytes > SIZE_MAX - sizeof(Header)) return nullptr;
    void* const raw = (flags & GMEM_ZEROINIT) ? std::calloc(1, sizeof(Header) + bytes)
                                              : std::malloc(sizeof(Header) + bytes);
    if (!raw) return nullptr;
    auto* const head = static_cast<Header*>(raw);
    head->magic = twain_memory_detail::kMagic;
    head->locks = 0;
    head->size = bytes;
    return head;
}

inline void* TwGlobalLock(TW_HANDLE h) {
    auto* const head = twain_memory_detail::header(h);
    if (!head) return nullptr;
    ++head->locks;
    return head + 1;
}

// True when a lock was released; false for an unlocked block or an invalid handle.
inline bool TwGlobalUnlock(TW_HANDLE h) {
    auto* const head = twain_memory_detail::header(h);
    if (!head || head->locks == 0) return false;
    --head->locks;
    return true;
}

// Returns nullptr on success (also for a null handle), the handle itself when it is not a block.
inline TW_HANDLE TwGlobalFree(TW_HANDLE h) {
    if (!h) return nullptr;
    auto* const head = twain_memory_detail::header(h);
    if (!head) return h;
    head->magic = 0;
    std::free(head);
    return nullptr;
}

inline std::size_t TwGlobalSize(TW_HANDLE h) {
    auto* const head = twain_memory_detail::header(h);
    return head ? head->size : 0;
}

// Owns one block and frees it when it goes.
class TwGlobalBlock {
public:
    TwGlobalBlock() = default;
    explicit TwGlobalBlock(TW_HANDLE h) : FHandle(h) {}
    TwGlobalBlock(TW_UINT32 flags, std::size_t bytes) : FHandle(TwGlobalAlloc(flags, bytes)) {}
    TwGlobalBlock(const TwGlobalBlock&) = delete;
    TwGlobalBlock& operator=(const TwGlobalBlock&) = delete;
    TwGlobalBlock(TwGlobalBlock&& other) noexcept
        : FHandle(std::exchange(other.FHandle, nullptr)) {}
    TwGlobalBlock& operator=(TwGlobalBlock&& other) noexcept {
        if (this != &other) reset(std::exchange(other.FHandle, nullptr));
        return *this;
    }
    ~TwGlobalBlock() { reset(); }

    TW_HANDLE get() const { return FHandle; }
    explicit operator bool() const { return FHandle != nullptr; }
    TW_HANDLE release() { return std::exchange(FHandle, nullptr); }
    void reset(TW_HANDLE h = nullptr) {
        if (FHandle) TwGlobalFree(FHandle);
        FHandle = h;
    }
    std::size_t size() const { return TwGlobalSize(FHandle); }

private:
    TW_HANDLE FHandle = nullptr;
};

// Holds one lock on a block for a scope.
class TwGlobalLocked {
public:
    explicit TwGlobalLocked(TW_HANDLE h) : FHandle(h), FData(TwGlobalLock(h)) {}
    TwGlobalLocked(const TwGlobalLocked&) = delete;
    TwGlobalLocked& operator=(const TwGlobalLocked&) = delete;
    ~TwGlobalLocked() {
        if (FData) TwGlobalUnlock(FHandle);
    }
    void* data() const { return FData; }
    explicit operator bool() const { return FData != nullptr; }

private:
    TW_HANDLE FHandle;
    void* FData;
};
