// Cost of the pulse-period analysis and of an unpaced replay.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <string>

#include "platform/debug_output.h"
#include "recordings/edf_replay.h"
#include "recordings/pulse_analysis.h"
#include "recordings/synthetic_pleth.h"
#include "tools/velt-replay/replay_tool.h"

namespace {

using namespace recordings;

std::string TempDirectory() {
    static const std::string dir = [] {
        char tmpl[] = "/tmp/velt-bench-XXXXXX";
        const char* made = mkdtemp(tmpl);
        return std::string(made != nullptr ? made : "/tmp");
    }();
    return dir;
}

struct Quiet {
    Quiet() {
        platform::SetDebugSink([](std::string_view) {});
    }
    ~Quiet() { platform::SetDebugSink({}); }
};

// One analysis in the tracking state: 49 samples of intake and the 50th that runs
// the 138 lag scores, the template search and the dump lines.
void BM_AnalysisEvery50Samples(benchmark::State& state) {
    Quiet quiet;
    auto analysis = std::make_unique<CPulseAnalysis>();
    analysis->SetDumpDirectory(TempDirectory());
    CSyntheticPleth pleth({.period = static_cast<int>(state.range(0)), .noise = 20});
    for (int i = 0; i < 700; ++i) analysis->AutoCorr(pleth.Next());
    for (auto _ : state) {
        for (int i = 0; i < kAnalysisInterval; ++i) analysis->AutoCorr(pleth.Next());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AnalysisEvery50Samples)->Arg(40)->Arg(100)->Arg(149);

void BM_SampleIntake(benchmark::State& state) {
    auto analysis = std::make_unique<CPulseAnalysis>();
    analysis->AutoCorr(0);
    int32_t v = 0;
    for (auto _ : state) {
        // Stay below the next analysis so only the intake is measured.
        analysis->MutableStateForTesting().lNextAnalysis = analysis->State().lNData + 2;
        analysis->AutoCorr(v++ & 1023);
    }
}
BENCHMARK(BM_SampleIntake);

// A 30 s recording (6,000 sample records) replayed as fast as the clock allows.
void BM_UnpacedReplay30s(benchmark::State& state) {
    Quiet quiet;
    const std::string path = TempDirectory() + "/bench30.edf";
    const auto bytes = velt_replay::MakeSyntheticRecording({.period = 80, .noise = 20}, 6000, true);
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    auto analysis = std::make_unique<CPulseAnalysis>();
    analysis->SetDumpDirectory(TempDirectory());
    for (auto _ : state) {
        // Opened at tick 0, every later look at the clock is long past the end.
        CEdfReplay replay(path, *analysis, nullptr,
                          [n = 0]() mutable { return n++ == 0 ? 0u : 0x7FFFFFFFu; });
        benchmark::DoNotOptimize(replay.Step());
    }
}
BENCHMARK(BM_UnpacedReplay30s)->Unit(benchmark::kMillisecond);

}  // namespace
