// Send blocks: capacity, positions, and reuse after draining.

#include "net/wsocket_buffer.h"

#include <gtest/gtest.h>
#include <string>

namespace {
std::string Held(const TBuffer& B) {
    int Len = 0;
    const char* P = B.Peek(Len);
    return P ? std::string(P, std::size_t(Len)) : std::string();
}
} // namespace

TEST(Buffer, NonPositiveSizeMeans1514) {
    EXPECT_EQ(TBuffer(0).BufSize(), 1514);
    EXPECT_EQ(TBuffer(-7).BufSize(), 1514);
    EXPECT_EQ(TBuffer(1460).BufSize(), 1460);
}

TEST(Buffer, WriteReadPeekRemove) {
    TBuffer B(8);
    EXPECT_EQ(B.Write("abcdefghij", 10), 8) << "only what fits";
    EXPECT_EQ(B.Write("x", 1), 0) << "a full block takes nothing";
    int Len = -1;
    const char* P = B.Peek(Len);
    ASSERT_NE(P, nullptr);
    EXPECT_EQ(std::string(P, std::size_t(Len)), "abcdefgh");
    char Out[4];
    EXPECT_EQ(B.Read(Out, 3), 3);
    EXPECT_EQ(std::string(Out, 3), "abc");
    EXPECT_EQ(B.ReadPos(), 3);
    EXPECT_EQ(B.Remove(100), 5) << "removes at most what is held";
    EXPECT_EQ(B.ReadPos(), 0) << "drained: positions back to 0";
    EXPECT_EQ(B.WritePos(), 0);
    EXPECT_EQ(B.Peek(Len), nullptr);
    EXPECT_EQ(Len, 0);
    EXPECT_EQ(B.Read(Out, 4), 0);
    EXPECT_EQ(B.Remove(4), 0);
    // A drained block is filled again from its first byte.
    EXPECT_EQ(B.Write("XY", 2), 2);
    EXPECT_EQ(B.ReadPos(), 0);
    EXPECT_EQ(B.WritePos(), 2);
}

TEST(Buffer, NoCompactionWhileDataRemains) {
    TBuffer B(4);
    B.Write("abcd", 4);
    B.Remove(2);
    EXPECT_EQ(B.Write("e", 1), 0) << "the space before the read position is not reused";
    EXPECT_EQ(Held(B), "cd");
}

TEST(Buffer, SetBufSizeKeepsHeldBytes) {
    TBuffer B(4);
    B.Write("abcd", 4);
    B.Remove(1);
    B.SetBufSize(10);
    EXPECT_EQ(B.BufSize(), 10);
    EXPECT_EQ(Held(B), "bcd");
    EXPECT_EQ(B.Write("efg", 3), 3);
    EXPECT_EQ(Held(B), "bcdefg");
    B.SetBufSize(0);
    EXPECT_EQ(B.BufSize(), 1514);
    EXPECT_EQ(Held(B), "bcdefg");
}
