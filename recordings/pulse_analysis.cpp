#include "recordings/pulse_analysis.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>

#include "platform/debug_output.h"

namespace recordings {
namespace {

// Every trace line is formatted into a buffer of this size, as one write.
constexpr size_t kLineBuffer = 256;

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...) {
    char line[kLineBuffer];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    platform::OutputDebugString(line);
}

bool IsEmpty(double v) {
    return std::bit_cast<uint64_t>(v) == std::bit_cast<uint64_t>(kEmptyScore);
}

int Wrap(int p) {
    p %= kRingSize;
    return p < 0 ? p + kRingSize : p;
}

int32_t Saturate(int64_t v) {
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// Undefined ratios sort first, so they only reach the median when at least three
// of the six pairs are undefined.
bool RatioLess(double a, double b) {
    if (std::isnan(a)) return !std::isnan(b);
    if (std::isnan(b)) return false;
    return a < b;
}

// Copies the ring oldest-first so that lin[kRingSize - 1] is the sample at e.
void Linearise(const int32_t* ring, int e, double* lin) {
    int p = Wrap(e + 1);
    for (int i = 0; i < kRingSize; ++i) {
        lin[i] = ring[p];
        if (++p == kRingSize) p = 0;
    }
}

// The four-segment score of lag k over the newest 4k samples of lin.
double LagScore(const double* lin, int k) {
    double p01 = 0, p12 = 0, p23 = 0, p02 = 0, p13 = 0, p03 = 0;
    double d01 = 0, d12 = 0, d23 = 0, d02 = 0, d13 = 0, d03 = 0;
    const double* s0 = lin + (kRingSize - 1);
    const double* s1 = s0 - k;
    const double* s2 = s1 - k;
    const double* s3 = s2 - k;
    for (int j = 0; j < k; ++j) {
        const double x0 = s0[-j], x1 = s1[-j], x2 = s2[-j], x3 = s3[-j];
        p01 += x0 * x1;
        p12 += x1 * x2;
        p23 += x2 * x3;
        p02 += x0 * x2;
        p13 += x1 * x3;
        p03 += x0 * x3;
        d01 += std::fabs(x0 - x1);
        d12 += std::fabs(x1 - x2);
        d23 += std::fabs(x2 - x3);
        d02 += std::fabs(x0 - x2);
        d13 += std::fabs(x1 - x3);
        d03 += std::fabs(x0 - x3);
    }
    double r[6] = {p01 / d01, p12 / d12, p23 / d23, p02 / d02, p13 / d13, p03 / d03};
    for (int i = 1; i < 6; ++i) {
        const double v = r[i];
        int j = i;
        for (; j > 0 && RatioLess(v, r[j - 1]); --j) r[j] = r[j - 1];
        r[j] = v;
    }
    return (r[2] + r[3]) / 2.0;
}

int32_t MedianOfFive(int32_t a, int32_t b, int32_t c, int32_t d, int32_t e) {
    int32_t v[5] = {a, b, c, d, e};
    for (int i = 1; i < 5; ++i) {
        const int32_t x = v[i];
        int j = i;
        for (; j > 0 && x < v[j - 1]; --j) v[j] = v[j - 1];
        v[j] = x;
    }
    return v[2];
}

}  // namespace

bool ScoreBeats(double candidate, double best) {
    if (std::isnan(candidate)) return false;
    return std::isnan(best) || candidate > best;
}

SearchWindow WindowAround(int kPrevPeriod) {
    const int t = kPrevPeriod / 8;
    SearchWindow w{kPrevPeriod - t, kPrevPeriod + t};
    if (w.lo < kMinLag) w.lo = kMinLag;
    if (w.hi > kMaxLag) w.hi = kMaxLag;
    return w;
}

BestScore BestLag(const double* dCorr, int from, int to) {
    BestScore best{from, dCorr[from - kMinLag]};
    for (int k = from + 1; k <= to; ++k) {
        if (ScoreBeats(dCorr[k - kMinLag], best.d)) best = {k, dCorr[k - kMinLag]};
    }
    return best;
}

int HarmonicCandidates(int k, int out[6]) {
    if (k / 2 <= kMinLag) return 0;
    int n = 0;
    for (int d = -1; d <= 1; ++d) out[n++] = k / 2 + d;
    if (k / 3 > kMinLag) {
        for (int d = -1; d <= 1; ++d) out[n++] = k / 3 + d;
    }
    return n;
}

HarmonicResult CorrectHarmonics(const double* dCorr, int kAMDFMax, double dCorrAMDFMax,
                                int kPrevPeriod, SearchWindow window) {
    HarmonicResult r{kAMDFMax, dCorrAMDFMax, 0.0};
    int cand[6];
    for (int n = HarmonicCandidates(r.kAMDFMax, cand); n > 0;
         n = HarmonicCandidates(r.kAMDFMax, cand)) {
        BestScore h{cand[0], dCorr[cand[0] - kMinLag]};
        for (int i = 1; i < n; ++i) {
            if (ScoreBeats(dCorr[cand[i] - kMinLag], h.d)) h = {cand[i], dCorr[cand[i] - kMinLag]};
        }
        const double ratio = h.d / r.dCorrAMDFMax;
        const bool near_previous =
            kPrevPeriod != 0 && window.lo <= h.k && h.k <= window.hi && ratio > 0.25;
        if (!(ratio > 0.5 || near_previous)) break;
        r = {h.k, h.d, ratio};
    }
    return r;
}

void CPulseAnalysis::SetDumpDirectory(const std::string& dir) {
    dump_.SetPath(dir.empty() ? std::string("dumpfile.txt") : dir + "/dumpfile.txt");
}

int32_t CPulseAnalysis::At(int p) const { return state_.lRing[Wrap(p)]; }

int CPulseAnalysis::AutoCorrEntry(int32_t sample) {
    while (busy_.exchange(true, std::memory_order_acquire)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    AutoCorr(sample);
    busy_.store(false, std::memory_order_release);
    return 0;
}

int CPulseAnalysis::AutoCorr(int32_t sample) {
    PulseAnalysisState& s = state_;
    if (s.lNData == 0) {
        for (int i = 0; i < kLagCount; ++i) {
            s.dCorrAllLow[i] = kEmptyScore;
            s.dCorrAllHig[i] = kEmptyScore;
            s.dCorrAll[i] = 0.0;
        }
        s.lBaseline = sample;
        s.lNextAnalysis = kFirstAnalysis;
        s.nCorrAll = 0;
    } else {
        // Wide arithmetic: the step lies between baseline and sample, so it fits.
        const int64_t step = (static_cast<int64_t>(sample) - s.lBaseline) >> 6;
        s.lBaseline = static_cast<int32_t>(s.lBaseline + step);
    }
    s.lRing[s.iRingPos] = Saturate(static_cast<int64_t>(sample) - s.lBaseline);
    s.lNData += 1;
    if (++s.iRingPos == kRingSize) s.iRingPos = 0;
    if (s.lNData < s.lNextAnalysis) return 0;
    s.lNextAnalysis += kAnalysisInterval;
    Analyse();
    return 0;
}

double CPulseAnalysis::CorrLag(int e, int k) const {
    double lin[kRingSize];
    Linearise(state_.lRing, e, lin);
    return LagScore(lin, k);
}

void CPulseAnalysis::Analyse() {
    PulseAnalysisState& s = state_;
    const int e = Wrap(s.iRingPos - 1);
    double lin[kRingSize];
    Linearise(s.lRing, e, lin);
    double dCorr[kLagCount];
    for (int k = kMinLag; k <= kMaxLag; ++k) dCorr[k - kMinLag] = LagScore(lin, k);

    const BestScore global = BestLag(dCorr, kMinLag, kMaxLag);
    int kAMDFMax = global.k;
    double dCorrAMDFMax = global.d;

    // The line shows what the decisions below will weigh: the best score near the
    // previous period, the best first harmonic candidate and its share of the maximum.
    const bool tracking = s.kPrevPeriod != 0;
    const SearchWindow window = tracking ? WindowAround(s.kPrevPeriod) : SearchWindow{};
    BestScore local{};
    if (tracking) local = BestLag(dCorr, window.lo, window.hi);
    double dFindMax2 = 0.0;
    double dFrac = 0.0;
    int cand[6];
    const int ncand = HarmonicCandidates(kAMDFMax, cand);
    if (ncand > 0) {
        BestScore h{cand[0], dCorr[cand[0] - kMinLag]};
        for (int i = 1; i < ncand; ++i) {
            if (ScoreBeats(dCorr[cand[i] - kMinLag], h.d)) h = {cand[i], dCorr[cand[i] - kMinLag]};
        }
        dFindMax2 = h.d;
        dFrac = h.d / dCorrAMDFMax;
    }
    Trace("Compare Harmonics: kFindMax=%i dFindMax=%lg kFindMax2=%i dFindMax2=%lg dFrac=%lg\n", 0,
          local.d, 0, dFindMax2, dFrac);

    bool correct_harmonics = true;
    if (tracking) {
        BestScore fit{window.lo, 0.0};
        for (int n = window.lo; n < window.hi; ++n) {
            const double d = PatternCorr(n);
            if (n == window.lo || ScoreBeats(d, fit.d)) fit = {n, d};
        }
        Trace("CorrPattern: k1Max=%i d1Max=%lg\n", fit.k, fit.d);
        DumpNewSamples(fit.k);

        if (local.d > 0.5 * dCorrAMDFMax) {
            kAMDFMax = local.k;
            dCorrAMDFMax = local.d;
            correct_harmonics = false;
        } else {
            Trace("New Pulse: kFindMax=%i dFindMax=%lg - kAMDFMax=%i dCorrAMDFMax=%lg\n", local.k,
                  local.d, kAMDFMax, dCorrAMDFMax);
        }
    }

    double dFrHarmonic = 0.0;
    if (correct_harmonics) {
        const HarmonicResult h =
            CorrectHarmonics(dCorr, kAMDFMax, dCorrAMDFMax, s.kPrevPeriod, window);
        kAMDFMax = h.kAMDFMax;
        dCorrAMDFMax = h.dCorrAMDFMax;
        dFrHarmonic = h.dFrHarmonic;
    }

    Trace("AutoCorr: lNData=%i kAMDFMax=%i dCorrAMDFMax=%lg dFrHarmonic=%lg\n", s.lNData, kAMDFMax,
          dCorrAMDFMax, dFrHarmonic);
    s.kPrevPeriod = kAMDFMax;
    BuildPattern(kAMDFMax);

    for (int i = 0; i < kLagCount; ++i) {
        const double d = dCorr[i];
        s.dCorrAll[i] += d;
        // An undefined score has no order, so it would pin an extreme for the rest of the run.
        if (std::isnan(d)) continue;
        if (IsEmpty(s.dCorrAllHig[i]) || s.dCorrAllHig[i] < d) s.dCorrAllHig[i] = d;
        if (IsEmpty(s.dCorrAllLow[i]) || s.dCorrAllLow[i] > d) s.dCorrAllLow[i] = d;
    }
    s.nCorrAll += 1;
}

void CPulseAnalysis::BuildPattern(int k) {
    if (k < 1 || k > kMaxLag) return;
    PulseAnalysisState& s = state_;
    for (int j = 0; j < k; ++j) {
        const int p = s.iRingPos - k + j;
        s.dPattern[j] = MedianOfFive(At(p), At(p - k), At(p - 2 * k), At(p - 3 * k), At(p - 4 * k));
    }
    s.kPatternLen = k;
    s.lNDataAtPattern = s.lNData;
}

void CPulseAnalysis::ResamplePattern(int n) {
    PulseAnalysisState& s = state_;
    const int L = s.kPatternLen;
    if (n < 1 || n > kMaxLag || L < 1 || L > kMaxLag) return;
    if (n < L) {
        int16_t acc = 0;
        int out = 0;
        for (int i = 0; i < L && out < n; ++i) {
            acc = static_cast<int16_t>(acc - n);
            if (acc < 0) {
                s.dPatternFit[out++] = s.dPattern[i];
                acc = static_cast<int16_t>(acc + L);
            }
        }
    } else {
        int16_t acc = static_cast<int16_t>(L / 2);
        int src = 0;
        for (int out = 0; out < n; ++out) {
            s.dPatternFit[out] = s.dPattern[src < L ? src : L - 1];
            acc = static_cast<int16_t>(acc - L);
            if (acc < 0) {
                acc = static_cast<int16_t>(acc + n);
                ++src;
            }
        }
    }
}

double CPulseAnalysis::PatternCorr(int n) {
    ResamplePattern(n);
    const PulseAnalysisState& s = state_;
    const int m = s.lNData - s.lNDataAtPattern;
    double a = 0.0;
    double b = 0.0;
    if (m <= 0 || n < 1 || n > kMaxLag) {
        volatile double zero = 0.0;  // keeps the undefined result a run-time 0 / 0
        return zero / zero;
    }
    int p = Wrap(s.iRingPos - m);
    for (int t = 0, f = 0; t < m; ++t) {
        const double x = s.lRing[p];
        const double q = s.dPatternFit[f];
        a += x * q;
        b += std::fabs(x - q);
        if (++p == kRingSize) p = 0;
        if (++f == n) f = 0;
    }
    return a / b;
}

void CPulseAnalysis::DumpNewSamples(int kFit) {
    PulseAnalysisState& s = state_;
    dump_.Open();  // created even when no sample is due
    ResamplePattern(kFit);
    if (!dump_.IsOpen() || kFit < 1 || kFit > kMaxLag) return;
    const int m = s.lNData - s.lNDataAtPattern;
    int p = Wrap(s.iRingPos - m);
    platform::TextLog::Batch batch(dump_);  // one flush for the whole batch
    for (int t = 0, f = 0; t < m; ++t) {
        dump_.Printf("%i\t%i\t%i\n", s.iDumpLine, static_cast<int>(s.dPatternFit[f]), s.lRing[p]);
        ++s.iDumpLine;
        if (++p == kRingSize) p = 0;
        if (++f == kFit) f = 0;
    }
}

void CPulseAnalysis::AutoCorrSummary() {
    const PulseAnalysisState& s = state_;
    for (int i = 0; i < kLagCount; ++i) {
        Trace("dCorrAll[i] i=%i dCorrAll=%lg dCorrAllLow=%lg dCorrAllHig=%lg\n", i,
              s.dCorrAll[i] / s.nCorrAll, s.dCorrAllLow[i], s.dCorrAllHig[i]);
    }
    dump_.Close();
}

CPulseAnalysis& ProcessPulseAnalysis() {
    static CPulseAnalysis* instance = new CPulseAnalysis();  // lives for the whole run
    return *instance;
}

}  // namespace recordings
