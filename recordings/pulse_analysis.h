// Pulse-period estimation over a stream of single samples: a four-segment
// correlation per candidate lag, continuity with the previous period, harmonic
// correction and a median beat template. Results are diagnostics only (debugger
// output lines and "dumpfile.txt").
//
// All state is one fixed-size object; the program makes one for the whole run
// (ProcessPulseAnalysis), tests make their own. Nothing is allocated per sample or
// per analysis.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/text_log.h"

namespace recordings {

constexpr int kRingSize = 600;
constexpr int kMinLag = 12;
constexpr int kMaxLag = 149;
constexpr int kLagCount = kMaxLag - kMinLag + 1;  // 138
constexpr int kFirstAnalysis = 600;
constexpr int kAnalysisInterval = 50;
// Marks an extreme that has not been seen yet; compared by its bits.
constexpr double kEmptyScore = -12345678900000.0;

struct PulseAnalysisState {
    int32_t lNData = 0;
    int32_t lBaseline = 0;
    int32_t lRing[kRingSize] = {};
    int32_t iRingPos = 0;
    int32_t lNextAnalysis = 0;
    int32_t kPrevPeriod = 0;
    double dPattern[kMaxLag] = {};
    int32_t kPatternLen = 0;
    int32_t lNDataAtPattern = 0;
    double dPatternFit[kMaxLag] = {};
    double dCorrAll[kLagCount] = {};
    double dCorrAllLow[kLagCount] = {};
    double dCorrAllHig[kLagCount] = {};
    int32_t nCorrAll = 0;
    int32_t iDumpLine = 0;
};

// The lag (or template length) with the best score of a search, in visiting order.
struct BestScore {
    int k = 0;
    double d = 0.0;
};

// Search window around a previous period: the template search covers lo .. hi - 1,
// the continuity search lo .. hi.
struct SearchWindow {
    int lo = 0;
    int hi = 0;
};

// A candidate replaces the best only when its score is strictly greater (or the best
// so far is undefined): ties go to the earlier candidate, so a perfect match (+inf)
// wins at its first lag. An undefined score (NaN) never wins.
bool ScoreBeats(double candidate, double best);

SearchWindow WindowAround(int kPrevPeriod);

// Best of dCorr (entry k - kMinLag for lag k) over the lags from .. to, both included.
BestScore BestLag(const double* dCorr, int from, int to);

// Harmonic candidates of lag k in visiting order; returns their count (0, 3 or 6).
// 0 means the correction loop does not run for k.
int HarmonicCandidates(int k, int out[6]);

// The outcome of the harmonic correction loop starting from the global winner.
struct HarmonicResult {
    int kAMDFMax = 0;
    double dCorrAMDFMax = 0.0;
    double dFrHarmonic = 0.0;
};
HarmonicResult CorrectHarmonics(const double* dCorr, int kAMDFMax, double dCorrAMDFMax,
                                int kPrevPeriod, SearchWindow window);

class CPulseAnalysis {
public:
    CPulseAnalysis() = default;
    CPulseAnalysis(const CPulseAnalysis&) = delete;
    CPulseAnalysis& operator=(const CPulseAnalysis&) = delete;

    // The serialising entry every caller uses: waits in 20 ms sleeps while another
    // call runs, then takes one sample.
    int AutoCorrEntry(int32_t sample);

    // One sample; runs an analysis every 50 samples from the 600th on. Returns 0.
    int AutoCorr(int32_t sample);

    // End-of-replay summary: 138 per-lag lines, then closes the dump file.
    void AutoCorrSummary();

    // Where "dumpfile.txt" is created; empty means the working directory. Takes
    // effect the next time the file is opened.
    void SetDumpDirectory(const std::string& dir);
    const std::string& DumpPath() const { return dump_.Path(); }
    bool DumpOpen() const { return dump_.IsOpen(); }

    // The stages of an analysis, over the current ring.
    double CorrLag(int e, int k) const;
    void BuildPattern(int k);
    void ResamplePattern(int n);
    double PatternCorr(int n);
    // Writes the samples that arrived since the template was built beside the
    // template fitted to kFit; opens the dump file first when it is closed.
    void DumpNewSamples(int kFit);

    const PulseAnalysisState& State() const { return state_; }
    PulseAnalysisState& MutableStateForTesting() { return state_; }

private:
    void Analyse();
    int32_t At(int p) const;

    PulseAnalysisState state_;
    platform::TextLog dump_{"dumpfile.txt"};  // keeps the decimal point
    std::atomic<bool> busy_{false};
};

// The one instance of the program run, created on first use.
CPulseAnalysis& ProcessPulseAnalysis();

}  // namespace recordings
