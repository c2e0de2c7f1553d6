#pragma once
// One block of a socket's send queue.

#include <memory>

class TBuffer {
public:
    explicit TBuffer(int Size);
    ~TBuffer();
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    void SetBufSize(int Size);
    int Write(const void* Data, int Len);
    int Read(void* Data, int Len);
    // Address of the first unread byte and its count; nullptr and 0 when empty.
    const char* Peek(int& Len) const;
    int Remove(int Len);

    int BufSize() const { return FBufSize; }
    int WritePos() const { return FWritePos; }
    int ReadPos() const { return FReadPos; }

private:
    std::unique_ptr<char[]> Data;
    int FBufSize = 0;
    int FWritePos = 0;
    int FReadPos = 0;
};
