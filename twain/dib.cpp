#include "twain/dib.h"

#include "twain/srtwain.h"
#include "twain/twain_memory.h"

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct DibInfo {
    std::uint32_t headerSize = 0;
    std::int64_t width = 0;
    std::int64_t height = 0; // rows, always positive
    bool topDown = false;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = BI_RGB;
    std::uint32_t colorsUsed = 0;
};

DibInfo ReadHeader(const void* Header) {
    DibInfo info;
    std::memcpy(&info.headerSize, Header, sizeof info.headerSize);
    if (info.headerSize == sizeof(BITMAPCOREHEADER)) {
        BITMAPCOREHEADER h;
        std::memcpy(&h, Header, sizeof h);
        info.width = h.bcWidth;
        info.height = h.bcHeight;
        info.bitCount = h.bcBitCount;
    } else {
        BITMAPINFOHEADER h;
        std::memcpy(&h, Header, sizeof h);
        info.width = h.biWidth;
        info.height = h.biHeight;
        if (info.height < 0) {
            info.topDown = true;
            info.height = -info.height;
        }
        info.bitCount = h.biBitCount;
        info.compression = h.biCompression;
        info.colorsUsed = h.biClrUsed;
    }
    return info;
}

[[noreturn]] void Malformed() {
    throw ETwainError("The scanned image is not a valid bitmap");
}

QImage::Format FormatOf(std::uint16_t BitCount) {
    switch (BitCount) {
    case 1:
        return QImage::Format_Mono;
    case 4:
    case 8:
        return QImage::Format_Indexed8;
    case 16:
        return QImage::Format_RGB555;
    case 24:
        return QImage::Format_BGR888;
    case 32:
        return QImage::Format_RGB32;
    default:
        return QImage::Format_Invalid;
    }
}

// Compressed and bit-field bitmaps go through Qt's BMP reader, with a file header in front.
QImage DecodeAsBmpFile(const std::uint8_t* Dib, std::size_t Size, std::size_t PixelOffset) {
    QByteArray file(14, '\0');
    file[0] = 'B';
    file[1] = 'M';
    const auto put32 = [&](int at, std::uint32_t v) { std::memcpy(file.data() + at, &v, 4); };
    put32(2, static_cast<std::uint32_t>(14 + Size));
    put32(10, static_cast<std::uint32_t>(14 + PixelOffset));
    file.append(reinterpret_cast<const char*>(Dib), static_cast<qsizetype>(Size));
    QImage image = QImage::fromData(file, "BMP");
    if (image.isNull()) Malformed();
    return image;
}

void ReleaseBlock(void* Block) {
    TwGlobalUnlock(Block);
    TwGlobalFree(Block);
}

} // namespace

std::size_t DibColorEntries(const void* Header) {
    const DibInfo info = ReadHeader(Header);
    if (info.headerSize != sizeof(BITMAPCOREHEADER) && info.colorsUsed != 0) return info.colorsUsed;
    switch (info.bitCount) {
    case 1:
        return 2;
    case 4:
        return 16;
    case 8:
        return 256;
    default:
        return 0;
    }
}

std::size_t DibPixelOffset(const void* Header) {
    const DibInfo info = ReadHeader(Header);
    const std::size_t entrySize =
        info.headerSize == sizeof(BITMAPCOREHEADER) ? sizeof(RGBTRIPLE) : sizeof(RGBQUAD);
    return info.headerSize + DibColorEntries(Header) * entrySize;
}

QImage ImageFromDib(TW_HANDLE Block) {
    TwGlobalBlock owner(Block);
    const std::size_t size = owner.size();
    const TwGlobalLocked locked(Block);
    if (!locked) throw EAssertionFailed("Assertion failure");
    auto* const base = static_cast<std::uint8_t*>(locked.data());

    if (size < sizeof(std::uint32_t)) Malformed();
    std::uint32_t headerSize;
    std::memcpy(&headerSize, base, sizeof headerSize);
    if (headerSize != sizeof(BITMAPCOREHEADER) &&
        (headerSize < sizeof(BITMAPINFOHEADER) || headerSize > size))
        Malformed();
    if (headerSize > size) Malformed();
    const DibInfo info = ReadHeader(base);
    const bool core = headerSize == sizeof(BITMAPCOREHEADER);
    const std::size_t entries = DibColorEntries(base);
    const std::size_t entrySize = core ? sizeof(RGBTRIPLE) : sizeof(RGBQUAD);
    if (entries > (size - headerSize) / entrySize) Malformed();
    const std::size_t offset = DibPixelOffset(base);
    if (info.width <= 0 || info.height <= 0) Malformed();

    if (info.compression != BI_RGB) return DecodeAsBmpFile(base, size, offset);

    const QImage::Format format = FormatOf(info.bitCount);
    if (format == QImage::Format_Invalid) Malformed();
    const std::uint64_t stride =
        (static_cast<std::uint64_t>(info.width) * info.bitCount + 31) / 32 * 4;
    const auto height = static_cast<std::uint64_t>(info.height);
    if (stride > (size - offset) / height) Malformed();

    QList<QRgb> colors;
    if (info.bitCount <= 8) {
        const std::size_t tableSize = std::size_t{1} << info.bitCount;
        colors.fill(qRgb(0, 0, 0), static_cast<qsizetype>(tableSize));
        for (std::size_t i = 0; i < entries && i < tableSize; ++i) {
            const std::uint8_t* const e = base + headerSize + i * entrySize;
            colors[static_cast<qsizetype>(i)] = qRgb(e[2], e[1], e[0]); // stored blue, green, red
        }
    }
    const int w = static_cast<int>(info.width);
    const int h = static_cast<int>(info.height);
    std::uint8_t* const pixels = base + offset;
    const auto row = [&](int y) { // source row of picture line y
        const std::uint64_t r = info.topDown ? y : height - 1 - y;
        return pixels + r * stride;
    };

    // Rows that Qt can read as they lie are turned top-down in place and kept in the block.
    const bool inPlace = info.bitCount != 4 && reinterpret_cast<std::uintptr_t>(pixels) % 4 == 0;
    if (inPlace) {
        if (!info.topDown) {
            std::vector<std::uint8_t> swap(stride);
            for (std::uint64_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
                std::uint8_t* const a = pixels + top * stride;
                std::uint8_t* const b = pixels + bottom * stride;
                std::memcpy(swap.data(), a, stride);
                std::memcpy(a, b, stride);
                std::memcpy(b, swap.data(), stride);
            }
        }
        TwGlobalLock(Block); // held by the picture, released with the block
        QImage image(pixels, w, h, static_cast<qsizetype>(stride), format, ReleaseBlock,
                     owner.release());
        if (!colors.isEmpty()) image.setColorTable(colors);
        return image;
    }

    QImage image(w, h, format);
    if (image.isNull()) Malformed();
    if (!colors.isEmpty()) image.setColorTable(colors);
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* const src = row(y);
        std::uint8_t* const dst = image.scanLine(y);
        if (info.bitCount == 4) {
            for (int x = 0; x < w; ++x)
                dst[x] = (x % 2 == 0) ? src[x / 2] >> 4 : src[x / 2] & 0x0f;
        } else {
            std::memcpy(dst, src, std::min<std::size_t>(stride, image.bytesPerLine()));
        }
    }
    return image;
}
