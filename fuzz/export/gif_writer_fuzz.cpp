// Encodes random indexed images of up to 128 x 96 and decodes them with giflib: what went in
// must come out, and an image with an index outside its colour table must be
// refused without a byte written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "export/gif_writer.h"
#include "platform/debug_output.h"
#include "tests/export/gif_oracle.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "gif_writer_fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        platform::SetDebugSink([](const std::string&) {});
        return true;
    }();
    (void)quiet;
    if (size < 4) return 0;
    using namespace image_export;
    IndexedImage image;
    image.width = 1 + data[0] % 128;  // large enough to fill the dictionary
    image.height = 1 + data[1] % 96;
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
    bool outside = false;
    for (int row = 0; row < image.height; ++row) {
        for (int x = 0; x < image.width; ++x) {
            const size_t k = size_t(row) * image.width + x;
            uint8_t index = count == 0 ? 0 : bytes[k % count];
            if (!keepRawIndices) index = uint8_t(index % tableSize);
            outside = outside || index >= tableSize;
            pixels[size_t(row * stride + x)] = char(index);
        }
    }
    image.pixels = {reinterpret_cast<const uint8_t*>(pixels.data()), pixels.size()};

    char* out = nullptr;
    size_t outSize = 0;
    std::FILE* stream = open_memstream(&out, &outSize);
    const bool ok = WriteGif(image, stream, "fuzz");
    std::fclose(stream);
    const std::string file(out, outSize);
    std::free(out);

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
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            const uint8_t stored = uint8_t(pixels[size_t((image.height - 1 - y) * stride + x)]);
            if (gif.pixels[size_t(y) * image.width + x] != stored) Fail("pixel");
        }
    }
    return 0;
}
