// Cost of the plot's per-sample work, the dirty-region bookkeeping included. For an
// instruction count: valgrind --tool=callgrind --toggle-collect='*AppendSample*'
//   display_bench --benchmark_filter=AppendSample/pleth --benchmark_min_time=0.01
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "display/waveform_plot.h"

namespace {

// A pulse-like trace: a fast rise and a slow fall, 50 samples a beat, range 40..200.
std::vector<uint8_t> PlethTrace() {
    std::vector<uint8_t> v(4096);
    for (size_t i = 0; i < v.size(); ++i) {
        const double phase = static_cast<double>(i % 50) / 50.0;
        const double shape = phase < 0.2 ? phase / 0.2 : std::exp(-(phase - 0.2) * 4.0);
        v[i] = static_cast<uint8_t>(40 + 160 * shape);
    }
    return v;
}

int g_requests = 0;
void CountRequest(void*) { ++g_requests; }

void BM_AppendSample(benchmark::State& state, std::vector<uint8_t> trace) {
    WaveformPlot plot;
    plot.SetRepaintRequest(&CountRequest, nullptr);
    plot.ResetPlot();
    size_t i = 0;
    for (auto _ : state) {
        plot.AppendSample(trace[i], RGB(0, 0, 0));
        i = (i + 1) & (trace.size() - 1);
        // A screen flush takes the region about every 16 ms, i.e. rarely per sample.
        if ((i & 63) == 0) benchmark::DoNotOptimize(plot.TakeDirtyRegion());
    }
    state.SetItemsProcessed(state.iterations());
}

// Full-scale jumps between 0 and 255 every sample: the longest possible segments.
std::vector<uint8_t> WorstTrace() {
    std::vector<uint8_t> v(4096);
    for (size_t i = 0; i < v.size(); ++i) v[i] = (i & 1) ? 255 : 0;
    return v;
}

void BM_AppendPulseTrend(benchmark::State& state) {
    WaveformPlot plot;
    plot.ResetPlot();
    uint8_t v = 100;
    for (auto _ : state) {
        plot.AppendPulseTrend(v);
        plot.AppendSample(128, RGB(0, 0, 0));
        v = static_cast<uint8_t>(v == 180 ? 100 : v + 1);
    }
}

void BM_RedrawPlot(benchmark::State& state) {
    WaveformPlot plot;
    const std::vector<uint8_t> trace = PlethTrace();
    for (int i = 0; i < 700; ++i)
        plot.AppendSample(trace[i], i % 3 ? RGB(0, 0, 0) : RGB(0, 128, 0));
    for (auto _ : state) {
        plot.RedrawPlot();
        benchmark::DoNotOptimize(plot.TakeDirtyRegion());
    }
}

}  // namespace

BENCHMARK_CAPTURE(BM_AppendSample, pleth, PlethTrace());
BENCHMARK_CAPTURE(BM_AppendSample, flat, std::vector<uint8_t>(4096, 128));
BENCHMARK_CAPTURE(BM_AppendSample, worst, WorstTrace());
BENCHMARK(BM_AppendPulseTrend);
BENCHMARK(BM_RedrawPlot);
