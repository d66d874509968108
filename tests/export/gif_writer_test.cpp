#include "export/gif_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory_resource>
#include <random>
#include <string>
#include <vector>

#include "tests/export/gif_oracle.h"
#include "tests/export/test_images.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using export_testing::MakeImage;
using export_testing::RandomImage;
using export_testing::RoundTripMismatch;
using export_testing::TestImage;
using image_export::IndexedImage;
using image_export::WriteGif;

// The whole file WriteGif produces, through a memory stream.
std::string Encode(const IndexedImage& image, bool* ok = nullptr,
                   std::pmr::memory_resource* memory = std::pmr::get_default_resource()) {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* stream = open_memstream(&data, &size);
    const bool written = WriteGif(image, stream, "memory", memory);
    std::fclose(stream);
    std::string bytes(data, size);
    std::free(data);
    if (ok != nullptr) *ok = written;
    return bytes;
}

uint8_t Byte(const std::string& s, size_t i) { return static_cast<uint8_t>(s.at(i)); }

std::string Packed(const gif_oracle::ImageData& data) {
    std::string all;
    for (const auto& b : data.blocks) all += b;
    return all;
}

// Checks that a code stream reads as a GIF decoder would read it: it starts with
// a clear code, every code names an existing entry (or the one being made), and it
// ends with the end code. Returns the positions of the clear codes.
std::vector<size_t> CheckCodeStream(const std::vector<gif_oracle::Code>& codes, int m) {
    const unsigned clear = 1u << m;
    std::vector<size_t> clears;
    EXPECT_FALSE(codes.empty());
    if (codes.empty()) return clears;
    EXPECT_EQ(codes.front().value, clear);
    EXPECT_EQ(codes.back().value, clear + 1) << "no end code";
    unsigned next = clear + 2;
    bool first = true;
    for (size_t i = 0; i < codes.size(); ++i) {
        const unsigned v = codes[i].value;
        if (v == clear) {
            clears.push_back(i);
            next = clear + 2;
            first = true;
            continue;
        }
        if (v == clear + 1) {
            EXPECT_EQ(i + 1, codes.size()) << "end code before the end";
            break;
        }
        if (first) {
            EXPECT_LT(v, clear) << "code " << i << " after a clear is not a pixel";
        } else {
            EXPECT_LE(v, next) << "code " << i << " names no entry";
            ++next;
        }
        first = false;
    }
    return clears;
}

TEST(GifLayout, HeaderTableAndDescriptorByteByByte) {
    // 5 colours: N = 3, an 8-entry table whose last three entries are black.
    TestImage t = MakeImage(0x123, 2, 5, [](int x, int y) { return uint8_t((x + y) % 5); });
    const std::string file = Encode(t.image);
    ASSERT_GT(file.size(), 50u);
    EXPECT_EQ(file.substr(0, 6), "GIF87a");
    EXPECT_EQ(Byte(file, 6), 0x23);
    EXPECT_EQ(Byte(file, 7), 0x01);
    EXPECT_EQ(Byte(file, 8), 0x02);
    EXPECT_EQ(Byte(file, 9), 0x00);
    EXPECT_EQ(Byte(file, 10), 0xF2);
    EXPECT_EQ(Byte(file, 11), 0);
    EXPECT_EQ(Byte(file, 12), 0);
    for (int i = 0; i < 8; ++i) {
        const auto c = export_testing::TestColour(i);
        const bool used = i < 5;
        EXPECT_EQ(Byte(file, 13 + 3 * i), used ? c.red : 0) << i;
        EXPECT_EQ(Byte(file, 14 + 3 * i), used ? c.green : 0) << i;
        EXPECT_EQ(Byte(file, 15 + 3 * i), used ? c.blue : 0) << i;
    }
    const std::string descriptor = file.substr(37, 11);
    EXPECT_EQ(descriptor, std::string("\x2C\0\0\0\0\x23\x01\x02\x00\x02\x03", 11));
    EXPECT_EQ(Byte(file, file.size() - 2), 0x00);
    EXPECT_EQ(Byte(file, file.size() - 1), 0x3B);
    EXPECT_EQ(RoundTripMismatch(t, file), "");
}

TEST(GifLayout, OnePixelOfOneColourIsClearPixelEnd) {
    TestImage t = MakeImage(1, 1, 1, [](int, int) { return uint8_t{0}; });
    const auto c = export_testing::TestColour(0);
    // M = 2: clear 4 and end 5 at 3 bits around pixel 0: 100 000 101, LSB first.
    const std::string expected = std::string("GIF87a\x01\x00\x01\x00\xF0\x00\x00", 13) +
                                 std::string{char(c.red), char(c.green), char(c.blue)} +
                                 std::string("\0\0\0", 3) +
                                 std::string("\x2C\0\0\0\0\x01\x00\x01\x00\x00", 10) +
                                 std::string("\x02\x02\x44\x01\x00\x3B", 6);
    EXPECT_EQ(Encode(t.image), expected);
}

TEST(GifLayout, SixteenBitWidthAndHeight) {
    struct Case {
        int width, height;
    };
    for (const Case s : {Case{65535, 1}, Case{1, 65535}, Case{0x1234, 0x56}}) {
        TestImage t = RandomImage(s.width, s.height, 2, 7);
        const std::string file = Encode(t.image);
        SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
        ASSERT_GT(file.size(), 30u);
        for (size_t at : {size_t{6}, size_t{24}}) {  // screen and image descriptor
            EXPECT_EQ(Byte(file, at), s.width & 0xFF);
            EXPECT_EQ(Byte(file, at + 1), s.width >> 8);
            EXPECT_EQ(Byte(file, at + 2), s.height & 0xFF);
            EXPECT_EQ(Byte(file, at + 3), s.height >> 8);
        }
        EXPECT_EQ(RoundTripMismatch(t, file), "");
    }
}

TEST(GifCodes, OnePixelAtEveryTableSize) {
    for (int colours : {1, 2, 3, 4, 5, 16, 17, 128, 129, 256}) {
        const uint8_t pixel = uint8_t(colours - 1);
        TestImage t = MakeImage(1, 1, colours, [&](int, int) { return pixel; });
        const std::string file = Encode(t.image);
        const auto data = gif_oracle::SplitImageData(file);
        int n = 1;
        while ((1 << n) < colours) ++n;
        const int m = std::max(2, n);
        SCOPED_TRACE(colours);
        EXPECT_EQ(Byte(file, 10), 0xF0 + n - 1);
        ASSERT_TRUE(data.found);
        EXPECT_EQ(data.minimumCodeSize, m);
        const auto codes = gif_oracle::ReadCodes(Packed(data), m);
        ASSERT_EQ(codes.size(), 3u);
        EXPECT_EQ(codes[0].value, 1u << m);
        EXPECT_EQ(codes[1].value, pixel);
        EXPECT_EQ(codes[2].value, (1u << m) + 1);
        for (const auto& code : codes) EXPECT_EQ(code.width, unsigned(m + 1));
        EXPECT_EQ(data.blocks.size(), 1u);
        EXPECT_EQ(data.blocks[0].size(), size_t((3 * (m + 1) + 7) / 8));
        EXPECT_TRUE(data.trailer);
    }
}

TEST(GifCodes, WidthsGrowFrom9To12At512And1024And2048) {
    // Random 256-colour pixels make about one code per pixel, enough to reach
    // 12 bits without filling the dictionary.
    TestImage t = RandomImage(60, 40, 256, 11);
    const std::string file = Encode(t.image);
    const auto data = gif_oracle::SplitImageData(file);
    ASSERT_EQ(data.minimumCodeSize, 8);
    const auto codes = gif_oracle::ReadCodes(Packed(data), 8);
    const auto clears = CheckCodeStream(codes, 8);
    ASSERT_EQ(clears.size(), 1u) << "the dictionary filled";
    ASSERT_GT(codes.size(), 1800u);
    // Code k (1-based) follows the making of entry 257 + k - 1: code 256 is the
    // first after entry 512, code 768 after 1024, code 1792 after 2048.
    EXPECT_EQ(codes[255].width, 9u);
    EXPECT_EQ(codes[256].width, 10u);
    EXPECT_EQ(codes[767].width, 10u);
    EXPECT_EQ(codes[768].width, 11u);
    EXPECT_EQ(codes[1791].width, 11u);
    EXPECT_EQ(codes[1792].width, 12u);
    EXPECT_EQ(RoundTripMismatch(t, file), "");
}

TEST(GifCodes, FullDictionaryIsClearedAt12BitsAfterEntry4094) {
    struct Case {
        int colours, width, height;
    };
    // 256 colours (M = 8) and 2 colours (M = 2, long strings need many pixels).
    for (const Case s : {Case{256, 100, 100}, Case{2, 400, 300}, Case{16, 250, 100}}) {
        SCOPED_TRACE(s.colours);
        TestImage t = RandomImage(s.width, s.height, s.colours, 99);
        const std::string file = Encode(t.image);
        const auto data = gif_oracle::SplitImageData(file);
        const int m = data.minimumCodeSize;
        const auto codes = gif_oracle::ReadCodes(Packed(data), m);
        const auto clears = CheckCodeStream(codes, m);
        ASSERT_GE(clears.size(), 3u);
        // Entries C + 2 .. 4094 are made by that many codes, then the clear follows.
        const size_t perRun = 4094 - ((1u << m) + 2) + 1;
        for (size_t i = 1; i < clears.size(); ++i) {
            EXPECT_EQ(clears[i] - clears[i - 1] - 1, perRun) << "run " << i;
            EXPECT_EQ(codes[clears[i]].width, 12u);
            EXPECT_EQ(codes[clears[i] + 1].width, unsigned(m + 1));
        }
        EXPECT_EQ(RoundTripMismatch(t, file), "");
    }
}

TEST(GifBlocks, SubBlocksAreFull255ExceptTheLastAndNoEmptyOneFollows) {
    // One row of random 256-colour pixels: the packed size grows with the width
    // in small steps, so some width packs to exactly 255 bytes.
    std::vector<size_t> totals;
    bool exactlyOneBlock = false;
    for (int width = 150; width <= 700; ++width) {
        TestImage t = RandomImage(width, 1, 256, 1000);
        const std::string file = Encode(t.image);
        const auto data = gif_oracle::SplitImageData(file);
        ASSERT_TRUE(data.terminated && data.trailer) << width;
        size_t total = 0;
        for (size_t i = 0; i < data.blocks.size(); ++i) {
            ASSERT_FALSE(data.blocks[i].empty());
            if (i + 1 < data.blocks.size()) {
                ASSERT_EQ(data.blocks[i].size(), 255u) << width;
            }
            total += data.blocks[i].size();
        }
        ASSERT_EQ(data.blocks.size(), (total + 254) / 255) << width;
        if (total == 255) {
            exactlyOneBlock = true;
            EXPECT_EQ(data.blocks.size(), 1u);
            // Length 255, the block, the terminator, the trailer: nothing between.
            EXPECT_EQ(file.substr(file.size() - 258, 1), "\xFF");
            EXPECT_EQ(file.substr(file.size() - 2), std::string("\0\x3B", 2));
        }
        if (width % 50 == 0) {
            ASSERT_EQ(RoundTripMismatch(t, file), "") << width;
        }
        totals.push_back(total);
    }
    EXPECT_TRUE(exactlyOneBlock) << "no width packed to exactly 255 bytes";
    EXPECT_GT(totals.back(), 510u) << "the widths never needed three blocks";
}

TEST(GifPixels, StoredRowsRunBottomUpAndPaddingIsNeverEncoded) {
    // Every row differs, and the padding holds indices outside the table: a file
    // that used it, or took the rows top-down, would decode differently.
    for (int width : {1, 2, 3, 5, 858}) {
        TestImage t = MakeImage(width, 7, 5, [](int x, int y) { return uint8_t((y * 3 + x) % 5); });
        SCOPED_TRACE(width);
        bool ok = false;
        const std::string file = Encode(t.image, &ok);
        EXPECT_TRUE(ok);
        EXPECT_EQ(RoundTripMismatch(t, file), "");
    }
}

TEST(GifRoundTrip, RandomAndBlockyPicturesAtEveryTableSize) {
    std::mt19937 random(5);
    for (int colours : {1, 2, 3, 4, 5, 8, 9, 16, 31, 64, 65, 128, 129, 200, 256}) {
        for (int round = 0; round < 4; ++round) {
            const int width = 1 + int(random() % 300);
            const int height = 1 + int(random() % 120);
            SCOPED_TRACE(std::to_string(colours) + " colours " + std::to_string(width) + "x" +
                         std::to_string(height));
            TestImage noisy = RandomImage(width, height, colours, random());
            EXPECT_EQ(RoundTripMismatch(noisy, Encode(noisy.image)), "");
            // Long runs, like a window: rectangles of a few colours.
            TestImage blocky = MakeImage(width, height, colours, [&](int x, int y) {
                return uint8_t(((x / 37) * 7 + (y / 11) * 3) % colours);
            });
            EXPECT_EQ(RoundTripMismatch(blocky, Encode(blocky.image)), "");
        }
    }
}

TEST(GifFile, WritesTheFileAndASecondWriteReplacesIt) {
    testing_support::TempDir dir;
    const std::string path = dir.File("gifFile.gif");
    TestImage big = RandomImage(300, 200, 256, 1);
    TestImage small = RandomImage(10, 3, 4, 2);
    ASSERT_TRUE(WriteGif(big.image, path.c_str()));
    EXPECT_EQ(RoundTripMismatch(big, dir.Read("gifFile.gif")), "");
    ASSERT_TRUE(WriteGif(small.image, path.c_str()));
    EXPECT_EQ(dir.Read("gifFile.gif"), Encode(small.image));
}

TEST(GifFile, FileThatCannotBeCreatedWritesNothing) {
    testing_support::TempDir dir;
    TestImage t = RandomImage(4, 4, 2, 3);
    const std::string path = dir.File("missing/gifFile.gif");
    EXPECT_FALSE(WriteGif(t.image, path.c_str()));
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
}

// A memory resource that has nothing to give.
class NoMemory : public std::pmr::memory_resource {
    void* do_allocate(size_t, size_t) override { throw std::bad_alloc(); }
    void do_deallocate(void*, size_t, size_t) override {}
    bool do_is_equal(const memory_resource& other) const noexcept override {
        return this == &other;
    }
};

TEST(GifFile, WithoutWorkingMemoryOnlyHeaderTableDescriptorAndTrailer) {
    NoMemory none;
    for (int colours : {1, 5, 256}) {
        TestImage t = RandomImage(20, 10, colours, 4);
        testing_support::DebugCapture capture;
        bool ok = true;
        const std::string stunted = Encode(t.image, &ok, &none);
        const std::string full = Encode(t.image);
        int n = 1;
        while ((1 << n) < colours) ++n;
        const size_t headerBytes = 13 + 3 * (size_t{1} << n) + 10;
        EXPECT_FALSE(ok);
        ASSERT_EQ(stunted.size(), headerBytes + 1) << colours;
        EXPECT_EQ(stunted.substr(0, headerBytes), full.substr(0, headerBytes));
        EXPECT_EQ(Byte(stunted, headerBytes), 0x3B);
        EXPECT_EQ(capture.Lines().size(), 1u);
    }
}

TEST(GifRejects, ImagesThatWouldCorruptTheFileLeaveItUntouched) {
    struct Case {
        const char* what;
        int width, height, colours;
        int badPixel;  // index written into pixel (0, 0) when >= 0
        size_t shortBy;
    };
    const Case cases[] = {
        {"zero width", 0, 4, 2, -1, 0},
        {"negative height", 4, -3, 2, -1, 0},
        {"width over 16 bits", 65536, 1, 2, -1, 0},
        {"height over 16 bits", 1, 65536, 2, -1, 0},
        {"no colours", 4, 4, 0, -1, 0},
        {"257 colours", 4, 4, 257, -1, 0},
        {"index 2 with 2 colours", 4, 4, 2, 2, 0},
        {"index 4 with 3 colours", 5, 3, 3, 4, 0},
        {"index 128 with 100 colours", 9, 9, 100, 128, 0},
        {"buffer one byte short", 5, 3, 5, -1, 1 + 3},
    };
    testing_support::TempDir dir;
    const std::string path = dir.File("gifFile.gif");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int w = std::max(1, std::min(c.width, 70000));
        const int h = std::max(1, std::min(c.height, 70000));
        TestImage t = MakeImage(w, h, std::clamp(c.colours, 1, 256), [](int, int) { return 0; });
        t.image.width = c.width;
        t.image.height = c.height;
        t.image.usedColours = c.colours;
        if (c.badPixel >= 0) t.storage[0] = uint8_t(c.badPixel);
        // The last row needs only the width, not the whole stride.
        t.image.pixels = std::span<const uint8_t>(t.storage).first(t.storage.size() - c.shortBy);
        dir.Write("gifFile.gif", "earlier picture");
        testing_support::DebugCapture capture;
        EXPECT_FALSE(WriteGif(t.image, path.c_str()));
        EXPECT_EQ(dir.Read("gifFile.gif"), "earlier picture");
        const auto lines = capture.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("*** WriteGif(", 0), 0u) << lines[0];
        std::filesystem::remove(path);
        EXPECT_FALSE(WriteGif(t.image, path.c_str()));
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    // The last row may end at the width: such a buffer is not rejected.
    TestImage tight = RandomImage(5, 3, 5, 8);
    tight.image.pixels = std::span<const uint8_t>(tight.storage).first(8 * 2 + 5);
    EXPECT_TRUE(WriteGif(tight.image, path.c_str()));
    EXPECT_EQ(RoundTripMismatch(tight, dir.Read("gifFile.gif")), "");
}

TEST(GifBitWriter, PacksLeastSignificantBitFirstInto255ByteBlocks) {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* stream = open_memstream(&data, &size);
    uint8_t buffer[image_export::GifBitWriter::kBlockBufferSize];
    std::vector<gif_oracle::Code> put;
    {
        image_export::GifBitWriter writer(stream, buffer);
        std::mt19937 random(17);
        for (int i = 0; i < 2000; ++i) {
            const unsigned width = 1 + random() % 12;
            const unsigned value = random() & ((1u << width) - 1);
            writer.PutCode(value, width);
            put.push_back({value, width});
        }
        writer.Finish();
        std::fflush(stream);
        // Every full block went out as soon as it was complete; Finish the rest.
        size_t bits = 0;
        for (const auto& c : put) bits += c.width;
        const size_t bytes = (bits + 7) / 8;
        EXPECT_EQ(size, bytes + (bytes + 254) / 255);
        EXPECT_EQ(writer.BytesWritten(), int32_t(size));
        // A second Finish has nothing left to write.
        writer.Finish();
        std::fflush(stream);
        EXPECT_EQ(size, bytes + (bytes + 254) / 255);
    }
    std::fclose(stream);
    std::string file(data, size);
    std::free(data);
    std::string packed;
    for (size_t at = 0; at < file.size();) {
        const size_t length = Byte(file, at);
        ASSERT_GT(length, 0u);
        packed += file.substr(at + 1, length);
        at += 1 + length;
    }
    size_t bit = 0;
    for (size_t i = 0; i < put.size(); ++i) {
        unsigned value = 0;
        for (unsigned b = 0; b < put[i].width; ++b, ++bit)
            value |= ((Byte(packed, bit / 8) >> (bit % 8)) & 1u) << b;
        ASSERT_EQ(value, put[i].value) << "code " << i;
    }
}

TEST(GifBitWriter, ExactlyFullBlockLeavesNothingForFinish) {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* stream = open_memstream(&data, &size);
    uint8_t buffer[image_export::GifBitWriter::kBlockBufferSize];
    image_export::GifBitWriter writer(stream, buffer);
    for (int i = 0; i < 255; ++i) writer.PutCode(unsigned(i), 8);
    std::fflush(stream);
    EXPECT_EQ(size, 256u);
    writer.Finish();
    writer.PutCode(1, 1);  // a partly filled byte counts as a whole one
    writer.Finish();
    std::fclose(stream);
    std::string file(data, size);
    std::free(data);
    ASSERT_EQ(file.size(), 258u);
    EXPECT_EQ(Byte(file, 0), 255);
    for (int i = 0; i < 255; ++i) ASSERT_EQ(Byte(file, 1 + i), i);
    EXPECT_EQ(Byte(file, 256), 1);
    EXPECT_EQ(Byte(file, 257), 1);
}

}  // namespace
