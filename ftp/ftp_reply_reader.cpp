#include "ftp/ftp_reply_reader.h"

#include <cstring>

void TFtpReplyReader::Added(int Count) {
    FLength += Count;
    FBuffer[FLength] = 0;
}

std::optional<std::string> TFtpReplyReader::PeekLine(bool AcceptLF) {
    const char* End = AcceptLF ? std::strchr(FBuffer, '\n') : std::strstr(FBuffer, "\r\n");
    const int EndLength = AcceptLF ? 1 : 2;
    if (End == nullptr || End - FBuffer >= FLength) return std::nullopt;
    const int LineLength = static_cast<int>(End - FBuffer);
    FPeeked = LineLength + EndLength;
    std::string Line(FBuffer, static_cast<std::size_t>(LineLength));
    // Under AcceptLF a line ending in CR CR LF loses all of them.
    while (!Line.empty() && (Line.back() == '\r' || Line.back() == '\n'))
        Line.pop_back();
    return Line;
}

void TFtpReplyReader::DropLine() {
    FLength -= FPeeked;
    if (FLength > 0) {
        // The terminating zero moves along.
        std::memmove(FBuffer, FBuffer + FPeeked, static_cast<std::size_t>(FLength) + 1);
    } else {
        FLength = 0;
        FBuffer[0] = 0;
    }
    FPeeked = 0;
}

void TFtpReplyReader::Clear() {
    FLength = 0;
    FBuffer[0] = 0;
    FPeeked = 0;
}
