#include "export/palette.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "export/gif_writer.h"
#include "export/indexed_image.h"
#include "tests/export/gif_oracle.h"

namespace {

using image_export::BitmapDescription;
using image_export::DescribeBitmap32;
using image_export::ReducePalette;

struct Bgra {
    uint8_t b, g, r, a;
};

// A 32-bit bottom-up bitmap; `colour(x, row)` gives the pixel of stored row `row`.
struct Bitmap {
    BitmapDescription description;
    std::vector<uint8_t> buffer;
    std::vector<Bgra> original;  // stored order
};

template <typename F>
Bitmap MakeBitmap(int width, int height, F colour) {
    Bitmap bm;
    bm.description = DescribeBitmap32(width, height);
    bm.buffer.resize(bm.description.header.sizeImage);
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x) {
            const Bgra c = colour(x, row);
            std::memcpy(&bm.buffer[(size_t(row) * width + x) * 4], &c, 4);
            bm.original.push_back(c);
        }
    return bm;
}

uint8_t IndexAt(const Bitmap& bm, int x, int row) {
    const int width = bm.description.header.width;
    return bm.buffer[size_t(row) * image_export::RowStride(width) + x];
}

std::string Encode(const image_export::IndexedImage& image) {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* stream = open_memstream(&data, &size);
    image_export::WriteGif(image, stream, "memory");
    std::fclose(stream);
    std::string bytes(data, size);
    std::free(data);
    return bytes;
}

TEST(BitmapDescription, Describes32BitBottomUpRows) {
    const BitmapDescription d = DescribeBitmap32(858, 468);
    EXPECT_EQ(d.header.size, 40u);
    EXPECT_EQ(d.header.width, 858);
    EXPECT_EQ(d.header.height, 468);
    EXPECT_EQ(d.header.planes, 1);
    EXPECT_EQ(d.header.bitCount, 32);
    EXPECT_EQ(d.header.compression, 0u);
    EXPECT_EQ(d.header.sizeImage, 4u * 858 * 468);
    EXPECT_EQ(d.header.clrUsed, 0u);
    EXPECT_EQ(d.header.clrImportant, 0u);
    for (const auto& c : d.colours) EXPECT_EQ(c.blue | c.green | c.red | c.reserved, 0);
    EXPECT_EQ(DescribeBitmap32(40000, 40000).header.sizeImage, 0u) << "over 4 GB";
    EXPECT_EQ(DescribeBitmap32(0, 5).header.sizeImage, 0u);
}

TEST(ReducePalette, OneColourGivesOneEntryAndATwoEntryGifTable) {
    Bitmap bm = MakeBitmap(7, 3, [](int, int) { return Bgra{10, 20, 30, 0}; });
    ASSERT_TRUE(ReducePalette(bm.description, bm.buffer));
    EXPECT_EQ(bm.description.header.clrUsed, 1u);
    const auto& p = bm.description.colours;
    EXPECT_EQ(p[0].blue, 10);
    EXPECT_EQ(p[0].green, 20);
    EXPECT_EQ(p[0].red, 30);
    EXPECT_EQ(p[1].blue | p[1].green | p[1].red, 0);
    for (int row = 0; row < 3; ++row)
        for (int x = 0; x < 7; ++x) EXPECT_EQ(IndexAt(bm, x, row), 0);
    const auto gif =
        gif_oracle::Decode(Encode(image_export::MakeIndexedImage(bm.description, bm.buffer)));
    ASSERT_TRUE(gif.ok) << gif.error;
    ASSERT_EQ(gif.colours.size(), 2u);
    EXPECT_EQ(gif.colours[0], (gif_oracle::Rgb{30, 20, 10}));
    EXPECT_EQ(gif.colours[1], (gif_oracle::Rgb{0, 0, 0}));
}

TEST(ReducePalette, BeyondTheFirst256ColoursEveryNewOneTakesEntry255) {
    // 300 distinct colours in stored order, each appearing twice, then again.
    const auto colourOf = [](int i) {
        return Bgra{uint8_t(i & 0xFF), uint8_t(i >> 8), uint8_t(7), uint8_t(i * 3)};
    };
    const int width = 40, height = 30;  // 1200 pixels
    Bitmap bm = MakeBitmap(width, height, [&](int x, int row) {
        const int k = row * width + x;
        return colourOf((k / 2) % 300);
    });
    ASSERT_TRUE(ReducePalette(bm.description, bm.buffer));
    EXPECT_EQ(bm.description.header.clrUsed, 256u);
    for (int i = 0; i < 256; ++i) {
        const auto& e = bm.description.colours[i];
        const Bgra c = colourOf(i);
        ASSERT_EQ(e.blue, c.b) << i;
        ASSERT_EQ(e.green, c.g) << i;
        ASSERT_EQ(e.red, c.r) << i;
        ASSERT_EQ(e.reserved, c.a) << i;
    }
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x) {
            const int colour = ((row * width + x) / 2) % 300;
            ASSERT_EQ(IndexAt(bm, x, row), colour < 256 ? colour : 255) << x << "," << row;
        }
}

TEST(ReducePalette, ColoursDifferingOnlyInTheFourthByteAreOne) {
    Bitmap bm = MakeBitmap(5, 2, [](int x, int row) {
        return x == 4 ? Bgra{9, 9, 9, 0} : Bgra{1, 2, 3, uint8_t(x * 50 + row)};
    });
    ASSERT_TRUE(ReducePalette(bm.description, bm.buffer));
    EXPECT_EQ(bm.description.header.clrUsed, 2u);
    EXPECT_EQ(bm.description.colours[0].reserved, 0) << "the first pixel's four bytes";
    EXPECT_EQ(bm.description.colours[1].red, 9);
    for (int row = 0; row < 2; ++row)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(IndexAt(bm, x, row), x == 4 ? 1 : 0);
}

TEST(ReducePalette, EntriesComeInStoredOrderFromTheBottomLeft) {
    // Stored row 0 is the picture's bottom line; its first pixel is entry 0.
    Bitmap bm = MakeBitmap(3, 2, [](int x, int row) {
        static const Bgra colours[2][3] = {{{5, 5, 5, 0}, {6, 6, 6, 0}, {5, 5, 5, 0}},
                                           {{7, 7, 7, 0}, {6, 6, 6, 0}, {8, 8, 8, 0}}};
        return colours[row][x];
    });
    ASSERT_TRUE(ReducePalette(bm.description, bm.buffer));
    ASSERT_EQ(bm.description.header.clrUsed, 4u);
    const int expectedRed[4] = {5, 6, 7, 8};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bm.description.colours[i].red, expectedRed[i]);
    const uint8_t expected[2][3] = {{0, 1, 0}, {2, 1, 3}};
    for (int row = 0; row < 2; ++row)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(IndexAt(bm, x, row), expected[row][x]);
}

TEST(ReducePalette, Width858IsPaddedTo860AndSurvivesTheGif) {
    std::mt19937 random(3);
    std::vector<Bgra> colours;
    for (int i = 0; i < 40; ++i)
        colours.push_back(Bgra{uint8_t(random()), uint8_t(random()), uint8_t(random()), 0});
    const int width = 858, height = 20;
    Bitmap bm = MakeBitmap(
        width, height, [&](int x, int row) { return colours[size_t((x / 13 + row * 7) % 40)]; });
    ASSERT_TRUE(ReducePalette(bm.description, bm.buffer));
    EXPECT_EQ(image_export::RowStride(width), 860);
    for (int row = 0; row < height; ++row) {
        EXPECT_EQ(bm.buffer[size_t(row) * 860 + 858], 0);
        EXPECT_EQ(bm.buffer[size_t(row) * 860 + 859], 0);
    }
    const auto gif =
        gif_oracle::Decode(Encode(image_export::MakeIndexedImage(bm.description, bm.buffer)));
    ASSERT_TRUE(gif.ok) << gif.error;
    ASSERT_EQ(gif.width, width);
    ASSERT_EQ(gif.height, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Bgra c = bm.original[size_t(height - 1 - y) * width + x];
            ASSERT_EQ(gif.At(x, y), (gif_oracle::Rgb{c.r, c.g, c.b})) << x << "," << y;
        }
}

TEST(ReducePalette, RandomPicturesMapEveryPixelToItsColour) {
    // Whatever the order of first appearance, each pixel's entry holds its colour
    // as long as there are at most 256.
    std::mt19937 random(21);
    for (int round = 0; round < 20; ++round) {
        const int count = 1 + int(random() % 256);
        std::vector<Bgra> colours;
        for (int i = 0; i < count; ++i)
            colours.push_back(Bgra{uint8_t(i), uint8_t(random()), uint8_t(random()), 0});
        const int width = 1 + int(random() % 90), height = 1 + int(random() % 40);
        Bitmap bm = MakeBitmap(width, height, [&](int, int) { return colours[random() % count]; });
        ASSERT_TRUE(ReducePalette(bm.description, bm.buffer));
        std::map<int, int> seen;
        for (const Bgra& c : bm.original) seen[c.b] = 1;
        EXPECT_EQ(bm.description.header.clrUsed, seen.size());
        for (int row = 0; row < height; ++row)
            for (int x = 0; x < width; ++x) {
                const auto& e = bm.description.colours[IndexAt(bm, x, row)];
                const Bgra c = bm.original[size_t(row) * width + x];
                ASSERT_TRUE(e.blue == c.b && e.green == c.g && e.red == c.r);
            }
    }
}

TEST(ReducePalette, RefusesWhatIsNotAWhole32BitBitmap) {
    Bitmap bm = MakeBitmap(4, 4, [](int x, int) { return Bgra{uint8_t(x), 0, 0, 0}; });
    const std::vector<uint8_t> before = bm.buffer;
    BitmapDescription d = bm.description;
    EXPECT_FALSE(ReducePalette(d, std::span<uint8_t>(bm.buffer).first(63)));
    d.header.bitCount = 24;
    EXPECT_FALSE(ReducePalette(d, bm.buffer));
    d = bm.description;
    d.header.width = 0;
    EXPECT_FALSE(ReducePalette(d, bm.buffer));
    d = bm.description;
    d.header.height = -4;
    EXPECT_FALSE(ReducePalette(d, bm.buffer));
    EXPECT_EQ(bm.buffer, before);
    EXPECT_EQ(bm.description.header.clrUsed, 0u);
}

}  // namespace
