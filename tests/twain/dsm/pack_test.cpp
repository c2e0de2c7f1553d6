// Frame formats the test backend does not produce through the manager: line art and 16-bit.

#include "twain/dsm/sane_scanner.h"
#include "twain/twain.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

BITMAPINFOHEADER Header(const dsm::Dib& dib) {
    BITMAPINFOHEADER h{};
    std::memcpy(&h, dib.data(), sizeof h);
    return h;
}

TEST(PackDib, LineArtIsOneBitWithBlackFirstAndRowsBottomUp) {
    // Two rows of 10 pixels; SANE sets a bit for black.
    const std::uint8_t rows[] = {0b10000000, 0b01000000, 0b11111111, 0b11000000};
    const SANE_Parameters p{SANE_FRAME_GRAY, SANE_TRUE, 2, 10, 2, 1};
    const dsm::Dib dib = dsm::PackDib(p, 2, rows, 300);
    const BITMAPINFOHEADER h = Header(dib);
    EXPECT_EQ(h.biBitCount, 1);
    EXPECT_EQ(h.biClrUsed, 2u);
    ASSERT_EQ(dib.size(), 40u + 2 * 4 + 2 * 4); // rows padded to 4 bytes
    EXPECT_EQ(dib[40], 0);                      // entry 0 black
    EXPECT_EQ(dib[44], 255);                    // entry 1 white
    const std::uint8_t* pixels = dib.data() + 48;
    // The last scanned row comes first: all black, so all zero bits.
    EXPECT_EQ(pixels[0], 0x00);
    EXPECT_EQ(pixels[1] & 0xC0, 0x00);
    // The first: black at 0 and 9, white elsewhere; padding bits stay zero.
    EXPECT_EQ(pixels[4], 0x7F);
    EXPECT_EQ(pixels[5], 0x80);
    EXPECT_EQ(pixels[6], 0);
}

TEST(PackDib, SixteenBitColourKeepsTheHighByteInBgrOrder) {
    const std::uint16_t rgb[] = {0x1234, 0x5678, 0x9ABC};
    const SANE_Parameters p{SANE_FRAME_RGB, SANE_TRUE, 6, 1, 1, 16};
    const dsm::Dib dib = dsm::PackDib(p, 1, reinterpret_cast<const std::uint8_t*>(rgb), 100);
    EXPECT_EQ(Header(dib).biBitCount, 24);
    ASSERT_EQ(dib.size(), 40u + 4);
    EXPECT_EQ(dib[40], 0x9A);
    EXPECT_EQ(dib[41], 0x56);
    EXPECT_EQ(dib[42], 0x12);
    EXPECT_EQ(Header(dib).biXPelsPerMeter, 3937);
}

// A frame longer or shorter than announced keeps every row that came, the first at the bottom.
TEST(DibPacker, FrameOfAnotherLengthThanAnnouncedKeepsItsRowsInOrder) {
    const std::uint8_t rows[] = {1, 2, 3};
    for (const int announced : {-1, 2, 5}) {
        const SANE_Parameters p{SANE_FRAME_GRAY, SANE_TRUE, 1, 1, announced, 8};
        dsm::DibPacker packer(p, 100);
        packer.add(rows, 1);
        packer.add(rows + 1, 2);
        const TwGlobalBlock block = packer.finish();
        ASSERT_EQ(block.size(), 40u + 256 * 4 + 3 * 4) << announced;
        const TwGlobalLocked locked(block.get());
        const auto* bytes = static_cast<const std::uint8_t*>(locked.data());
        BITMAPINFOHEADER h{};
        std::memcpy(&h, bytes, sizeof h);
        EXPECT_EQ(h.biHeight, 3) << announced;
        EXPECT_EQ(h.biSizeImage, 12u) << announced;
        const std::uint8_t* pixels = bytes + 40 + 256 * 4;
        EXPECT_EQ(pixels[0], 3) << announced;
        EXPECT_EQ(pixels[4], 2) << announced;
        EXPECT_EQ(pixels[8], 1) << announced;
    }
    const SANE_Parameters none{SANE_FRAME_GRAY, SANE_TRUE, 1, 1, 2, 8};
    dsm::DibPacker empty(none, 100);
    EXPECT_THROW(empty.finish(), dsm::SaneError);
}

} // namespace
