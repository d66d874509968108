// Plethysmogram processing: factors, block-floating-point windows, pulse stage.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>

#include "processing/measurement.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using processing::Measurement;
using processing::NormFactor;
using processing::RenormWindow;
using processing::SplitFactor;

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// --- Normalisation factors ------------------------------------------------------------

TEST(NormFactorTest, SplitsIntoExponentAndMantissa) {
    NormFactor one = SplitFactor(1.0f);
    EXPECT_EQ(one.e, 255);
    EXPECT_EQ(one.m, 0x8000);
    NormFactor half_more = SplitFactor(1.5f);
    EXPECT_EQ(half_more.e, 255);
    EXPECT_EQ(half_more.m, 0xC000);
    NormFactor two = SplitFactor(2.0f);
    EXPECT_EQ(two.e, 0);
    EXPECT_EQ(two.m, 0x8000);
    NormFactor small = SplitFactor(100.0f / 254.0f);  // 0.3937 = 1.5748 x 2^-2
    EXPECT_EQ(small.e, static_cast<uint8_t>(-3));
    EXPECT_EQ(small.m, 0x8000 | ((std::bit_cast<uint32_t>(100.0f / 254.0f) & 0x7FFFFF) >> 8));
    // The mantissa reproduces F to 15 bits.
    float f = 84.0f / 37.0f;
    NormFactor nf = SplitFactor(f);
    double back = nf.m / 32768.0 * std::ldexp(1.0, static_cast<int8_t>(nf.e) + 1);
    EXPECT_NEAR(back, f, f / 32768.0);
}

TEST(NormFactorTest, GainEqualToLedGivesOneAndUnchangedBytesAreIgnored) {
    Measurement m;
    processing::UpdateNormFactors(m, 100, 100, 100, 100);
    for (const auto& f : m.pleth.factor) {
        EXPECT_EQ(f.e, 255);
        EXPECT_EQ(f.m, 0x8000);
    }
    m.pleth.factor[0].m = 1;  // untouched while the bytes stay the same
    processing::UpdateNormFactors(m, 100, 100, 100, 100);
    EXPECT_EQ(m.pleth.factor[0].m, 1);
    processing::UpdateNormFactors(m, 100, 100, 100, 101);
    EXPECT_EQ(m.pleth.factor[0].m, 0x8000);
    EXPECT_EQ(m.pleth.raw[3], 101);
}

TEST(NormFactorTest, LedByte255AndGain255GiveADarkChannel) {
    Measurement m;
    processing::UpdateNormFactors(m, 10, 255, 0, 255);
    EXPECT_EQ(m.pleth.factor[0].m, 0);
    EXPECT_EQ(m.pleth.factor[2].m, 0);
    EXPECT_NE(m.pleth.factor[1].m, 0);
    processing::UpdateNormFactors(m, 255, 0, 0, 0);
    for (const auto& f : m.pleth.factor) EXPECT_EQ(f.m, 0);
}

// --- Window renormalisation ------------------------------------------------------------

TEST(RenormWindowTest, HighBitsShiftTheWholeWindowDown) {
    for (int bit = 16; bit <= 19; ++bit) {
        uint16_t w[17];
        for (auto& x : w) x = 0x8000;
        uint32_t n = (1u << bit) | 5u;
        int shift = bit - 15;
        EXPECT_EQ(RenormWindow(w, n), -shift) << bit;
        EXPECT_EQ(w[16], n >> shift);
        EXPECT_EQ(w[0], 0x8000 >> shift);
        EXPECT_EQ(w[15], 0x8000 >> shift);
    }
}

TEST(RenormWindowTest, SmallWindowsDoubleUntilBit15IsUsed) {
    uint16_t w[17] = {};
    w[3] = 0x4000;
    EXPECT_EQ(RenormWindow(w, 0x1234), 1);
    EXPECT_EQ(w[16], 0x2468);
    EXPECT_EQ(w[3], 0x8000);
    EXPECT_EQ(RenormWindow(w, 0x1234), 0);  // bit 15 now in use
    EXPECT_EQ(w[16], 0x1234);
    uint16_t zero[17] = {};
    EXPECT_EQ(RenormWindow(zero, 0), 1);
}

TEST(RenormWindowTest, ValuesBeyondTwentyBitsStillFit) {
    uint16_t w[17];
    for (auto& x : w) x = 0xFFFF;
    EXPECT_EQ(RenormWindow(w, 1u << 22), -7);
    EXPECT_EQ(w[16], 0x8000);
    EXPECT_EQ(w[0], 0xFFFF >> 7);
    EXPECT_EQ(RenormWindow(w, 0xFFFFFFFFu), -16);
    EXPECT_EQ(w[16], 0xFFFF);
    EXPECT_EQ(w[0], 0);
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        m.SetLogging(false);
        processing::UpdateNormFactors(m, 155, 155, 155, 155);  // F = 1
    }
    void Level(uint32_t level, int steps) {
        for (int i = 0; i < steps; ++i) {
            uint16_t s = static_cast<uint16_t>(32760 - level);
            processing::WLPutSample17(m, s, s, s);
        }
    }
    const processing::SampleWindow& ir() const { return m.pleth.window[processing::kIR]; }
    Measurement m;
};

TEST_F(WindowTest, SteadyLevelUsesTheTopBit) {
    Level(10000, 40);
    EXPECT_EQ(ir().w[16], 40000);  // 10000 x 2^2
    EXPECT_EQ(ir().w[0], 40000);
    EXPECT_EQ(m.pleth.L[0], 80000u);
    EXPECT_EQ(m.pleth.PGSample, 240u);
}

TEST_F(WindowTest, DoubledLevelShiftsTheWindowAndDropsTheExponent) {
    Level(10000, 40);
    uint8_t b = ir().b;
    Level(20000, 1);
    EXPECT_EQ(ir().b, static_cast<uint8_t>(b - 1));
    EXPECT_EQ(ir().w[16], 40000);
    EXPECT_EQ(ir().w[15], 20000);
    EXPECT_EQ(ir().w[0], 20000);
}

TEST_F(WindowTest, FallenLevelRisesOnlyAfterTheLargeWordsLeave) {
    Level(20000, 40);
    uint8_t b = ir().b;
    for (int step = 1; step <= 16; ++step) {
        Level(9000, 1);
        EXPECT_EQ(ir().b, b) << step;
    }
    Level(9000, 1);
    EXPECT_EQ(ir().b, static_cast<uint8_t>(b + 1));
    EXPECT_EQ(ir().w[16], 36000);
    EXPECT_EQ(ir().w[0], 36000);
}

TEST(WindowZeroTest, AllZeroBytesLeaveTheWindowEmptyAndTheExponentCycling) {
    Measurement m;
    m.SetLogging(false);
    for (int i = 0; i < 300; ++i) {
        processing::UpdateNormFactors(m, 0, 0, 0, 0);
        processing::WLPutSample17(m, 1000, 2000, 3000);
    }
    for (const auto& win : m.pleth.window) {
        EXPECT_EQ(win.b, 300 % 256);
        for (uint16_t x : win.w) EXPECT_EQ(x, 0);
    }
    EXPECT_EQ(m.pleth.count, 0);
}

TEST(WindowRangeTest, OutOfRangeInputStaysFinite) {
    Measurement m;
    m.SetLogging(false);
    const uint16_t values[] = {65535, 32761, 0, 32760, 1, 40000};
    for (int i = 0; i < 600; ++i) {
        int k = i % 6;
        processing::UpdateNormFactors(m, static_cast<uint8_t>(i * 37), static_cast<uint8_t>(i * 11),
                                      static_cast<uint8_t>(255 - (i & 1)), 254);
        processing::WLPutSample17(m, values[k], values[(k + 1) % 6], values[(k + 2) % 6]);
        for (const auto& h : m.pleth.slope)
            ASSERT_TRUE(std::isfinite(h[0]) && h[0] >= 0.0f && h[0] <= 1.0f);
    }
    for (const auto& e : m.pleth.ring) ASSERT_TRUE(std::isfinite(e.rise));
    EXPECT_TRUE(std::isfinite(m.pleth.CMROxi) && std::isfinite(m.pleth.CMRHbCO));
}

// --- The pulse stage, driven through the filter sums --------------------------------

class PulseTest : public ::testing::Test {
protected:
    void SetUp() override { m.SetLogging(true); }
    // One step with slope s on IR and Red (L + R = 100000); Red2 flat.
    void Step(double s) {
        int x = static_cast<int>(std::lround(s * 100000)) & ~1;
        for (int c = 0; c < 2; ++c) {
            m.pleth.L[c] = static_cast<uint32_t>((100000 + x) / 2);
            m.pleth.R[c] = static_cast<uint32_t>((100000 - x) / 2);
        }
        m.pleth.L[2] = m.pleth.R[2] = 1000;
        m.pleth.PGSample += 6;
        processing::FindPulseMax(m);
    }
    // Detected on its 7th step; pulses are 18 steps (108 position units) apart.
    void Pulse(double peak, bool plateau = false) {
        for (double f : {0.25, 0.5, 0.75, 1.0}) Step(peak * f);
        if (plateau) Step(peak);
        for (double f : {0.75, 0.5, 0.25, 0.0}) Step(peak * f);
        for (int i = 0; i < 10; ++i) Step(0);
    }
    testing_support::TempDir dir;
    Measurement m{dir.path()};
};

TEST_F(PulseTest, WarmUpStepsProduceNoPulse) {
    for (double s : {0.01, 0.02, 0.03, 0.04, 0.03, 0.02, 0.01}) Step(s);
    EXPECT_EQ(m.pleth.count, 0);
    EXPECT_EQ(m.pleth.warmup, 7);
}

TEST_F(PulseTest, OneRiseAndFallGivesOnePulseThreeStepsAfterItsPeak) {
    for (int i = 0; i < 10; ++i) Step(0);
    Pulse(0.04);
    ASSERT_EQ(m.pleth.count, 1);
    const auto& e = m.pleth.ring[0];
    // Stored three steps after the peak, at PGSample 6 x 17; symmetric, so no offset.
    EXPECT_EQ(e.position, 6u * 17);
    EXPECT_NEAR(e.ir, 0.04, 1e-4);  // S(3) - S(12), S(12) = 0
    EXPECT_NEAR(e.red, 0.04, 1e-4);
    EXPECT_EQ(e.red2, 0.0f);
    EXPECT_EQ(e.rise, 0.0f);  // no edge history given
}

TEST_F(PulseTest, APlateauGivesNoPulse) {
    for (int i = 0; i < 10; ++i) Step(0);
    Pulse(0.04, true);
    EXPECT_EQ(m.pleth.count, 0);
}

TEST_F(PulseTest, AsymmetricPeakMovesThePosition) {
    for (int i = 0; i < 10; ++i) Step(0);
    for (double s : {0.01, 0.02, 0.03, 0.04, 0.033, 0.01, 0.0}) Step(s);
    ASSERT_EQ(m.pleth.count, 1);
    // u(4) = 0.06 < u(2) = 0.066: p1 = 0.02, p2 = 0.014 -> + trunc(0.3 x 3 + 0.5) = +1
    EXPECT_EQ(m.pleth.ring[0].position, 6u * 17 + 1);
    for (int i = 0; i < 10; ++i) Step(0);
    for (double s : {0.01, 0.02, 0.033, 0.04, 0.03, 0.02, 0.0}) Step(s);
    ASSERT_EQ(m.pleth.count, 2);
    // u(4) = 0.066 > u(2) = 0.06: p1 = 0.014, p2 = 0.02 -> - trunc(0.3 x 3 + 0.5) = -1
    EXPECT_EQ(m.pleth.ring[1].position, 6u * 34 - 1);
}

TEST_F(PulseTest, DefaultAcceptanceWindowTurnsThePulseColourGreen) {
    for (int i = 0; i < 10; ++i) Step(0);
    Pulse(0.12);  // u(3) = 0.24: outside (0.03, 0.2)
    EXPECT_EQ(m.pulse_colour, RGB(0, 0, 0));
    Pulse(0.014);  // u(3) = 0.028: below
    EXPECT_EQ(m.pulse_colour, RGB(0, 0, 0));
    Pulse(0.05);  // u(3) = 0.1
    EXPECT_EQ(m.pulse_colour, RGB(0, 128, 0));
    EXPECT_EQ(m.pleth.count, 3);
    // No ECG beat: GetEKG wrote nothing.
    EXPECT_FALSE(std::ifstream(dir.File("dumpGetEKG.txt")).good());
}

TEST_F(PulseTest, MaximaLogKeepsThePointAndEndsInCrLf) {
    testing_support::DebugCapture capture;
    for (int i = 0; i < 10; ++i) Step(0);
    Pulse(0.04);
    std::string log = dir.Read("Maxima.txt");
    EXPECT_EQ(log.rfind("\nNew Max: at 0 Sample=102 IR=0.04", 0), 0u) << log;
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
    EXPECT_EQ(CountOf(log, "\r\n"), 1u);
    EXPECT_NE(log.find("CMAmplitude=0.0856"), std::string::npos) << log;  // 0.08 x 1.07
    EXPECT_EQ(CountOf(capture.Text(), "New Max: at 0 "), 1u);
}

TEST_F(PulseTest, CmLineOnlyForPulsesNearTheLargestOfTheLast300Units) {
    for (int i = 0; i < 60; ++i) Step(0);
    Pulse(0.04);   // position 402: a line, interval from position 0
    Pulse(0.01);   // 510: a quarter of the largest within 300 units: no line
    Pulse(0.035);  // 618: 0.875 of the largest (at 402): a line with that amplitude
    for (int i = 0; i < 50; ++i) Step(0);
    Pulse(0.01);  // 1026: the large pulses are more than 300 units back: a line
    EXPECT_EQ(dir.Read("CM_Maxima.txt"),
              "CM 402 0,08000 1,00 44,78\r\n"
              "CM 618 0,08000 1,00 83,33\r\n"
              "CM 1026 0,02000 1,00 44,12\r\n");
    EXPECT_NEAR(m.pleth.CMAmplitude, 0.02 * 1.07, 1e-6);
    EXPECT_NEAR(m.pleth.CMROxi, 1.0, 1e-6);
}

// The ratios are float quotients: a double quotient would print differently here.
TEST_F(PulseTest, PulseRatiosAreSinglePrecisionQuotients) {
    auto& p = m.pleth;
    p.ring[0] = {.ir = 128 * 0.0001f, .red = 3 * 0.0001f, .red2 = 91 * 0.00001f, .position = 600};
    p.write_index = 1;
    p.count = 1;
    processing::EvalCMMaxima(m);
    EXPECT_EQ(p.CMROxi, static_cast<double>(p.ring[0].red / p.ring[0].ir));
    EXPECT_EQ(p.CMRHbCO, static_cast<double>(p.ring[0].red2 / p.ring[0].red));
    char text[64];
    std::snprintf(text, sizeof text, "%f %f", p.CMROxi, p.CMRHbCO);
    EXPECT_STREQ(text, "0.023438 3.033334");
    EXPECT_EQ(dir.Read("CM_Maxima.txt"), "CM 600 0,01310 0,02 30,00\r\n");

    // A zero amplitude is logged as the quotient it gives.
    p.ring[1] = {.ir = 0.0f, .red = 0.02f, .red2 = 0.0f, .position = 900};
    p.write_index = 2;
    p.count = 2;
    processing::EvalCMMaxima(m);
    EXPECT_EQ(p.CMROxi, std::numeric_limits<double>::infinity());
    EXPECT_EQ(p.CMRHbCO, 0.0);
}

TEST_F(PulseTest, FullRingOverwritesItsOldestEntryAndKeepsDetecting) {
    for (int i = 0; i < 10; ++i) Step(0);
    for (int i = 0; i < 40; ++i) Pulse(0.02 + 0.0005 * i);
    EXPECT_EQ(m.pleth.count, 32);
    EXPECT_EQ(m.pleth.write_index, 8);
    EXPECT_EQ(m.pleth.start_index, 8);
    const auto& newest = m.pleth.ring[7];
    EXPECT_NEAR(newest.ir, 0.02 + 0.0005 * 39, 1e-4);
    EXPECT_EQ(CountOf(dir.Read("Maxima.txt"), "New Max"), 40u);
    EXPECT_EQ(CountOf(dir.Read("CM_Maxima.txt"), "CM "), 40u);
}

// --- Diagnostic detector ------------------------------------------------------------------

TEST(DiagnosticTest, ABumpThroughTheWindowCentreIsReportedOnce) {
    Measurement m;
    m.SetLogging(false);
    processing::UpdateNormFactors(m, 155, 155, 155, 155);
    auto step = [&](uint32_t ir, uint32_t red) {
        processing::WLPutSample17(m, static_cast<uint16_t>(32760 - ir),
                                  static_cast<uint16_t>(32760 - red), 22760);
    };
    for (int i = 0; i < 40; ++i) step(10000, 12000);
    testing_support::DebugCapture capture;
    for (int i = 0; i < 4; ++i) step(11000, 13000);
    for (int i = 0; i < 40; ++i) step(10000, 12000);
    size_t reports = 0;
    for (const auto& line : capture.Lines()) reports += line.rfind("Max PGSample=", 0) == 0;
    EXPECT_EQ(reports, 1u) << capture.Text();
    EXPECT_NE(capture.Text().find("Ampl=-"), std::string::npos);
}

}  // namespace
