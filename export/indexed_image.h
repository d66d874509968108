// The picture formats shared by the capture and the GIF writer: the 32-bit
// bottom-up bitmap with its 40-byte description and 256-entry colour table, and
// the indexed image (one palette index per pixel) made from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace image_export {

// One colour-table entry, in the bitmap's byte order.
struct PaletteEntry {
    uint8_t blue = 0;
    uint8_t green = 0;
    uint8_t red = 0;
    uint8_t reserved = 0;
};
static_assert(sizeof(PaletteEntry) == 4);

// Bytes per stored row of one-byte indices: the width rounded up to a multiple of 4.
constexpr int64_t RowStride(int64_t width) { return (width + 3) & ~int64_t{3}; }

// The 40-byte bitmap header in front of the colour table.
struct BitmapInfoHeader {
    uint32_t size = 0;
    int32_t width = 0;
    int32_t height = 0;  // positive: rows are stored bottom-up
    uint16_t planes = 0;
    uint16_t bitCount = 0;
    uint32_t compression = 0;  // 0 = plain RGB
    uint32_t sizeImage = 0;
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    uint32_t clrUsed = 0;
    uint32_t clrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

constexpr int kPaletteSize = 256;

// Header plus colour table: what the pixel read-out is handed.
struct BitmapDescription {
    BitmapInfoHeader header;
    std::array<PaletteEntry, kPaletteSize> colours;
};
static_assert(sizeof(BitmapDescription) == 1064);

// A zero-filled description of a 32-bit bottom-up bitmap of the given size;
// header.sizeImage is the pixel buffer's size (4 bytes per pixel, no row padding).
// Sizes that do not fit 32 bits give sizeImage 0.
BitmapDescription DescribeBitmap32(int32_t width, int32_t height);

// Input of the GIF writer. The pixels belong to the caller.
struct IndexedImage {
    int32_t width = 0;
    int32_t height = 0;
    // One index per pixel, rows bottom-up, RowStride(width) bytes per row.
    std::span<const uint8_t> pixels;
    std::array<PaletteEntry, kPaletteSize> palette{};  // unused entries zero
    int32_t usedColours = 0;                           // 1..256
};

// The indexed image that ReducePalette left in the buffer and the description.
IndexedImage MakeIndexedImage(const BitmapDescription& description,
                              std::span<const uint8_t> buffer);

}  // namespace image_export
