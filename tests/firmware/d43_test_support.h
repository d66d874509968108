// D43 images for tests: a preamble that is never interpreted, then records.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "firmware/d43_reader.h"

namespace firmware_testing {

using Bytes = std::vector<uint8_t>;

// Tag-like bytes in the preamble prove the walk starts at offset 59.
inline Bytes D43Preamble() {
    Bytes p(firmware::kD43FirstRecord);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i % 2 ? 0xC2 : 0x39);
    return p;
}

inline Bytes D43Image(std::initializer_list<Bytes> records) {
    Bytes image = D43Preamble();
    for (const Bytes& r : records) image.insert(image.end(), r.begin(), r.end());
    return image;
}

// The trace line the walk writes for the record at `offset` of `image`.
inline std::string TraceLine(const Bytes& image, size_t offset) {
    char line[64];
    std::snprintf(line, sizeof line, "%08X %02X %02X %02X %02X %02X %02X %02X\n",
                  static_cast<unsigned>(offset), image[offset], image[offset + 1],
                  image[offset + 2], image[offset + 3], image[offset + 4], image[offset + 5],
                  image[offset + 6]);
    return line;
}

}  // namespace firmware_testing
