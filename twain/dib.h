#pragma once

#include "twain/twain.h"

#include <QImage>
#include <cstddef>

// Size of the colour table in entries: from the bit count for a 12-byte header, else from the
// colours-used field when it is not 0. 1 bit: 2, 4 bits: 16, 8 bits: 256, other: 0.
std::size_t DibColorEntries(const void* Header);

// Offset of the pixel rows from the start of the packed bitmap.
std::size_t DibPixelOffset(const void* Header);

// Takes over a global memory block holding a packed device-independent bitmap and returns its
// picture. Where the rows can be used as they lie, the picture keeps the block and frees it when
// it goes; otherwise the block is freed at once. A malformed bitmap throws ETwainError.
QImage ImageFromDib(TW_HANDLE Block);
