// Instruction count of single analyses under callgrind:
//   valgrind --tool=callgrind --collect-atstart=no recordings_analysis_callgrind
// Only the analysing samples are collected, one per period from 12 to 149 in
// steps, so the total divided by the printed count is the cost of one analysis.
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <string>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#define CALLGRIND_TOGGLE_COLLECT
#endif

#include "platform/debug_output.h"
#include "recordings/pulse_analysis.h"
#include "recordings/synthetic_pleth.h"

int main() {
    using namespace recordings;
    platform::SetDebugSink([](std::string_view) {});
    char tmpl[] = "/tmp/velt-callgrind-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    int analyses = 0;
    for (int period = 12; period <= 149; period += 17) {
        auto analysis = std::make_unique<CPulseAnalysis>();
        if (dir != nullptr) analysis->SetDumpDirectory(dir);
        CSyntheticPleth pleth({.period = period, .noise = 20});
        for (int i = 0; i < 749; ++i) analysis->AutoCorr(pleth.Next());
        for (int round = 0; round < 4; ++round) {
            const int32_t last = pleth.Next();
            CALLGRIND_START_INSTRUMENTATION;
            CALLGRIND_TOGGLE_COLLECT;
            analysis->AutoCorr(last);  // the 50th sample: one whole analysis
            CALLGRIND_TOGGLE_COLLECT;
            CALLGRIND_STOP_INSTRUMENTATION;
            ++analyses;
            for (int i = 0; i < kAnalysisInterval - 1; ++i) analysis->AutoCorr(pleth.Next());
        }
    }
    std::printf("analyses measured: %d\n", analyses);
    return 0;
}
