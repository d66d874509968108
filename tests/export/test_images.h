// Indexed test pictures with their own storage, laid out as the exporter stores
// them (rows bottom-up, each padded to a multiple of 4 bytes).
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "export/indexed_image.h"
#include "tests/export/gif_oracle.h"

namespace export_testing {

// Movable only: a move keeps the storage, and with it image.pixels, in place.
struct TestImage {
    TestImage() = default;
    TestImage(TestImage&&) = default;
    TestImage& operator=(TestImage&&) = default;
    TestImage(const TestImage&) = delete;

    std::vector<uint8_t> storage;
    image_export::IndexedImage image;

    uint8_t At(int x, int y) const {
        return storage[size_t(image.height - 1 - y) * image_export::RowStride(image.width) + x];
    }

    // Index of picture pixel (x, y), y = 0 at the top.
    uint8_t& At(int x, int y) {
        return storage[size_t(image.height - 1 - y) * image_export::RowStride(image.width) + x];
    }
};

// Distinct, recognisable colours for every entry in use; the rest stay zero.
inline image_export::PaletteEntry TestColour(int i) {
    return {static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i),
            static_cast<uint8_t>((i * 37 + 11) & 0xFF), static_cast<uint8_t>(0xA5)};
}

// `index(x, y)` gives picture pixel (x, y), y = 0 at the top. The padding is
// filled with `padding` so that tests notice when it leaks into the file.
inline TestImage MakeImage(int width, int height, int colours,
                           const std::function<uint8_t(int x, int y)>& index,
                           uint8_t padding = 0xEE) {
    TestImage t;
    t.image.width = width;
    t.image.height = height;
    t.image.usedColours = colours;
    for (int i = 0; i < colours && i < image_export::kPaletteSize; ++i)
        t.image.palette[i] = TestColour(i);
    t.storage.assign(size_t(image_export::RowStride(width)) * height, padding);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) t.At(x, y) = index(x, y);
    t.image.pixels = t.storage;
    return t;
}

inline TestImage RandomImage(int width, int height, int colours, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pick(0, colours - 1);
    return MakeImage(width, height, colours,
                     [&](int, int) { return static_cast<uint8_t>(pick(random)); });
}

// Empty when the decoded file holds exactly the picture and colours that went in.
inline std::string RoundTripMismatch(const TestImage& t, const std::string& file) {
    const gif_oracle::DecodedGif gif = gif_oracle::Decode(file);
    if (!gif.ok) return "giflib: " + gif.error;
    const auto& image = t.image;
    if (gif.imageCount != 1 || gif.interlaced || gif.hasLocalColourMap)
        return "not one plain image";
    if (gif.screenWidth != image.width || gif.screenHeight != image.height ||
        gif.width != image.width || gif.height != image.height)
        return "size " + std::to_string(gif.width) + "x" + std::to_string(gif.height);
    int tableSize = 2;
    while (tableSize < image.usedColours) tableSize *= 2;
    if (int(gif.colours.size()) != tableSize)
        return "table of " + std::to_string(gif.colours.size());
    for (int i = 0; i < tableSize; ++i) {
        const auto& p = image.palette[i];
        const gif_oracle::Rgb expected =
            i < image.usedColours ? gif_oracle::Rgb{p.red, p.green, p.blue} : gif_oracle::Rgb{};
        if (!(gif.colours[i] == expected)) return "colour " + std::to_string(i);
    }
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            if (gif.pixels[size_t(y) * image.width + x] != t.At(x, y))
                return "pixel " + std::to_string(x) + "," + std::to_string(y);
    return {};
}

}  // namespace export_testing
