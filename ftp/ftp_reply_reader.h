#pragma once
// TFtpReplyReader: cuts the bytes of an FTP control connection into reply lines.
// The socket receives straight into the reader's buffer (FreeSpace / FreeLength, then Added);
// complete lines are then taken out one at a time (PeekLine, DropLine). Whether a line is a
// final or an intermediate line of a multi-line reply is for the caller to judge: the reader
// only splits.

#include <optional>
#include <string>

class TFtpReplyReader {
public:
    static constexpr int Capacity = 4096;

    // Where the next receive goes and how many bytes it may bring. One byte always stays free
    // for the terminating zero, so a full buffer (a line of Capacity - 1 bytes without its end)
    // asks for 0 bytes.
    char* FreeSpace() { return FBuffer + FLength; }
    int FreeLength() const { return Capacity - FLength - 1; }
    // Count bytes have been received into FreeSpace.
    void Added(int Count);

    // The first complete line, without its line end and any CR or LF before it, or nothing
    // while no line end has arrived. The buffer is read as text up to its first zero byte.
    // With AcceptLF a bare LF ends a line; without it only CR LF does. The line stays in the
    // buffer until DropLine.
    std::optional<std::string> PeekLine(bool AcceptLF);
    // Removes the line PeekLine returned last, with its line end.
    void DropLine();

    int Length() const { return FLength; }
    void Clear();

private:
    char FBuffer[Capacity] = {};
    int FLength = 0;
    // Bytes the line found by PeekLine takes up, line end included.
    int FPeeked = 0;
};
