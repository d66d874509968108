// Packet interpretation: field texts, estimates, the trend and the record layouts.
#include "processing/interpretation.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "processing/measurement.h"
#include "tests/processing/fake_view.h"
#include "tests/processing/records.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using processing::InterpretRecord;
using processing::LinkInterpretation;
using processing::Measurement;
using processing_test::FakeView;
using processing_test::Payload;

std::string Fmt(const char* format, double v) {
    char b[64];
    std::snprintf(b, sizeof(b), format, v);
    return b;
}

class InterpretationTest : public ::testing::Test {
protected:
    void Feed(const Payload& p, uint8_t type = 1, processing::IMeasurementView* v = nullptr) {
        auto r = p.Make(type);
        InterpretRecord(m, st, r->type, r->payload, r->length, v);
    }
    void Show(const Payload& p, uint8_t type = 1) { Feed(p, type, &view); }

    // A type-36 payload with the result block after the common (and ECG) block.
    static Payload Results(size_t length, int status, int perf2, int perf, int puls, int rise,
                           int jitter, int spo2, int hbco) {
        Payload p(length);
        size_t e = (length == 70 || length == 86) ? 36 : 0;
        p.Put8(e + 34, status).Put16(e + 36, perf2).Put16(e + 38, perf).Put16(e + 40, puls);
        p.Put16(e + 42, rise).Put16(e + 44, jitter).Put16(e + 46, spo2).Put16(e + 48, hbco);
        return p;
    }

    testing_support::TempDir dir;
    Measurement m{dir.path()};
    LinkInterpretation st;
    FakeView view;
};

// --- The result block and its offsets ---------------------------------------------

TEST_F(InterpretationTest, ResultBlockFollowsCommonBlockAtLength50) {
    Show(Results(50, 0, 7, 250, 723, 1234, 12, 975, 15), 36);
    EXPECT_EQ(view.fields[StatusText], "OK");
    EXPECT_EQ(view.fields[Perfusion_Red], "7");
    EXPECT_EQ(view.fields[Perfusion_IR], "2.50");
    EXPECT_EQ(view.fields[Pulse], "72.3");
    EXPECT_EQ(view.fields[Rise], "123.4");
    EXPECT_EQ(view.fields[Jitter], "12");
    EXPECT_EQ(view.fields[Spo2], "97.5");
    EXPECT_EQ(view.fields[RHbCO], "1.5");
    EXPECT_FLOAT_EQ(m.lower, static_cast<float>(250 * 0.00005));
    EXPECT_FLOAT_EQ(m.upper, static_cast<float>(250 * 0.0002));
}

// The sample hook sees each record's samples as sent, with its ECG block when it has
// one, before the record changes the view; a record too short to interpret is unseen.
TEST_F(InterpretationTest, TheSampleObserverSeesEveryRecordsSamplesBeforeTheView) {
    struct Seen {
        std::vector<std::array<int, 3>> pleth;
        std::vector<int> ecg_first;  // -1: no ECG block
        std::vector<std::string> status_before;
        FakeView* view;
    } seen{{}, {}, {}, &view};
    m.SetSampleObserver(
        [](void* context, const processing::CurrentSample& s, const uint8_t* ecg) {
            auto* seen = static_cast<Seen*>(context);
            seen->pleth.push_back({s.sIR, s.sRed, s.sOra});
            seen->ecg_first.push_back(ecg != nullptr ? static_cast<int16_t>(ecg[0] | ecg[1] << 8)
                                                     : -1);
            seen->status_before.push_back(seen->view->fields[StatusText]);
        },
        &seen);
    Payload ecg = Results(86, 2, 0, 250, 723, 0, 0, 975, 15);
    ecg.Put16(processing_test::kSIR, 40000)
        .Put16(processing_test::kSRed, 1)
        .Put16(processing_test::kSOra, 65535)
        .Put16(34, -1234);
    Show(Results(50, 0, 0, 250, 723, 0, 0, 975, 15), 36);
    Show(ecg, 36);
    Show(Payload(33));
    EXPECT_EQ(seen.pleth,
              (std::vector<std::array<int, 3>>{{20000, 21000, 22000}, {40000, 1, 65535}}));
    EXPECT_EQ(seen.ecg_first, (std::vector<int>{-1, -1234}));
    EXPECT_EQ(seen.status_before, (std::vector<std::string>{"", "OK"}));
    EXPECT_EQ(view.fields[StatusText], "Finger?");
    m.SetSampleObserver(nullptr, nullptr);
    Show(ecg, 36);
    EXPECT_EQ(seen.pleth.size(), 2u);
}

// Exporting and publishing watch one measurement: the observer set and the ones added
// beside it each see every sample, and each goes without taking the others along.
TEST_F(InterpretationTest, FurtherSampleObserversSeeTheSamplesBesideTheSetOne) {
    std::vector<int> set, first, second;
    const auto note = [](void* context, const processing::CurrentSample& s, const uint8_t*) {
        static_cast<std::vector<int>*>(context)->push_back(s.sIR);
    };
    m.SetSampleObserver(note, &set);
    ASSERT_TRUE(m.AddSampleObserver(note, &first));
    ASSERT_TRUE(m.AddSampleObserver(note, &second));
    std::vector<int> third;
    EXPECT_FALSE(m.AddSampleObserver(note, &third));  // no place left: told, not lost
    Show(Results(50, 0, 0, 250, 723, 0, 0, 975, 15), 36);
    m.RemoveSampleObserver(&first);
    m.SetSampleObserver(nullptr, nullptr);  // the export ends; publishing goes on
    Show(Results(50, 0, 0, 250, 723, 0, 0, 975, 15), 36);
    EXPECT_EQ(set, (std::vector<int>{20000}));
    EXPECT_EQ(first, (std::vector<int>{20000}));
    EXPECT_EQ(second, (std::vector<int>{20000, 20000}));
    EXPECT_TRUE(third.empty());
    m.RemoveSampleObserver(&second);
}

TEST_F(InterpretationTest, EcgLengthsShiftTheTypeFieldsBy36) {
    // Length 86: the results sit behind the ECG block; the bytes at 34.. are ECG samples.
    Payload p = Results(86, 2, 3, 400, 600, 10, 5, 950, 20);
    p.Put16(40, 999);  // an ECG sample where a length-50 record has HCPuls
    Show(p, 36);
    EXPECT_EQ(view.fields[StatusText], "Finger?");
    EXPECT_EQ(view.fields[Pulse], "60.0");
    EXPECT_EQ(view.fields[Perfusion_IR], "4.00");

    // Type 19: the four logged values move from 36.. to 72.. at the ECG lengths.
    Payload t19(86);
    for (int i = 0; i < 4; ++i) t19.Put16(72 + 2 * i, 100 + i).Put16(36 + 2 * i, 7);
    Feed(t19, 19);
    Payload plain(44);
    for (int i = 0; i < 4; ++i) plain.Put16(36 + 2 * i, 200 + i);
    Feed(plain, 19);
    EXPECT_EQ(dir.Read("dumpWL1617.txt"),
              "WL16/17\t2\t100\t101\t102\t103\r\nWL16/17\t3\t200\t201\t202\t203\r\n");
}

TEST_F(InterpretationTest, PerfusionBelowTenHidesTheResultsButNotThePerfusion) {
    Show(Results(50, 3, 4, 9, 700, 100, 5, 960, 10), 36);
    for (int f : {Pulse, Spo2, RHbCO, Rise, Jitter}) EXPECT_EQ(view.fields[f], "Perfus?");
    EXPECT_EQ(view.fields[Perfusion_IR], "0.09");
    EXPECT_EQ(view.fields[Perfusion_Red], "4");
    EXPECT_EQ(view.fields[StatusText], "Perfusion?");

    Show(Results(50, 69, 4, 10, 700, 100, 5, 960, 10), 36);
    EXPECT_EQ(view.fields[Pulse], "70.0");
    EXPECT_EQ(view.fields[Perfusion_IR], "0.10");
    EXPECT_EQ(view.fields[StatusText], "Selftest?");

    Show(Results(50, 4, 4, 10, 700, 100, 5, 960, 10), 36);
    EXPECT_EQ(view.fields[StatusText], "undefined");
}

TEST_F(InterpretationTest, WithoutType36NothingOfTheResultsIsTouched) {
    for (int i = 0; i < 60; ++i) Show(Payload(50), 1);
    for (int f : {StatusText, Pulse, Spo2, RHbCO, Rise, Jitter, Perfusion_IR, Perfusion_Red})
        EXPECT_EQ(view.WritesTo(f), 0) << ViewFieldName(f);
    EXPECT_FALSE(std::ifstream(dir.File("fTxtLog2.txt")).good());
    EXPECT_FLOAT_EQ(m.lower, 0.03f);
    EXPECT_FLOAT_EQ(m.upper, 0.2f);
}

TEST_F(InterpretationTest, NoViewMeansNoTextsAndNoResultLog) {
    Feed(Results(50, 0, 1, 200, 700, 100, 5, 960, 10), 36, nullptr);
    EXPECT_EQ(m.lSample, 1u);
    EXPECT_FALSE(std::ifstream(dir.File("fTxtLog2.txt")).good());
    EXPECT_TRUE(std::ifstream(dir.File("fTxtLog.txt")).good());
    // The bounds are still derived: the pulse stage needs them.
    EXPECT_FLOAT_EQ(m.lower, static_cast<float>(200 * 0.00005));
}

// --- Records shorter than their fields ---------------------------------------------

TEST_F(InterpretationTest, RecordsWithoutACommonBlockAreSkipped) {
    testing_support::DebugCapture capture;
    for (size_t n = 0; n < 34; ++n) Show(Payload(n), 36);
    EXPECT_EQ(m.lSample, 0u);
    EXPECT_TRUE(view.writes.empty());
    EXPECT_TRUE(view.samples.empty());
    EXPECT_EQ(capture.Count("*** InterpretRecord: type 36 length 33, record skipped\n"), 1u);
}

TEST_F(InterpretationTest, ShortTypeBlocksAreSkippedButTheCommonBlockCounts) {
    Show(Results(49, 0, 1, 200, 700, 100, 5, 960, 10), 36);  // one byte short of HCHBCO
    Show(Results(70, 0, 1, 200, 700, 100, 5, 960, 10), 36);  // E = 36: needs 86
    EXPECT_EQ(m.lSample, 2u);
    EXPECT_EQ(view.WritesTo(StatusText), 0);
    EXPECT_EQ(view.WritesTo(Pulse), 0);
    EXPECT_EQ(view.samples.size(), 2u);

    Payload t19(43);
    Show(t19, 19);
    Payload t19ecg(70 + 0);  // E = 36: needs 80 bytes, has 70
    Show(t19ecg, 19);
    EXPECT_EQ(m.lSample, 4u);
    EXPECT_FALSE(std::ifstream(dir.File("dumpWL1617.txt")).good());
}

// --- LED settings, gain and the highlight ------------------------------------------

TEST_F(InterpretationTest, FirstRecordShowsLedsAndGainAndHighlights) {
    Payload p;
    p.Put8(processing_test::kLedIR, 155).Put8(processing_test::kLedRed, 205);
    p.Put8(processing_test::kLedOra, 255).Put8(processing_test::kGain, 170);
    Show(p);
    double scale = 0.99 * 0.08167613636363637;  // adapted before the display (generator 0)
    EXPECT_EQ(view.fields[LedS_IR], Fmt("%.2lf", 100 * scale));
    EXPECT_EQ(view.fields[LedS_Red], Fmt("%.2lf", 50 * scale));
    EXPECT_EQ(view.fields[LedS_Red2], "0.00");
    EXPECT_EQ(view.fields[GainI], "0.990");  // 84.15 / 85
    EXPECT_EQ(st.highlight, 5);
    ASSERT_EQ(view.samples.size(), 1u);
    EXPECT_EQ(view.samples[0].second, RGB(255, 0, 0));

    // Unchanged settings: no rewrite, the countdown runs down, then the pulse colour.
    view.Clear();
    for (int i = 0; i < 5; ++i) Show(p);
    EXPECT_EQ(view.WritesTo(LedS_IR) + view.WritesTo(LedS_Red) + view.WritesTo(GainI), 0);
    EXPECT_EQ(st.highlight, 0);
    EXPECT_EQ(view.samples[3].second, RGB(255, 0, 0));
    EXPECT_EQ(view.samples[4].second, m.pulse_colour);

    // A changed LED setting alone restarts the highlight.
    p.Put8(processing_test::kLedRed, 200);
    Show(p);
    EXPECT_EQ(view.WritesTo(LedS_Red), 1);
    EXPECT_EQ(view.WritesTo(GainI), 0);
    EXPECT_EQ(st.highlight, 5);
}

TEST_F(InterpretationTest, WithoutViewTheHighlightStillRunsDown) {
    st.highlight = 3;
    Feed(Payload());
    EXPECT_EQ(st.highlight, 2);
    EXPECT_EQ(st.last_gain, -1);  // nothing shown, so nothing remembered
}

TEST_F(InterpretationTest, LedSetScaleFollowsTheGenerator) {
    Payload p;
    p.Put16(processing_test::kGener, 3000);
    Feed(p);
    EXPECT_DOUBLE_EQ(m.dLEDSetScale,
                     0.99 * 0.08167613636363637 + 3000 * 2.5 * 4.3529455294161177e-07);
}

// --- Red2 presence ------------------------------------------------------------------

TEST_F(InterpretationTest, ThirdLedPresenceUsesStrictTenPercentBounds) {
    // Set current B = 100 steps x scale; measured A = sCurOra x 0.0138716...
    const double b = 100 * 0.08167613636363637;
    int at_upper = static_cast<int>(std::ceil(1.1 * b / Measurement::dLEDMeasScale));
    auto mode_for = [&](int cur) {
        Measurement fresh(dir.path());
        fresh.SetLogging(false);
        LinkInterpretation s;
        Payload p;
        p.Put8(processing_test::kLedOra, 155).Put16(processing_test::kCurOra, cur);
        auto r = p.Make(1);
        InterpretRecord(fresh, s, r->type, r->payload, r->length, nullptr);
        return s.red2_mode;
    };
    ASSERT_GE(at_upper * Measurement::dLEDMeasScale, 1.1 * b);
    EXPECT_EQ(mode_for(at_upper), 1);      // at or above 1.1 x B: absent
    EXPECT_EQ(mode_for(at_upper - 1), 2);  // just inside
    int at_lower = static_cast<int>(std::floor(b / 1.1 / Measurement::dLEDMeasScale));
    EXPECT_EQ(mode_for(at_lower), 1);  // B >= 1.1 x A
    EXPECT_EQ(mode_for(at_lower + 1), 2);
}

TEST_F(InterpretationTest, AbsentThirdLedDashesItsColumnOnceAndStopsItsEstimates) {
    Payload present;
    present.Put8(processing_test::kLedOra, 155).Put16(processing_test::kCurOra, 589);
    Show(present);
    ASSERT_EQ(st.red2_mode, 2);
    EXPECT_NE(st.rms_mean[2], 0.0);
    EXPECT_NE(m.dSensRed2, 0.0);

    Payload absent = present;
    absent.Put16(processing_test::kCurOra, 0);
    view.Clear();
    Show(absent);
    EXPECT_EQ(st.red2_mode, 1);
    for (int f : {Adc_Red2, AdcSig_Red2, Sensor_Red2, Rms_Red2}) {
        EXPECT_EQ(view.fields[f], "-") << ViewFieldName(f);
        EXPECT_EQ(view.WritesTo(f), 1);
    }
    EXPECT_EQ(st.rms_mean[2], 0.0);
    EXPECT_EQ(st.rms_var[2], 0.0);
    EXPECT_EQ(view.WritesTo(LedS_Red2), 1);  // shown again
    double sens = m.dSensRed2;
    view.Clear();
    for (int i = 0; i < 30; ++i) Show(absent);
    EXPECT_EQ(m.dSensRed2, sens);
    EXPECT_EQ(view.WritesTo(Adc_Red2) + view.WritesTo(Sensor_Red2) + view.WritesTo(Rms_Red2), 0);
    EXPECT_EQ(view.WritesTo(LedM_Red2), 1);  // measured current is shown in every mode
}

// --- Periodic display and RMS --------------------------------------------------------

TEST_F(InterpretationTest, PeriodicDisplayRunsOnEvery26thRecordAndRmsOnTheNext) {
    Payload p;
    p.Put16(processing_test::kRSens, 2999).Put16(processing_test::kAmbient, 1000);
    p.Put16(processing_test::kGener, 2000).Put16(processing_test::kTemp, 2250);
    p.Put16(processing_test::kCurIR, 1000).Put16(processing_test::kSIR2, -100);
    for (int i = 0; i < 25; ++i) Show(p);
    EXPECT_EQ(view.WritesTo(Temp), 0);
    EXPECT_EQ(view.WritesTo(Rms_IR), 1);  // the first record after start
    Show(p);
    EXPECT_EQ(view.WritesTo(Temp), 1);
    EXPECT_EQ(view.fields[RSens], Fmt("%.2lf", 2999 * 47.5 / 1091 - 1));
    EXPECT_EQ(view.fields[Ambient], "76");
    EXPECT_EQ(view.fields[Gener], Fmt("%.3lf", 2000 * 0.0006105006105006105));
    EXPECT_EQ(view.fields[Temp],
              Fmt("%.1lf", (2250 * 0.0006105006105006105 - 0.986) * 281.6901408450704));
    EXPECT_EQ(view.fields[LedM_IR], "13.87");
    EXPECT_EQ(view.fields[Adc_IR], Fmt("%.2lf", 12760 * Measurement::dADCScale));
    EXPECT_EQ(view.fields[AdcSig_IR], Fmt("%.3lf", -100 * Measurement::dADCScale * 4));
    const std::string& t = view.fields[TimeText];
    ASSERT_EQ(t.size(), 19u);
    EXPECT_EQ(t[4], '-');
    EXPECT_EQ(t[10], ' ');
    EXPECT_EQ(t[13], ':');
    Show(p);
    EXPECT_EQ(view.WritesTo(Rms_IR), 2);
    EXPECT_EQ(view.fields[Rms_IR], Fmt("%.3lg", std::sqrt(st.rms_var[0]) * 100));
    for (int i = 0; i < 24; ++i) Show(p);
    EXPECT_EQ(view.WritesTo(Temp), 1);
    p.Put16(processing_test::kRSens, 3000);
    Show(p);
    EXPECT_EQ(view.WritesTo(Temp), 2);
    EXPECT_EQ(view.fields[RSens], "");
}

TEST_F(InterpretationTest, RmsVarianceIgnoresLargeDeviations) {
    Payload p;
    for (int i = 0; i < 300; ++i) Feed(p);
    double mean = st.rms_mean[0];
    EXPECT_NEAR(mean, 12760 * (1 - std::pow(0.99, 300)), 1e-6);
    double var = st.rms_var[0];
    Payload jump = p;
    jump.Put16(processing_test::kSIR, 2000);  // far above the running mean
    Feed(jump);
    EXPECT_EQ(st.rms_var[0], var);
    EXPECT_GT(st.rms_mean[0], mean);
}

// --- Sensor sensitivity ----------------------------------------------------------------

TEST_F(InterpretationTest, SensorSensitivityFollowsTheFormula) {
    Payload p;
    Feed(p);
    double g = 84.15 / 100;
    double expected = 12760 * Measurement::dADCScale * 0.02 / (100 * m.dLEDSetScale * g);
    EXPECT_DOUBLE_EQ(m.dSensIR, expected);
    // An LED byte of 255 would divide by zero: the estimate is kept.
    p.Put8(processing_test::kLedIR, 255);
    Feed(p);
    EXPECT_DOUBLE_EQ(m.dSensIR, expected);
    EXPECT_TRUE(std::isfinite(m.dSensRed));
}

// --- The trend ------------------------------------------------------------------------

TEST_F(InterpretationTest, TrendStartsAtTheCentreAndClampsToItsRange) {
    Payload p;
    Show(p);
    ASSERT_EQ(view.samples.size(), 1u);
    EXPECT_EQ(view.samples[0].first, 120);

    Payload brighter = p;
    brighter.Put16(processing_test::kSIR, 32760 - 20000);  // far above: 0.8 d > m
    Show(brighter);
    EXPECT_EQ(view.samples[1].first, 0);
    EXPECT_DOUBLE_EQ(st.trend_mean, 0.8 * 20000);
    EXPECT_DOUBLE_EQ(st.trend_scale, 600 * 0.95);  // reset, then |g| > 90 shrinks it
    EXPECT_EQ(st.trend_hold, 100);

    Payload darker = p;
    darker.Put16(processing_test::kSIR, 32760 - 9000);  // more than 17 % below
    Show(darker);
    EXPECT_EQ(view.samples[2].first, 239);
    EXPECT_DOUBLE_EQ(st.trend_mean, 1.2 * 9000);
}

TEST_F(InterpretationTest, TrendFollowsTheSelectedChannelNormalisedByLedAndGain) {
    st.trend_channel = 3;
    Payload p;
    p.Put16(processing_test::kSOra, 32760 - 5000).Put8(processing_test::kLedOra, 205);
    Show(p);
    EXPECT_DOUBLE_EQ(st.trend_mean, 5000.0 * 100 / 50);
    // A steady level: the scale grows once the hold has run out.
    for (int i = 0; i < 120; ++i) Show(p);
    EXPECT_GT(st.trend_scale, 600);
    EXPECT_EQ(view.samples.back().first, 120);
}

TEST_F(InterpretationTest, TrendStaysFiniteForDarkAndSaturatedInput) {
    Payload p;
    p.Put16(processing_test::kSIR, 32760);  // level 0: mean 0
    Show(p);
    p.Put8(processing_test::kLedIR, 255);  // LED off
    Show(p);
    p.Put16(processing_test::kSIR, 65535).Put8(processing_test::kLedIR, 10);
    Show(p);
    ASSERT_EQ(view.samples.size(), 3u);
    for (auto& s : view.samples) EXPECT_LE(s.first, 239);
    EXPECT_TRUE(std::isfinite(st.trend_mean));
    EXPECT_TRUE(std::isfinite(st.trend_scale));
}

// --- Display reset ---------------------------------------------------------------------

TEST(LinkInterpretationTest, ResetForDisplayKeepsOnlyTheTrendChannel) {
    LinkInterpretation st;
    st.trend_channel = 2;
    st.red2_mode = 2;
    st.last_led[0] = st.last_led[1] = st.last_led[2] = 7;
    st.last_gain = 9;
    st.highlight = 4;
    st.divider = 11;
    st.rms_mean[1] = st.rms_var[2] = 1.5;
    st.trend_mean = 3;
    st.trend_scale = 900;
    st.trend_hold = 4;
    st.ResetForDisplay();
    EXPECT_EQ(st.trend_channel, 2);
    EXPECT_EQ(st.red2_mode, 0);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(st.last_led[c], -1);
        EXPECT_EQ(st.rms_mean[c], 0.0);
        EXPECT_EQ(st.rms_var[c], 0.0);
    }
    EXPECT_EQ(st.last_gain, -1);
    EXPECT_EQ(st.highlight, 0);
    EXPECT_EQ(st.divider, 0);
    EXPECT_EQ(st.trend_mean, 0.0);
    EXPECT_EQ(st.trend_scale, 600.0);
    EXPECT_EQ(st.trend_hold, 0);

    st.trend_mean = 5;
    st.trend_scale = 1;
    st.trend_hold = 3;
    st.highlight = 2;
    st.ResetTrend();
    EXPECT_EQ(st.trend_mean, 0);
    EXPECT_EQ(st.trend_scale, 600);
    EXPECT_EQ(st.trend_hold, 0);
    EXPECT_EQ(st.highlight, 2);
}

}  // namespace
