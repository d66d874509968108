// ECG processing: beat detection, its timing, and the pairing with pulses.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "processing/measurement.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using processing::Measurement;

// Samples after which a baseline of 1000 has settled (c >> 10 = 1000).
constexpr int kSettled = 18 * 500;

std::string Comma(std::string s) {
    for (char& c : s)
        if (c == '.') c = ',';
    return s;
}

size_t Lines(const std::string& text) {
    size_t n = 0;
    for (size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 1)) ++n;
    return n;
}

class EcgTest : public ::testing::Test {
protected:
    // Feeds the stream in blocks of 18, one record each.
    void Feed(const std::vector<int16_t>& stream) {
        for (size_t start = 0; start + 18 <= stream.size(); start += 18) {
            uint8_t bytes[36];
            for (int i = 0; i < 18; ++i) {
                auto v = static_cast<uint16_t>(stream[start + i]);
                bytes[2 * i] = static_cast<uint8_t>(v & 0xFF);
                bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
            }
            ++m.lSample;  // the interpretation counts the record first
            EXPECT_EQ(processing::PutEKG18(m, bytes), 0);
        }
    }
    std::vector<int16_t> Flat(int level, size_t samples) {
        return std::vector<int16_t>(samples, static_cast<int16_t>(level));
    }
    int Beats() { return static_cast<int>(Lines(dir.Read("dumpPutEKG.txt"))); }

    testing_support::TempDir dir;
    Measurement m{dir.path()};
};

TEST_F(EcgTest, ConstantLevelReportsNoBeat) {
    Feed(Flat(1000, kSettled));
    EXPECT_FALSE(std::ifstream(dir.File("dumpPutEKG.txt")).good());
    EXPECT_EQ(m.ecg.r, 0);
    EXPECT_EQ(m.ecg.c >> 10, 1000);
    EXPECT_EQ(m.ecg.beat_available, 0);
}

TEST_F(EcgTest, BaselineStartsFromTheFirstSampleItself) {
    Feed(Flat(1000, 18));
    // c = 1000, then 18 x (1000 - (c >> 10)) with c >> 10 = 0 or 1.
    EXPECT_GT(m.ecg.c, 1000 * 18);
    EXPECT_LT(m.ecg.c >> 10, 1000);
}

TEST_F(EcgTest, RunOfFourReportsOnceAtItsStartWithItsTiming) {
    auto s = Flat(1000, kSettled + 18 * 50);
    const int start = kSettled + 5;
    for (int i = 0; i < 4; ++i) s[start + i] = 0;
    m.pulse_colour = RGB(0, 128, 0);
    Feed(s);
    ASSERT_EQ(Beats(), 1);
    // t2 = 1 (> 0.95): the fraction is -0.5.
    double time = (start - 0.5) * 1.1111111111111112;
    // The run itself pulls the baseline a little below 1000 in its block.
    EXPECT_GT(m.ecg.sAmpl, 990);
    EXPECT_LE(m.ecg.sAmpl, 1000);
    char expected[96];
    std::snprintf(expected, sizeof(expected),
                  "PutEKG18: lSample=%.1lf %i sAmpl=%i sAver=%i sCut=", time, start, m.ecg.sAmpl,
                  m.ecg.sAmpl);
    std::string log = dir.Read("dumpPutEKG.txt");
    EXPECT_EQ(log.rfind(Comma(expected), 0), 0u) << log;
    EXPECT_NE(log.find(" 1,00 1,00\r\n"), std::string::npos) << log;
    EXPECT_DOUBLE_EQ(m.ecg.beat_time, time);
    EXPECT_EQ(m.ecg.last_below, start);
    EXPECT_EQ(m.ecg.beat_available, 1);
    EXPECT_EQ(m.pulse_colour, RGB(0, 0, 0));
}

TEST_F(EcgTest, LongerRunOnlyMovesTheLastBelowCutPosition) {
    auto s = Flat(1000, kSettled + 18 * 50);
    const int start = kSettled + 16;  // across a block boundary
    for (int i = 0; i < 9; ++i) s[start + i] = 0;
    Feed(s);
    EXPECT_EQ(Beats(), 1);
    EXPECT_EQ(m.ecg.last_below, start + 5);
}

TEST_F(EcgTest, RunsFifteenApartReportOnlyTheFirst) {
    auto s = Flat(1000, kSettled + 18 * 50);
    const int a = kSettled;
    for (int i = 0; i < 4; ++i) s[a + i] = s[a + 19 + i] = 0;  // 15 quiet samples between
    Feed(s);
    EXPECT_EQ(Beats(), 1);
    EXPECT_EQ(m.ecg.last_below, a + 19);
}

TEST_F(EcgTest, RunsMoreThanTwentyApartEachReport) {
    auto s = Flat(1000, kSettled + 18 * 50);
    const int a = kSettled;
    for (int i = 0; i < 4; ++i) s[a + i] = s[a + 4 + 21 + i] = s[a + 50 + i] = 0;
    Feed(s);
    EXPECT_EQ(Beats(), 3);
}

TEST_F(EcgTest, NullBlockHoldsTheLastSample) {
    auto s = Flat(1000, 18 * 10);
    s.back() = 700;
    Feed(s);
    ++m.lSample;
    processing::PutEKG18(m, nullptr);
    for (int i = 18; i < 36; ++i) EXPECT_EQ(m.ecg.z[i], 700);
    EXPECT_EQ(m.ecg.z[17], 700);
}

TEST_F(EcgTest, GetEkgWithoutABeatReturnsMinusOneAndWritesNothing) {
    testing_support::DebugCapture capture;
    EXPECT_EQ(processing::GetEKG(m, 3.0), -1);
    EXPECT_FALSE(std::ifstream(dir.File("dumpGetEKG.txt")).good());
    EXPECT_TRUE(capture.Lines().empty());
}

TEST_F(EcgTest, GetEkgPairsTheBeatWithOnePulse) {
    auto s = Flat(1000, kSettled + 18 * 50);
    const int start = kSettled + 5;
    for (int i = 0; i < 4; ++i) s[start + i] = 0;
    Feed(s);
    // Slope histories with their vertex at x = 3 (S(3) the top), rise words with a slope.
    float* sir = m.pleth.slope[processing::kIR];
    float* sred = m.pleth.slope[processing::kRed];
    const float hist[6] = {0, 0.02f, 0.03f, 0.04f, 0.03f, 0.02f};
    for (int i = 0; i < 6; ++i) sir[i] = sred[i] = hist[i];
    uint16_t* x = m.pleth.window[processing::kIR].w;
    uint16_t* y = m.pleth.window[processing::kRed].w;
    x[2] = y[2] = 40000;
    x[4] = y[4] = 38000;
    x[6] = y[6] = 36000;
    x[8] = y[8] = 34000;
    testing_support::DebugCapture capture;
    ASSERT_EQ(processing::GetEKG(m, 4.28), 0);
    EXPECT_EQ(processing::GetEKG(m, 4.28), -1);

    double t = (3 - 14) * 20;
    double d0 = (t + 9.444 + t + 9.444 + t + 10.556 + t + 10.556) * 0.25 + m.lSample * 20.0 -
                m.ecg.beat_time;
    double rise = (6000.0 * 40 / 2000 + 6000.0 * 40 / 2000) * 0.5;
    char expected[200];
    std::snprintf(expected, sizeof(expected),
                  "GetEKG: lSample=%.1lf d0=%.1lf dRiseTimeAv=%.1lf dAmpl=4.28 s0=%i s1=%i s2=%i\n",
                  m.ecg.beat_time, d0, rise, static_cast<int>(27280 / d0),
                  static_cast<int>(27280 / (d0 + rise / 2)),
                  static_cast<int>(27280 / (d0 - rise / 2)));
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0], expected);
    std::string log = dir.Read("dumpGetEKG.txt");
    std::string file_line = Comma(expected);
    file_line.insert(file_line.size() - 1, "\r");
    EXPECT_EQ(log, file_line);
}

TEST_F(EcgTest, NonFiniteIntermediatesAreLoggedAndConvertSafely) {
    // Equal window words: the rise time divides by zero.
    m.ecg.beat_available = 1;
    m.ecg.beat_time = 0;
    m.lSample = 0;
    ASSERT_EQ(processing::GetEKG(m, 0.0), 0);
    std::string log = dir.Read("dumpGetEKG.txt");
    EXPECT_NE(log.find("nan dAmpl=0,00"), std::string::npos) << log;
    EXPECT_NE(log.find("s1=0 s2=0"), std::string::npos) << log;
}

TEST_F(EcgTest, ZeroAmplitudeBeatKeepsAFiniteTime) {
    // A baseline at the bottom of the range: the cut wraps to +32767 in 16 bits, so
    // the samples at the baseline count as below it and the amplitude is 0.
    m.ecg.c = -32768 * 1024;
    m.ecg.r = 128;  // r >> 6 stays 1 after the update
    for (auto& z : m.ecg.z) z = -32768;
    m.lSample = 100;
    Feed(Flat(-32768, 18));
    ASSERT_EQ(Beats(), 1);
    EXPECT_EQ(m.ecg.sAmpl, 0);
    EXPECT_TRUE(std::isfinite(m.ecg.beat_time));
    EXPECT_NE(dir.Read("dumpPutEKG.txt").find("nan"), std::string::npos);
}

TEST(EcgHelpersTest, ParabolaVertex) {
    auto y = [](double x) { return -(x - 3.4) * (x - 3.4) + 2; };
    EXPECT_NEAR(processing::ParabolaVertex(1, 3, 5, y(1), y(3), y(5)), 3.4, 1e-12);
    EXPECT_NEAR(processing::ParabolaVertex(2, 3, 4, y(2), y(3), y(4)), 3.4, 1e-12);
    EXPECT_EQ(processing::ParabolaVertex(2, 3, 4, 1, 1, 1), 0.0);  // collinear: |D| < 1e-10
    EXPECT_EQ(processing::ParabolaVertex(1, 2, 3, 1, 2, 3), 0.0);
}

TEST(EcgHelpersTest, TruncToInt16WrapsAndNeverFails) {
    EXPECT_EQ(processing::TruncToInt16(-3.9), -3);
    EXPECT_EQ(processing::TruncToInt16(32767.9), 32767);
    EXPECT_EQ(processing::TruncToInt16(54560.7), -10976);
    EXPECT_EQ(processing::TruncToInt16(1e300), 0);
    EXPECT_EQ(processing::TruncToInt16(-INFINITY), 0);
    EXPECT_EQ(processing::TruncToInt16(NAN), 0);
    EXPECT_EQ(processing::TruncToInt16(2147483647.5), -1);
}

}  // namespace
