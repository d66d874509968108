#include "recordings/pulse_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <memory>
#include <thread>

#include "tests/recordings/analysis_support.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace recordings;
using namespace recordings_test;
using testing_support::DebugCapture;
using testing_support::TempDir;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::unique_ptr<CPulseAnalysis> Fresh(const TempDir& dir) {
    auto a = std::make_unique<CPulseAnalysis>();
    a->SetDumpDirectory(dir.path());
    return a;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return out;
}

// ---- schedule, summary and the dump file over whole sample streams ----

TEST(PulseAnalysisSchedule, FewerThan600SamplesWriteNothingAndSummaryShowsEmptyValues) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    CSyntheticPleth pleth({.period = 60, .noise = 5});
    Feed(*a, pleth, 599);
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_FALSE(a->DumpOpen());

    a->AutoCorrSummary();
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 138u);
    const std::string undefined = UndefinedText();
    for (int i = 0; i < 138; ++i) {
        EXPECT_EQ(lines[i], "dCorrAll[i] i=" + std::to_string(i) + " dCorrAll=" + undefined +
                                " dCorrAllLow=-1.23457e+13 dCorrAllHig=-1.23457e+13\n");
    }
    EXPECT_FALSE(std::ifstream(a->DumpPath()).good());
}

TEST(PulseAnalysisSchedule, SummaryBeforeTheFirstSampleShowsZeroExtremes) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    a->AutoCorrSummary();
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 138u);
    EXPECT_EQ(lines[137],
              "dCorrAll[i] i=137 dCorrAll=" + UndefinedText() + " dCorrAllLow=0 dCorrAllHig=0\n");
}

TEST(PulseAnalysisSchedule, AnalysesRunAt600ThenEvery50) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    CSyntheticPleth pleth({.period = 60, .noise = 5});
    Feed(*a, pleth, 649);
    auto lines = capture.Lines();
    ASSERT_EQ(AutoCorrLines(lines).size(), 1u);
    EXPECT_EQ(AutoCorrLines(lines)[0].lNData, 600);
    // The first analysis has no previous period: no template match, no dump.
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Compare Harmonics: kFindMax=0 dFindMax=0 kFindMax2=0 ", 0), 0u);
    EXPECT_FALSE(a->DumpOpen());

    Feed(*a, pleth, 1);
    lines = capture.Lines();
    ASSERT_EQ(AutoCorrLines(lines).size(), 2u);
    EXPECT_EQ(AutoCorrLines(lines)[1].lNData, 650);
    EXPECT_EQ(lines[2].rfind("Compare Harmonics: kFindMax=0 ", 0), 0u);
    EXPECT_EQ(lines[3].rfind("CorrPattern: k1Max=", 0), 0u);
    EXPECT_TRUE(a->DumpOpen());

    Feed(*a, pleth, 150);
    EXPECT_EQ(AutoCorrLines(capture.Lines()).size(), 5u);
    EXPECT_EQ(a->State().lNextAnalysis, 850);
}

TEST(PulseAnalysisSchedule, DumpFileHoldsEveryNewSampleAndIsReopenedAfterTheSummary) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    CSyntheticPleth pleth({.period = 45, .noise = 3});
    Feed(*a, pleth, 700);  // analyses at 600, 650, 700
    a->AutoCorrSummary();
    EXPECT_FALSE(a->DumpOpen());
    auto lines = SplitLines(dir.Read("dumpfile.txt"));
    ASSERT_EQ(lines.size(), 100u);
    for (size_t i = 0; i < lines.size(); ++i) {
        int n = -1, q = 0, x = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(), "%d\t%d\t%d", &n, &q, &x), 3) << lines[i];
        EXPECT_EQ(n, static_cast<int>(i));
    }
    // The last dumped sample is the newest one of the ring.
    int n, q, x;
    std::sscanf(lines.back().c_str(), "%d\t%d\t%d", &n, &q, &x);
    EXPECT_EQ(x, a->State().lRing[(a->State().iRingPos + 599) % 600]);

    Feed(*a, pleth, 50);
    a->AutoCorrSummary();
    lines = SplitLines(dir.Read("dumpfile.txt"));
    ASSERT_EQ(lines.size(), 50u);  // truncated when reopened, numbering goes on
    EXPECT_EQ(lines.front().rfind("100\t", 0), 0u);
}

TEST(PulseAnalysisSchedule, AnalysisGoesOnWhenTheDumpFileCannotBeCreated) {
    TempDir dir;
    CPulseAnalysis a;
    a.SetDumpDirectory(dir.File("missing/folder"));
    DebugCapture capture;
    CSyntheticPleth pleth({.period = 50, .noise = 3});
    Feed(a, pleth, 750);
    EXPECT_EQ(AutoCorrLines(capture.Lines()).size(), 4u);
    EXPECT_EQ(WithPrefix(capture.Lines(), "CorrPattern: ").size(), 3u);
    EXPECT_FALSE(a.DumpOpen());
    EXPECT_EQ(a.State().iDumpLine, 0);
}

// ---- periods found in synthetic signals ----

TEST(PulseAnalysisPeriods, SyntheticPulsesOfKnownPeriodAreFound) {
    for (int period : {40, 57, 80, 100, 123, 140}) {
        TempDir dir;
        auto a = Fresh(dir);
        DebugCapture capture;
        CSyntheticPleth pleth({.period = period, .noise = 20, .drift = 100, .seed = 7u});
        Feed(*a, pleth, 1500);
        const auto results = AutoCorrLines(capture.Lines());
        ASSERT_EQ(results.size(), 19u);
        for (const auto& r : results) {
            EXPECT_EQ(r.kAMDFMax, period) << "period " << period << " at " << r.lNData;
            EXPECT_GT(r.dCorrAMDFMax, 0.0);
        }
        // Tracking keeps the period, so no new-pulse decision is traced.
        EXPECT_TRUE(WithPrefix(capture.Lines(), "New Pulse: ").empty()) << period;
    }
}

TEST(PulseAnalysisPeriods, AlternatingBeatsAreCorrectedFromTheDoublePeriodToTheBeat) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    CSyntheticPleth pleth({.period = 35, .noise = 30, .second_beat_percent = 97});
    Feed(*a, pleth, 600);
    const auto results = AutoCorrLines(capture.Lines());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].kAMDFMax, 35);
    EXPECT_GT(results[0].dFrHarmonic, 0.5);
    // The line before shows the double period's best harmonic candidate.
    double d2 = 0, frac = 0;
    ASSERT_EQ(std::sscanf(capture.Lines()[0].c_str(),
                          "Compare Harmonics: kFindMax=0 dFindMax=0 kFindMax2=0 dFindMax2=%lg "
                          "dFrac=%lg",
                          &d2, &frac),
              2);
    EXPECT_DOUBLE_EQ(d2, results[0].dCorrAMDFMax);
    EXPECT_DOUBLE_EQ(frac, results[0].dFrHarmonic);
}

TEST(PulseAnalysisPeriods, ChangeOfRateIsTracedAsNewPulse) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    CSyntheticPleth slow({.period = 120, .noise = 10});
    Feed(*a, slow, 1200);
    CSyntheticPleth fast({.period = 50, .noise = 10});
    Feed(*a, fast, 600);
    const auto results = AutoCorrLines(capture.Lines());
    EXPECT_EQ(results.front().kAMDFMax, 120);
    EXPECT_EQ(results.back().kAMDFMax, 50);
    EXPECT_FALSE(WithPrefix(capture.Lines(), "New Pulse: ").empty());
}

TEST(PulseAnalysisPeriods, ConstantSignalGivesUndefinedScoresThatNeverEnterTheExtremes) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    for (int i = 0; i < 650; ++i) a->AutoCorrEntry(777);
    const auto results = WithPrefix(capture.Lines(), "AutoCorr: ");
    ASSERT_EQ(results.size(), 2u);
    const std::string undefined = UndefinedText();
    EXPECT_EQ(results[0],
              "AutoCorr: lNData=600 kAMDFMax=12 dCorrAMDFMax=" + undefined + " dFrHarmonic=0\n");
    capture.Clear();
    a->AutoCorrSummary();
    EXPECT_EQ(capture.Lines()[5], "dCorrAll[i] i=5 dCorrAll=" + undefined +
                                      " dCorrAllLow=-1.23457e+13 dCorrAllHig=-1.23457e+13\n");
}

TEST(PulseAnalysisPeriods, SummaryAveragesLieBetweenTheExtremes) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    CSyntheticPleth pleth({.period = 70, .noise = 40, .seed = 3u});
    Feed(*a, pleth, 1000);
    capture.Clear();
    a->AutoCorrSummary();
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 138u);
    EXPECT_EQ(a->State().nCorrAll, 9);
    for (int i = 0; i < 138; ++i) {
        int idx = -1;
        double avg = 0, lo = 0, hi = 0;
        ASSERT_EQ(std::sscanf(lines[i].c_str(),
                              "dCorrAll[i] i=%d dCorrAll=%lg dCorrAllLow=%lg dCorrAllHig=%lg", &idx,
                              &avg, &lo, &hi),
                  4);
        EXPECT_EQ(idx, i);
        EXPECT_LT(lo, hi) << i;
        // "%lg" keeps six digits; allow for the rounding of all three.
        EXPECT_GE(avg, lo - 1e-5 * std::fabs(lo)) << i;
        EXPECT_LE(avg, hi + 1e-5 * std::fabs(hi)) << i;
    }
}

TEST(PulseAnalysisPeriods, SerialisingEntryLosesNoSampleUnderContention) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    auto feed = [&](int32_t offset) {
        for (int i = 0; i < 400; ++i) a->AutoCorrEntry(offset + (i % 40) * 10);
    };
    std::thread t1(feed, 0), t2(feed, 5);
    t1.join();
    t2.join();
    EXPECT_EQ(a->State().lNData, 800);
    EXPECT_EQ(AutoCorrLines(capture.Lines()).size(), 5u);
}

// ---- sample intake ----

TEST(PulseAnalysisIntake, BaselineFollowsBySixtyFourthsRoundingDown) {
    TempDir dir;
    auto a = Fresh(dir);
    a->AutoCorr(1000);
    EXPECT_EQ(a->State().lBaseline, 1000);
    EXPECT_EQ(a->State().lRing[0], 0);
    a->AutoCorr(999);  // (-1) >> 6 is -1, not 0
    EXPECT_EQ(a->State().lBaseline, 999);
    EXPECT_EQ(a->State().lRing[1], 0);
    a->AutoCorr(1062);  // 63 >> 6 is 0
    EXPECT_EQ(a->State().lBaseline, 999);
    EXPECT_EQ(a->State().lRing[2], 63);
    a->AutoCorr(1063);
    EXPECT_EQ(a->State().lBaseline, 1000);
    EXPECT_EQ(a->State().lRing[3], 63);
    EXPECT_EQ(a->State().iRingPos, 4);
    EXPECT_EQ(a->State().lNextAnalysis, 600);
    for (int i = 0; i < 596; ++i) a->AutoCorr(1000);
    EXPECT_EQ(a->State().iRingPos, 0);
}

TEST(PulseAnalysisIntake, ExtremeSamplesStayWithinRange) {
    TempDir dir;
    auto a = Fresh(dir);
    DebugCapture capture;
    const int32_t hi = std::numeric_limits<int32_t>::max();
    const int32_t lo = std::numeric_limits<int32_t>::min();
    a->AutoCorr(hi);
    a->AutoCorr(lo);
    EXPECT_LT(a->State().lBaseline, hi);
    EXPECT_EQ(a->State().lRing[1], lo);  // saturated, not wrapped round
    for (int i = 0; i < 700; ++i) a->AutoCorr(i % 2 ? hi : lo);
    EXPECT_EQ(AutoCorrLines(capture.Lines()).size(), 3u);
}

// ---- the stages on planted data ----

TEST(PulseAnalysisStages, CorrLagIsTheMedianOfTheSixPairRatios) {
    TempDir dir;
    auto a = Fresh(dir);
    auto& s = a->MutableStateForTesting();
    const int e = 5, k = 12;  // the segments wrap past position 0
    for (int j = 0; j < k; ++j) {
        for (int seg = 0; seg < 4; ++seg) s.lRing[(e - j - seg * k + 600) % 600] = seg + 1;
    }
    // Pair ratios: (0,1) 2, (1,2) 6, (2,3) 12, (0,2) 1.5, (1,3) 4, (0,3) 4/3.
    EXPECT_DOUBLE_EQ(a->CorrLag(e, k), (2.0 + 4.0) / 2.0);
    for (int p = 0; p < 600; ++p) s.lRing[p] *= 3;  // the ratio scales with the signal
    EXPECT_DOUBLE_EQ(a->CorrLag(e, k), 9.0);
}

TEST(PulseAnalysisStages, CorrLagHandlesFullRangeDifferencesAndAllZeroSegments) {
    TempDir dir;
    auto a = Fresh(dir);
    auto& s = a->MutableStateForTesting();
    const int32_t hi = std::numeric_limits<int32_t>::max();
    const int32_t lo = std::numeric_limits<int32_t>::min();
    const int e = 599, k = 20;
    for (int i = 0; i < 4 * k; ++i) s.lRing[e - i] = (i / k) % 2 == 0 ? hi : lo;
    // Four opposite pairs share one ratio; the two equal pairs are perfect (infinite).
    const double opposite = (double(hi) * double(lo)) / (double(hi) - double(lo));
    EXPECT_DOUBLE_EQ(a->CorrLag(e, k), opposite);

    for (int p = 0; p < 600; ++p) s.lRing[p] = 0;
    EXPECT_TRUE(std::isnan(a->CorrLag(e, k)));
}

TEST(PulseAnalysisStages, BuildPatternTakesTheMedianOverFivePeriods) {
    TempDir dir;
    auto a = Fresh(dir);
    auto& s = a->MutableStateForTesting();
    s.lNData = 4321;
    for (int ring_pos : {100, 10}) {  // 10: the older periods wrap past position 0
        s.iRingPos = ring_pos;
        const int k = 20;
        const int order[5] = {0, 2, 4, 1, 3};
        for (int j = 0; j < k; ++j) {
            const int p = ring_pos - k + j;
            for (int i = 0; i < 5; ++i) s.lRing[(p - i * k + 600) % 600] = order[i] * 10 + j;
        }
        a->BuildPattern(k);
        for (int j = 0; j < k; ++j) EXPECT_EQ(s.dPattern[j], 20 + j) << ring_pos << " " << j;
        EXPECT_EQ(s.kPatternLen, k);
        EXPECT_EQ(s.lNDataAtPattern, 4321);
    }
}

struct ResampleCase {
    int L;
    int n;
    std::vector<int> expected;
};

TEST(PulseAnalysisStages, ResamplePatternPicksNearestEntries) {
    std::vector<int> identity;
    for (int i = 0; i < 33; ++i) identity.push_back(i);
    const ResampleCase cases[] = {
        {16, 14, {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14}},
        {16, 18, {0, 1, 2, 3, 4, 4, 5, 6, 7, 8, 9, 10, 11, 12, 12, 13, 14, 15}},
        {12, 13, {0, 1, 2, 3, 4, 5, 6, 6, 7, 8, 9, 10, 11}},
        {33, 33, identity},
    };
    for (const auto& c : cases) {
        TempDir dir;
        auto a = Fresh(dir);
        auto& s = a->MutableStateForTesting();
        s.kPatternLen = c.L;
        for (int i = 0; i < c.L; ++i) s.dPattern[i] = i;
        a->ResamplePattern(c.n);
        std::vector<int> got;
        for (int i = 0; i < c.n; ++i) got.push_back(static_cast<int>(s.dPatternFit[i]));
        EXPECT_EQ(got, c.expected) << "L=" << c.L << " n=" << c.n;
    }
}

TEST(PulseAnalysisStages, ResamplePatternCoversTheWholeTemplateAtTheWindowEdges) {
    for (int L : {12, 40, 100, 149}) {
        const SearchWindow w = WindowAround(L);
        for (int n = w.lo; n <= w.hi; ++n) {
            TempDir dir;
            auto a = Fresh(dir);
            auto& s = a->MutableStateForTesting();
            s.kPatternLen = L;
            for (int i = 0; i < L; ++i) s.dPattern[i] = i;
            a->ResamplePattern(n);
            // Monotone, starting at the first entry, steps of at most 2, ending near the last.
            EXPECT_EQ(s.dPatternFit[0], 0);
            for (int i = 1; i < n; ++i) {
                const double step = s.dPatternFit[i] - s.dPatternFit[i - 1];
                EXPECT_GE(step, 0) << L << "/" << n;
                EXPECT_LE(step, 2) << L << "/" << n;
            }
            EXPECT_GE(s.dPatternFit[n - 1], L - 2) << L << "/" << n;
        }
    }
}

TEST(PulseAnalysisStages, PatternCorrScoresTheNewSamplesAgainstTheTemplate) {
    TempDir dir;
    auto a = Fresh(dir);
    auto& s = a->MutableStateForTesting();
    s.kPatternLen = 20;
    for (int i = 0; i < 20; ++i) s.dPattern[i] = 10;
    s.lNData = s.lNDataAtPattern = 700;
    EXPECT_TRUE(std::isnan(a->PatternCorr(20)));  // no new samples

    s.lNData = 702;
    s.iRingPos = 1;  // the two new samples sit at 599 and 0
    s.lRing[599] = 10;
    s.lRing[0] = 20;
    // A = 10*10 + 20*10, B = |10-10| + |20-10|
    EXPECT_DOUBLE_EQ(a->PatternCorr(20), 30.0);
}

TEST(PulseAnalysisStages, DumpLinesWrapThroughTheRingAndTheTemplate) {
    TempDir dir;
    auto a = Fresh(dir);
    auto& s = a->MutableStateForTesting();
    s.kPatternLen = 20;
    for (int i = 0; i < 20; ++i) s.dPattern[i] = (i % 2 ? -1.9 : 1.9) * i;
    for (int p = 0; p < 600; ++p) s.lRing[p] = p;
    s.iRingPos = 30;
    s.lNData = 1000;
    s.lNDataAtPattern = 940;  // 60 new samples: positions 570 .. 599, 0 .. 29
    s.iDumpLine = 7;
    DebugCapture capture;
    a->DumpNewSamples(20);
    a->AutoCorrSummary();
    const auto lines = SplitLines(dir.Read("dumpfile.txt"));
    ASSERT_EQ(lines.size(), 60u);
    for (int t = 0; t < 60; ++t) {
        const int f = t % 20;
        const int q = static_cast<int>((f % 2 ? -1.9 : 1.9) * f);  // truncated toward zero
        const int pos = (570 + t) % 600;
        EXPECT_EQ(lines[t],
                  std::to_string(7 + t) + "\t" + std::to_string(q) + "\t" + std::to_string(pos));
    }
    EXPECT_EQ(s.iDumpLine, 67);
    EXPECT_EQ(dir.Read("dumpfile.txt").substr(0, 9), "7\t0\t570\r\n");
}

// ---- decisions over planted scores ----

std::vector<double> Scores(double fill) { return std::vector<double>(kLagCount, fill); }
double& At(std::vector<double>& d, int lag) { return d[lag - kMinLag]; }

TEST(PulseAnalysisDecisions, SearchWindowsAroundThePreviousPeriod) {
    const struct {
        int prev, lo, hi;
    } cases[] = {{100, 88, 112}, {12, 12, 13}, {149, 131, 149}, {40, 35, 45}, {15, 14, 16}};
    for (const auto& c : cases) {
        const SearchWindow w = WindowAround(c.prev);
        EXPECT_EQ(w.lo, c.lo) << c.prev;
        EXPECT_EQ(w.hi, c.hi) << c.prev;
    }
}

TEST(PulseAnalysisDecisions, HarmonicCandidatesByLag) {
    const struct {
        int k;
        std::vector<int> expected;
    } cases[] = {
        {120, {59, 60, 61, 39, 40, 41}},
        {60, {29, 30, 31, 19, 20, 21}},
        {38, {18, 19, 20}},
        {39, {18, 19, 20, 12, 13, 14}},
        {26, {12, 13, 14}},
        {25, {}},
        {12, {}},
    };
    for (const auto& c : cases) {
        int out[6];
        const int n = HarmonicCandidates(c.k, out);
        EXPECT_EQ(std::vector<int>(out, out + n), c.expected) << c.k;
    }
}

TEST(PulseAnalysisDecisions, MaximaPreferShorterLagsAndPerfectMatchesButNeverUndefinedScores) {
    auto d = Scores(0.1);
    At(d, 50) = 2.0;
    At(d, 70) = 2.0;
    EXPECT_EQ(BestLag(d.data(), kMinLag, kMaxLag).k, 50);
    At(d, 13) = kNaN;
    EXPECT_EQ(BestLag(d.data(), kMinLag, kMaxLag).k, 50);
    At(d, 60) = kInf;
    At(d, 149) = kInf;
    const BestScore b = BestLag(d.data(), kMinLag, kMaxLag);
    EXPECT_EQ(b.k, 60);
    EXPECT_EQ(b.d, kInf);
    EXPECT_EQ(BestLag(d.data(), 61, 69).k, 61);  // a plain tie over the range

    auto undefined = Scores(kNaN);
    EXPECT_EQ(BestLag(undefined.data(), kMinLag, kMaxLag).k, kMinLag);
    At(undefined, 40) = -kInf;
    EXPECT_EQ(BestLag(undefined.data(), kMinLag, kMaxLag).k, 40);
    EXPECT_TRUE(ScoreBeats(kInf, 1.0));
    EXPECT_FALSE(ScoreBeats(kInf, kInf));
    EXPECT_FALSE(ScoreBeats(kNaN, 1.0));
    EXPECT_FALSE(ScoreBeats(kNaN, -kInf));
    EXPECT_TRUE(ScoreBeats(-5.0, kNaN));
    EXPECT_FALSE(ScoreBeats(1.0, 1.0));
}

TEST(PulseAnalysisDecisions, HarmonicCorrectionMovesDownWhileNearlyAsStrong) {
    auto d = Scores(0.0);
    At(d, 120) = 1.0;
    At(d, 60) = 0.6;   // 0.6 of the maximum: accepted
    At(d, 31) = 0.35;  // 0.35 / 0.6 = 0.58 of the new maximum: accepted
    At(d, 16) = 0.1;   // 0.29: rejected without a previous period
    HarmonicResult r = CorrectHarmonics(d.data(), 120, 1.0, 0, {});
    EXPECT_EQ(r.kAMDFMax, 31);
    EXPECT_DOUBLE_EQ(r.dCorrAMDFMax, 0.35);
    EXPECT_DOUBLE_EQ(r.dFrHarmonic, 0.35 / 0.6);

    // Near the previous period a quarter of the strength is enough.
    r = CorrectHarmonics(d.data(), 120, 1.0, 15, WindowAround(15));
    EXPECT_EQ(r.kAMDFMax, 16);
    EXPECT_DOUBLE_EQ(r.dFrHarmonic, 0.1 / 0.35);
    // ...but not outside its window.
    r = CorrectHarmonics(d.data(), 120, 1.0, 100, WindowAround(100));
    EXPECT_EQ(r.kAMDFMax, 31);
}

TEST(PulseAnalysisDecisions, HarmonicTiesGoToTheHalfPeriodAndNoCorrectionBelow26) {
    auto d = Scores(0.0);
    At(d, 120) = 1.0;
    At(d, 59) = 0.8;
    At(d, 60) = 0.8;
    At(d, 40) = 0.8;
    EXPECT_EQ(CorrectHarmonics(d.data(), 120, 1.0, 0, {}).kAMDFMax, 59);
    At(d, 59) = 0.0;
    EXPECT_EQ(CorrectHarmonics(d.data(), 120, 1.0, 0, {}).kAMDFMax, 60);
    At(d, 60) = kNaN;  // never taken, the third-period candidate is
    EXPECT_EQ(CorrectHarmonics(d.data(), 120, 1.0, 0, {}).kAMDFMax, 40);

    auto low = Scores(0.9);
    const HarmonicResult r = CorrectHarmonics(low.data(), 25, 1.0, 0, {});
    EXPECT_EQ(r.kAMDFMax, 25);
    EXPECT_EQ(r.dFrHarmonic, 0.0);

    auto at38 = Scores(0.0);
    At(at38, 38) = 1.0;
    At(at38, 12) = 0.9;  // a third of 38 is 12: not a candidate
    At(at38, 13) = 0.9;
    EXPECT_EQ(CorrectHarmonics(at38.data(), 38, 1.0, 0, {}).kAMDFMax, 38);
    At(at38, 20) = 0.7;
    EXPECT_EQ(CorrectHarmonics(at38.data(), 38, 1.0, 0, {}).kAMDFMax, 20);
}

}  // namespace
