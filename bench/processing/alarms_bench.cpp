// What alarm evaluation costs a record: the monitor updated once per record (20 ms)
// over an hour of a varying SpO2 and pulse with dips, a sensor word now and then.
// Run under callgrind for instructions a record:
//   valgrind --tool=callgrind bench/processing/alarms_bench --benchmark_filter=Update
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "processing/alarms.h"

namespace {

void Update(benchmark::State& state) {
    constexpr int kRecords = 180000;  // an hour
    std::vector<alarms::Shown> shown(kRecords);
    for (int i = 0; i < kRecords; ++i) {
        const double t = i * 0.02;
        shown[i].spo2 = std::fmod(t, 300) < 40 ? 86 : 96 + std::sin(t / 7);
        shown[i].pulse = 70 + 60 * (std::fmod(t, 500) < 30);
        if (std::fmod(t, 900) < 15) shown[i].sensor = "Finger?";
    }
    uint64_t events = 0;
    for (auto _ : state) {
        alarms::AlarmMonitor monitor;
        for (int i = 0; i < kRecords; ++i)
            monitor.Update(
                static_cast<uint64_t>(i) * 20, shown[i],
                [](void* c, const alarms::Event&) { ++*static_cast<uint64_t*>(c); }, &events);
    }
    benchmark::DoNotOptimize(events);
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(Update)->Unit(benchmark::kMillisecond);

}  // namespace
