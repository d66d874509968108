// Decoder cost per byte over a realistic stream (type-36 frames of 86 bytes with
// escapes); run under callgrind for instruction counts:
//   valgrind --tool=callgrind --toggle-collect='*DecodeStream*' link_decoder_bench
//       --benchmark_filter=FrameDecoder --benchmark_min_time=0.01
// and divide by the calls times the stream's 46050 bytes.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "link/frame_decoder.h"
#include "link/reduced_decoder.h"
#include "tests/link/wire.h"

namespace {

struct NullHandler {
    long frames = 0;
    bool Acknowledge(const uint8_t*, int) { return true; }
    void Frame(bool) { ++frames; }
    void Log(const char*) {}
};

std::vector<uint8_t> Stream() {
    std::mt19937 rng(3);
    std::vector<uint8_t> s;
    for (int i = 0; i < 500; ++i) {
        std::vector<uint8_t> payload(86);
        for (auto& b : payload) b = static_cast<uint8_t>(rng() % 0xF0);  // few escapes
        if (i % 10 == 0) payload[i % 86] = 0xFD;
        wire::Append(s, wire::Frame(static_cast<uint8_t>(i & 0x7F), 36, payload));
    }
    return s;
}

// Out of line so that callgrind can count exactly this (--toggle-collect=*DecodeStream*).
__attribute__((noinline)) void DecodeStream(FrameDecoder& decoder, const std::vector<uint8_t>& s,
                                            NullHandler& h) {
    decoder.Feed(s.data(), s.size(), h);
}

void BM_FrameDecoder(benchmark::State& state) {
    const std::vector<uint8_t> s = Stream();
    FrameDecoder decoder;
    decoder.Reset();
    NullHandler h;
    for (auto _ : state) {
        DecodeStream(decoder, s, h);
        benchmark::DoNotOptimize(h.frames);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_FrameDecoder);

void BM_ReducedDecoder(benchmark::State& state) {
    std::vector<uint8_t> s;
    for (int i = 0; i < 4000; ++i) {
        s.push_back(0xF8);
        for (int k = 0; k < 8; ++k) s.push_back(static_cast<uint8_t>(i + k));
        s.push_back(0xF9);
        s.push_back(97);
    }
    ReducedDecoder decoder;
    long sum = 0;
    for (auto _ : state) {
        decoder.Feed(s.data(), s.size(), [&](uint8_t c, uint8_t v) { sum += c + v; });
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_ReducedDecoder);

}  // namespace
