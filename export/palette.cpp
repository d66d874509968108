#include "export/palette.h"

#include <cstring>

namespace image_export {

namespace {

inline uint32_t ColourKey(const uint8_t* pixel) {
    return uint32_t{pixel[0]} | uint32_t{pixel[1]} << 8 | uint32_t{pixel[2]} << 16;
}

}  // namespace

bool ReducePalette(BitmapDescription& description, std::span<uint8_t> buffer) {
    BitmapInfoHeader& header = description.header;
    const int64_t width = header.width;
    const int64_t height = header.height;
    if (header.bitCount != 32 || width < 1 || height < 1 ||
        static_cast<int64_t>(buffer.size()) < 4 * width * height) {
        return false;
    }
    const int64_t stride = RowStride(width);
    uint8_t* const bytes = buffer.data();

    // Keys of the entries in use (blue, green, red), searched from entry 0 up.
    uint32_t keys[kPaletteSize];
    auto& colours = description.colours;
    colours = {};
    std::memcpy(&colours[0], bytes, 4);
    keys[0] = ColourKey(bytes);
    int used = 1;
    // Neighbouring pixels mostly repeat a colour; entries are distinct, so the
    // remembered answer is the one the search would give.
    uint32_t lastKey = keys[0];
    uint8_t lastIndex = 0;

    // Each index lands at or before the 32-bit pixel it replaces, and every
    // pixel is read before its index is written, so the order is safe in place.
    const uint8_t* source = bytes;
    for (int64_t row = 0; row < height; ++row) {
        uint8_t* target = bytes + row * stride;
        for (int64_t column = 0; column < width; ++column, source += 4) {
            const uint32_t key = ColourKey(source);
            if (key != lastKey) {
                int found = 0;
                while (found < used && keys[found] != key) ++found;
                if (found == used) {
                    if (used < kPaletteSize) {
                        std::memcpy(&colours[used], source, 4);
                        keys[used] = key;
                        ++used;
                    } else {
                        found = kPaletteSize - 1;
                    }
                }
                lastKey = key;
                lastIndex = static_cast<uint8_t>(found);
            }
            target[column] = lastIndex;
        }
        // Padding never reaches the file; zero keeps the buffer deterministic.
        for (int64_t column = width; column < stride; ++column) target[column] = 0;
    }
    header.clrUsed = static_cast<uint32_t>(used);
    return true;
}

}  // namespace image_export
