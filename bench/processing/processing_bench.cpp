// Cost of the per-record path with logging off and a view that draws nothing.
// For instruction counts run the */fixed variants (10000 iterations each) under
// callgrind, collecting only inside the function, and divide by 10000:
//   valgrind --tool=callgrind --toggle-collect='processing::InterpretRecord*'
//            processing_bench --benchmark_filter='BM_InterpretRecord_view/fixed'
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "processing/interpretation.h"
#include "processing/measurement.h"

namespace {

constexpr int kFixed = 10000;

class QuietView : public processing::IMeasurementView {
public:
    void SetFieldText(int, const char* text) override { benchmark::DoNotOptimize(text); }
    void AppendSample(uint8_t value, Colour) override { benchmark::DoNotOptimize(value); }
    void AppendPulseTrend(uint8_t) override {}
    void ResetPlot() override {}
    void RedrawPlot() override {}
    void PlaySoundAsync(const char*) override {}
};

void Put16(std::vector<uint8_t>& b, size_t at, int v) {
    b[at] = static_cast<uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

// Two seconds of plausible type-36 records with ECG (length 86), one pulse per 0.8 s.
std::vector<std::vector<uint8_t>> MakeStream() {
    std::vector<std::vector<uint8_t>> records;
    for (int rec = 0; rec < 100; ++rec) {
        std::vector<uint8_t> b(86, 0);
        double phase = std::fmod(rec * 0.02, 0.8);
        double g = phase < 0.15 ? 0.5 * (1 - std::cos(M_PI * phase / 0.15))
                                : 0.5 * (1 + std::cos(M_PI * (phase - 0.15) / 0.65));
        Put16(b, 2, static_cast<int>(32760 - 15000 * (1 - 0.02 * g)));
        Put16(b, 8, static_cast<int>(32760 - 14000 * (1 - 0.02 * g)));
        Put16(b, 14, static_cast<int>(32760 - 13000 * (1 - 0.02 * g)));
        Put16(b, 18, 589);
        Put16(b, 24, 3000);
        b[28] = b[29] = b[30] = b[31] = 155;
        for (int i = 0; i < 18; ++i) Put16(b, 34 + 2 * i, (rec % 40 == 0 && i > 4) ? -1000 : 20);
        Put16(b, 74, 200);
        Put16(b, 76, 750);
        records.push_back(std::move(b));
    }
    return records;
}

void InterpretStream(benchmark::State& state, bool with_view) {
    processing::Measurement m;
    m.SetLogging(false);
    processing::LinkInterpretation st;
    QuietView view;
    auto records = MakeStream();
    size_t i = 0;
    for (auto _ : state) {
        processing::InterpretRecord(m, st, 36, records[i].data(),
                                    static_cast<int>(records[i].size()),
                                    with_view ? &view : nullptr);
        if (++i == records.size()) i = 0;
    }
}
void BM_InterpretRecord_view(benchmark::State& s) { InterpretStream(s, true); }
void BM_InterpretRecord_noview(benchmark::State& s) { InterpretStream(s, false); }
BENCHMARK(BM_InterpretRecord_view);
BENCHMARK(BM_InterpretRecord_view)->Name("BM_InterpretRecord_view/fixed")->Iterations(kFixed);
BENCHMARK(BM_InterpretRecord_noview);
BENCHMARK(BM_InterpretRecord_noview)->Name("BM_InterpretRecord_noview/fixed")->Iterations(kFixed);

void BM_WLPutSample17(benchmark::State& state) {
    processing::Measurement m;
    m.SetLogging(false);
    processing::UpdateNormFactors(m, 155, 155, 155, 155);
    uint16_t samples[40];
    for (int k = 0; k < 40; ++k)
        samples[k] = static_cast<uint16_t>(32760 - 15000 * (1 - 0.02 * std::sin(k * 0.157)));
    int k = 0;
    for (auto _ : state) {
        processing::WLPutSample17(m, samples[k], samples[k], samples[k]);
        if (++k == 40) k = 0;
    }
}
BENCHMARK(BM_WLPutSample17);
BENCHMARK(BM_WLPutSample17)->Name("BM_WLPutSample17/fixed")->Iterations(kFixed);

void BM_PutEKG18(benchmark::State& state) {
    processing::Measurement m;
    m.SetLogging(false);
    uint8_t blocks[40][36];
    for (int b = 0; b < 40; ++b)
        for (int i = 0; i < 18; ++i) {
            int v = (b == 0 && i > 4 && i < 12) ? -1000 : 20 + (i & 3);
            blocks[b][2 * i] = static_cast<uint8_t>(v & 0xFF);
            blocks[b][2 * i + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
        }
    int b = 0;
    for (auto _ : state) {
        ++m.lSample;
        processing::PutEKG18(m, blocks[b]);
        if (++b == 40) b = 0;
    }
}
BENCHMARK(BM_PutEKG18);
BENCHMARK(BM_PutEKG18)->Name("BM_PutEKG18/fixed")->Iterations(kFixed);

}  // namespace
