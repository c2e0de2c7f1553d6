#include "net/wsocket_buffer.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(int Size) {
    SetBufSize(Size);
}

TBuffer::~TBuffer() = default;

void TBuffer::SetBufSize(int Size) {
    if (Size <= 0) Size = 1514;
    if (Size == FBufSize) return;
    if (FWritePos == FReadPos) {
        Data = std::make_unique<char[]>(std::size_t(Size));
        FBufSize = Size;
        FWritePos = FReadPos = 0;
        return;
    }
    // Shrinking below the held bytes keeps what fits.
    auto NewData = std::make_unique<char[]>(std::size_t(Size));
    const int Keep = std::min(FWritePos, Size);
    std::memcpy(NewData.get(), Data.get(), std::size_t(Keep));
    Data = std::move(NewData);
    FBufSize = Size;
    FWritePos = Keep;
    FReadPos = std::min(FReadPos, FWritePos);
}

int TBuffer::Write(const void* Src, int Len) {
    const int N = std::min(FBufSize - FWritePos, Len);
    if (N <= 0) return 0;
    std::memcpy(Data.get() + FWritePos, Src, std::size_t(N));
    FWritePos += N;
    return N;
}

int TBuffer::Read(void* Dst, int Len) {
    const int N = std::min(FWritePos - FReadPos, Len);
    if (N <= 0) return 0;
    std::memcpy(Dst, Data.get() + FReadPos, std::size_t(N));
    FReadPos += N;
    if (FReadPos == FWritePos) FReadPos = FWritePos = 0;
    return N;
}

const char* TBuffer::Peek(int& Len) const {
    if (FWritePos == FReadPos) {
        Len = 0;
        return nullptr;
    }
    Len = FWritePos - FReadPos;
    return Data.get() + FReadPos;
}

int TBuffer::Remove(int Len) {
    const int N = std::min(Len, FWritePos - FReadPos);
    if (N <= 0) return 0;
    FReadPos += N;
    if (FReadPos == FWritePos) FReadPos = FWritePos = 0;
    return N;
}
