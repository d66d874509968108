// Encodes random indexed images of up to 96 x 64 and decodes them with giflib: what went in
// must come out, and an image with an index outside its colour table must be
// refused without a byte written. Noise of 256 colours fills the LZW dictionary
// from about 4,100 pixels on, so the largest images still reach its reset.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory_resource>
#include <new>
#include <string>
#include <vector>

#include "export/gif_writer.h"
#include "fuzz/harness.h"
#include "platform/debug_output.h"
#include "tests/export/gif_oracle.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "gif_writer_fuzz: %s\n", what);
    std::abort();
}

// The encoder's working memory, the same block for every input: a fresh heap block
// per input costs more than the encoding. Blocks are handed out flush with the end
// of the buffer, so a write past them still meets AddressSanitizer's redzone.
class FixedResource : public std::pmr::memory_resource {
    void* do_allocate(size_t bytes, size_t alignment) override {
        if (bytes > sizeof buffer_ || (sizeof buffer_ - bytes) % alignment != 0 || used_)
            throw std::bad_alloc();
        used_ = true;
        return buffer_ + (sizeof buffer_ - bytes);
    }
    void do_deallocate(void*, size_t, size_t) override { used_ = false; }
    bool do_is_equal(const memory_resource& other) const noexcept override {
        return this == &other;
    }

    bool used_ = false;
    alignas(16) uint8_t buffer_[32 * 1024];  // last, so nothing lies between it and the redzone
};

// Room for the largest image of noise with 12-bit codes, and then some.
constexpr size_t kOutputSize = 64 * 1024;

// Fills the rows with the input bytes, repeated; returns whether an index lies
// outside the table (indices are reduced into it unless raw).
FUZZ_NO_COVERAGE bool FillPixels(std::string& pixels, int width, int height, int64_t stride,
                                 const uint8_t* bytes, size_t count, unsigned tableSize, bool raw) {
    bool outside = false;
    size_t k = 0;
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x, ++k) {
            uint8_t index = count == 0 ? 0 : bytes[k % count];
            if (!raw) index = uint8_t(index % tableSize);
            outside = outside || index >= tableSize;
            pixels[size_t(row * stride + x)] = char(index);
        }
    }
    return outside;
}

// The decoded rows run top-down, the stored ones bottom-up.
FUZZ_NO_COVERAGE bool SamePixels(const std::vector<uint8_t>& decoded, const std::string& pixels,
                                 int width, int height, int64_t stride) {
    if (decoded.size() != size_t(width) * height) return false;
    for (int y = 0; y < height; ++y) {
        if (std::memcmp(decoded.data() + size_t(y) * width,
                        pixels.data() + size_t((height - 1 - y) * stride), size_t(width)) != 0)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        platform::SetDebugSink([](std::string_view) {});
        return true;
    }();
    (void)quiet;
    if (size < 4) return 0;
    using namespace image_export;
    IndexedImage image;
    image.width = 1 + data[0] % 96;
    image.height = 1 + data[1] % 64;
    image.usedColours = 1 + data[2];
    const bool keepRawIndices = (data[3] & 1) != 0;
    const unsigned tableSize = 1u << GifColourTableBits(image.usedColours);
    for (int i = 0; i < image.usedColours; ++i) {
        image.palette[i] = {uint8_t(i * 7), uint8_t(i * 13 + data[3]), uint8_t(255 - i), 0};
    }
    const uint8_t* bytes = data + 4;
    const size_t count = size - 4;
    const int64_t stride = RowStride(image.width);
    std::string pixels(size_t(stride * image.height), '\xEE');
    const bool outside = FillPixels(pixels, image.width, image.height, stride, bytes, count,
                                    tableSize, keepRawIndices);
    image.pixels = {reinterpret_cast<const uint8_t*>(pixels.data()), pixels.size()};

    static FixedResource* work = new FixedResource();
    static char* output = new char[kOutputSize];
    std::FILE* stream = fmemopen(output, kOutputSize, "wb");
    setvbuf(stream, nullptr, _IONBF, 0);
    const bool ok = WriteGif(image, stream, "fuzz", work);
    const long written = std::ftell(stream);
    std::fclose(stream);
    const std::string file(output, size_t(written > 0 ? written : 0));

    if (outside) {
        if (ok || !file.empty()) Fail("an index outside the table was written");
        return 0;
    }
    if (!ok) Fail("a valid image was refused");
    const gif_oracle::DecodedGif gif = gif_oracle::Decode(file);
    if (!gif.ok) Fail(("giflib cannot read the file: " + gif.error).c_str());
    if (gif.width != image.width || gif.height != image.height) Fail("size");
    if (gif.colours.size() != tableSize) Fail("colour table size");
    for (unsigned i = 0; i < tableSize; ++i) {
        const PaletteEntry& p = image.palette[i];
        if (!(gif.colours[i] == gif_oracle::Rgb{p.red, p.green, p.blue})) Fail("colour");
    }
    if (!SamePixels(gif.pixels, pixels, image.width, image.height, stride)) Fail("pixel");
    return 0;
}
