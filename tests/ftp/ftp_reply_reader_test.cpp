// The control connection's line splitter on its own: lines cut across reads, the two line-end
// conventions, and a buffer filled to its last byte.

#include "ftp/ftp_reply_reader.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Receives Bytes the way the socket does: straight into the free space.
void Feed(TFtpReplyReader& Reader, const std::string& Bytes) {
    ASSERT_LE(static_cast<int>(Bytes.size()), Reader.FreeLength());
    std::memcpy(Reader.FreeSpace(), Bytes.data(), Bytes.size());
    Reader.Added(static_cast<int>(Bytes.size()));
}

std::vector<std::string> TakeAll(TFtpReplyReader& Reader, bool AcceptLF) {
    std::vector<std::string> Lines;
    while (const auto Line = Reader.PeekLine(AcceptLF)) {
        Lines.push_back(*Line);
        Reader.DropLine();
    }
    return Lines;
}

using Lines = std::vector<std::string>;

} // namespace

TEST(FtpReplyReader, MultiLineReplySplitOverReads) {
    TFtpReplyReader Reader;
    Feed(Reader, "230-Wel");
    EXPECT_EQ(TakeAll(Reader, true), Lines{});
    Feed(Reader, "come\r\n230-more\r\n230 Lo");
    EXPECT_EQ(TakeAll(Reader, true), (Lines{"230-Welcome", "230-more"}));
    EXPECT_EQ(Reader.Length(), 6) << "the unfinished line stays";
    Feed(Reader, "gged in\r\n");
    EXPECT_EQ(TakeAll(Reader, true), Lines{"230 Logged in"});
    EXPECT_EQ(Reader.Length(), 0);
    EXPECT_EQ(Reader.FreeLength(), TFtpReplyReader::Capacity - 1);
}

TEST(FtpReplyReader, LineEnds) {
    // AcceptLF: a bare LF ends a line, and CR CR LF loses both CRs.
    TFtpReplyReader Reader;
    Feed(Reader, "220 Ready.\n331 Password.\r\r\n\n");
    EXPECT_EQ(TakeAll(Reader, true), (Lines{"220 Ready.", "331 Password.", ""}));

    // Without it a bare LF is kept inside the line until CR LF comes, then stripped as well.
    TFtpReplyReader Strict;
    Feed(Strict, "220 Ready.\n");
    EXPECT_EQ(TakeAll(Strict, false), Lines{});
    Feed(Strict, "\r\n230 a\nb\r\r\n");
    EXPECT_EQ(TakeAll(Strict, false), (Lines{"220 Ready.", "230 a\nb"}));
}

TEST(FtpReplyReader, PeekedLineStaysUntilDropped) {
    TFtpReplyReader Reader;
    Feed(Reader, "200 A\r\n200 B\r\n");
    EXPECT_EQ(Reader.PeekLine(true), "200 A");
    EXPECT_EQ(Reader.PeekLine(true), "200 A");
    Reader.DropLine();
    EXPECT_EQ(Reader.PeekLine(true), "200 B");
    Reader.Clear();
    EXPECT_EQ(Reader.PeekLine(true), std::nullopt);
    EXPECT_EQ(Reader.Length(), 0);
}

TEST(FtpReplyReader, BufferFilledToItsLastByte) {
    // The longest line that fits: its LF lands on the last usable byte.
    TFtpReplyReader Reader;
    const std::string Longest = "220 " + std::string(TFtpReplyReader::Capacity - 6, 'x');
    Feed(Reader, Longest + "\n");
    EXPECT_EQ(Reader.FreeLength(), 0);
    EXPECT_EQ(TakeAll(Reader, true), Lines{Longest});
    EXPECT_EQ(Reader.FreeLength(), TFtpReplyReader::Capacity - 1);

    // One byte more and no line end fits: the buffer is full, the next read may bring nothing.
    Feed(Reader, Longest + "y");
    EXPECT_EQ(Reader.FreeLength(), 0);
    EXPECT_EQ(Reader.PeekLine(true), std::nullopt);

    // A zero byte ends the text: a line end behind it is not seen.
    TFtpReplyReader Zero;
    Feed(Zero, std::string("220 a\0b\r\n", 9));
    EXPECT_EQ(Zero.PeekLine(true), std::nullopt);
}
