// Our GIF writer against giflib's EGifPutLine on the same pictures, both writing
// to /dev/null through stdio, open and close included.
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "export/gif_writer.h"
#include "export/indexed_image.h"
#include "export/palette.h"

namespace {

using image_export::IndexedImage;
using image_export::RowStride;

constexpr int kWidth = 858;
constexpr int kHeight = 468;

struct Picture {
    std::vector<uint8_t> storage;  // bottom-up rows of RowStride(kWidth) bytes
    IndexedImage image;
};

void SetPalette(Picture& p, int colours) {
    p.image.width = kWidth;
    p.image.height = kHeight;
    p.image.usedColours = colours;
    for (int i = 0; i < colours; ++i)
        p.image.palette[i] = {uint8_t(i * 29), uint8_t(i * 71), uint8_t(255 - i), 0};
    p.image.pixels = p.storage;
}

// Like the monitoring window: a grey face, white value fields with dark digits,
// a plot with a sweeping trace, a title bar. Eight colours.
const Picture& Screenshot() {
    static const Picture picture = [] {
        Picture p;
        const int64_t stride = RowStride(kWidth);
        p.storage.assign(size_t(stride * kHeight), 0);
        std::mt19937 random(1);
        for (int y = 0; y < kHeight; ++y) {
            uint8_t* row = p.storage.data() + (kHeight - 1 - y) * stride;
            for (int x = 0; x < kWidth; ++x) {
                uint8_t c = 1;      // face
                if (y < 22) c = 2;  // title bar
                if (y >= 40 && y < 200 && (x % 140) >= 70 && (y % 30) < 20) {
                    c = 3;  // value field
                    if ((x % 7) < 2 && (y % 30) > 4 && (y % 30) < 16 && random() % 3) c = 0;
                }
                if (y >= 230 && y < 440 && x >= 20 && x < 838) c = 4;  // plot
                p.storage[size_t((kHeight - 1 - y) * stride + x)] = c;
                (void)row;
            }
        }
        // The trace: a pulse-like curve through the plot, two colours.
        for (int x = 20; x < 838; ++x) {
            const int y =
                330 + int(60.0 * ((x % 90) < 20 ? (x % 90) / 20.0 : 1.0 - (x % 90 - 20) / 70.0)) -
                30;
            for (int dy = 0; dy < 2; ++dy)
                p.storage[size_t((kHeight - 1 - (y + dy)) * stride + x)] = x % 180 < 90 ? 5 : 6;
        }
        SetPalette(p, 8);
        return p;
    }();
    return picture;
}

const Picture& RandomPixels() {
    static const Picture picture = [] {
        Picture p;
        p.storage.resize(size_t(RowStride(kWidth) * kHeight));
        std::mt19937 random(2);
        for (auto& b : p.storage) b = uint8_t(random());
        SetPalette(p, 256);
        return p;
    }();
    return picture;
}

void __attribute__((noinline)) EncodeOurs(const IndexedImage& image) {
    image_export::WriteGif(image, "/dev/null");
}

void __attribute__((noinline)) EncodeWithGiflib(const IndexedImage& image) {
    const int n = int(image_export::GifColourTableBits(image.usedColours));
    int error = 0;
    GifFileType* gif = EGifOpenFileName("/dev/null", false, &error);
    if (gif == nullptr) return;
    EGifSetGifVersion(gif, false);
    GifColorType colours[256];
    for (int i = 0; i < (1 << n); ++i)
        colours[i] = {image.palette[i].red, image.palette[i].green, image.palette[i].blue};
    ColorMapObject* map = GifMakeMapObject(1 << n, colours);
    EGifPutScreenDesc(gif, image.width, image.height, 8, 0, map);
    EGifPutImageDesc(gif, 0, 0, image.width, image.height, false, nullptr);
    const int64_t stride = RowStride(image.width);
    for (int y = 0; y < image.height; ++y) {
        const uint8_t* row = image.pixels.data() + (image.height - 1 - y) * stride;
        EGifPutLine(gif, const_cast<GifPixelType*>(row), image.width);
    }
    EGifCloseFile(gif, &error);
    GifFreeMapObject(map);
}

template <const Picture& (*Make)(), void (*Encode)(const IndexedImage&)>
void BM_Encode(benchmark::State& state) {
    const Picture& p = Make();
    for (auto _ : state) Encode(p.image);
    state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}

BENCHMARK(BM_Encode<Screenshot, EncodeOurs>)
    ->Name("Screenshot/ours")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode<Screenshot, EncodeWithGiflib>)
    ->Name("Screenshot/giflib")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode<RandomPixels, EncodeOurs>)
    ->Name("Random256/ours")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Encode<RandomPixels, EncodeWithGiflib>)
    ->Name("Random256/giflib")
    ->Unit(benchmark::kMicrosecond);
// Exactly one call each, for instruction counts under callgrind.
BENCHMARK(BM_Encode<Screenshot, EncodeOurs>)->Name("Once/Screenshot/ours")->Iterations(1);
BENCHMARK(BM_Encode<Screenshot, EncodeWithGiflib>)->Name("Once/Screenshot/giflib")->Iterations(1);
BENCHMARK(BM_Encode<RandomPixels, EncodeOurs>)->Name("Once/Random256/ours")->Iterations(1);
BENCHMARK(BM_Encode<RandomPixels, EncodeWithGiflib>)->Name("Once/Random256/giflib")->Iterations(1);

// The colour reduction of a 32-bit capture of the screenshot picture.
void BM_ReducePalette(benchmark::State& state) {
    const Picture& p = Screenshot();
    std::vector<uint8_t> bgra(size_t(4) * kWidth * kHeight);
    const int64_t stride = RowStride(kWidth);
    for (int row = 0; row < kHeight; ++row)
        for (int x = 0; x < kWidth; ++x) {
            const auto& c = p.image.palette[p.storage[size_t(row * stride + x)]];
            uint8_t* out = &bgra[(size_t(row) * kWidth + x) * 4];
            out[0] = c.blue, out[1] = c.green, out[2] = c.red, out[3] = 0;
        }
    std::vector<uint8_t> work(bgra.size());
    for (auto _ : state) {
        state.PauseTiming();
        work = bgra;
        auto description = image_export::DescribeBitmap32(kWidth, kHeight);
        state.ResumeTiming();
        image_export::ReducePalette(description, work);
        benchmark::DoNotOptimize(work.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t{kWidth} * kHeight);
}
BENCHMARK(BM_ReducePalette)->Name("ReducePalette/Screenshot")->Unit(benchmark::kMicrosecond);

}  // namespace
