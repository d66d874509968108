// The reduced protocol's records and the text logs of the interpretation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <thread>

#include "platform/tick.h"
#include "processing/fixed_format.h"
#include "processing/interpretation.h"
#include "processing/measurement.h"
#include "tests/processing/fake_view.h"
#include "tests/processing/records.h"
#include "tests/support/temp_dir.h"

namespace {

using processing::InterpretRecord;
using processing::LinkInterpretation;
using processing::Measurement;
using processing::ReducedInterpreter;
using processing_test::FakeView;
using processing_test::Payload;

// --- Reduced protocol ------------------------------------------------------------------

TEST(ReducedInterpreterTest, PlethSamplesArePlottedAndShownAtMostEvery500ms) {
    FakeView view;
    ReducedInterpreter r;
    uint32_t start = platform::GetTickCount();
    for (int v = 0; v < 40; ++v) r.OnRecord(0xF8, static_cast<uint8_t>(v), &view, false);
    ASSERT_EQ(view.samples.size(), 40u);
    for (int v = 0; v < 40; ++v) {
        EXPECT_EQ(view.samples[v].first, v);
        EXPECT_EQ(view.samples[v].second, RGB(0, 0, 0));
    }
    uint32_t elapsed = platform::GetTickCount() - start;
    if (elapsed < 500) {  // the machine may stall; only assert on a quick run
        EXPECT_EQ(view.WritesTo(Adc_IR), 1);
        EXPECT_EQ(view.fields[Adc_IR], "0x00");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(520));
    r.OnRecord(0xF8, 0xAB, &view, false);
    EXPECT_EQ(view.fields[Adc_IR], "0xAB");
}

TEST(ReducedInterpreterTest, SpO2PlotsScaledOrRedAndRequestsTheSound) {
    FakeView view;
    ReducedInterpreter r;
    r.OnRecord(0xF9, 50, &view, true);
    r.OnRecord(0xF9, 51, &view, true);
    r.OnRecord(0xF9, 177, &view, false);
    r.OnRecord(0xF9, 200, &view, false);
    ASSERT_EQ(view.samples.size(), 4u);
    EXPECT_EQ(view.samples[0], std::make_pair(uint8_t{0}, RGB(255, 0, 0)));
    EXPECT_EQ(view.samples[1], std::make_pair(uint8_t{2}, RGB(0, 0, 0)));
    EXPECT_EQ(view.samples[2].first, 254);
    EXPECT_EQ(view.samples[3].first, (200 + 78) * 2 % 256);
    EXPECT_EQ(view.sounds, (std::vector<std::string>{"Ding.wav", "Ding.wav"}));
    EXPECT_EQ(view.fields[Spo2], "200");
    r.OnRecord(0xF9, 200, &view, false);
    EXPECT_EQ(view.WritesTo(Spo2), 4);  // an unchanged value is not rewritten
}

TEST(ReducedInterpreterTest, PulseStatusAndPerfusion) {
    FakeView view;
    ReducedInterpreter r;
    r.OnRecord(0xFA, 0, &view, false);
    r.OnRecord(0xFA, 60, &view, false);
    r.OnRecord(0xFA, 200, &view, false);
    r.OnRecord(0xFA, 200, &view, false);
    EXPECT_EQ(view.pulse_trend, (std::vector<uint8_t>{101, 160, 44, 44}));
    EXPECT_EQ(view.fields[Pulse], "200");
    EXPECT_EQ(view.WritesTo(Pulse), 3);

    r.OnRecord(0xFB, 2, &view, false);
    EXPECT_EQ(view.fields[StatusText], "Finger?");
    r.OnRecord(0xFB, 69, &view, false);
    EXPECT_EQ(view.fields[StatusText], "Selftest?");
    r.OnRecord(0xFB, 5, &view, false);  // no text: left as it was
    EXPECT_EQ(view.fields[StatusText], "Selftest?");

    r.OnRecord(0xFC, 0, &view, false);  // the first value is always shown
    r.OnRecord(0xFC, 0, &view, false);
    EXPECT_EQ(view.fields[Perfusion_Red], "0");
    EXPECT_EQ(view.WritesTo(Perfusion_Red), 1);
    EXPECT_EQ(view.sounds.size(), 0u);
}

TEST(ReducedInterpreterTest, NoViewDoesNothingAndDoesNotConsumeTheFirstValue) {
    ReducedInterpreter r;
    r.OnRecord(0xF9, 97, nullptr, true);
    FakeView view;
    r.OnRecord(0xF9, 97, &view, true);
    EXPECT_EQ(view.fields[Spo2], "97");
}

// --- Logs --------------------------------------------------------------------------------

class LogTest : public ::testing::Test {
protected:
    testing_support::TempDir dir;
};

TEST_F(LogTest, RawSampleLogHasItsHeaderAndOneLinePerRecord) {
    Measurement m(dir.path());
    LinkInterpretation st;
    EXPECT_FALSE(std::ifstream(dir.File("fTxtLog.txt")).good());  // opened lazily
    Payload p;
    p.Put16(processing_test::kSIR, 40000).Put16(processing_test::kSIR2, -5);
    p.Put16(processing_test::kCurOra, 321).Put8(processing_test::kGain, 201);
    auto r = p.Make(1);
    InterpretRecord(m, st, r->type, r->payload, r->length, nullptr);
    InterpretRecord(m, st, r->type, r->payload, r->length, nullptr);
    EXPECT_EQ(dir.Read("fTxtLog.txt"),
              "lSample\tsIR\tsIR2\tsCurIR\tsLEDIR\tsRed\tsRed2\tsCurRed\tsLEDRed\tsOra\tsOra2\t"
              "sCurOra\tsLEDOra\tsGain\r\n"
              "1\t40000\t-5\t0\t100\t21000\t0\t0\t100\t22000\t0\t321\t100\t201\r\n"
              "2\t40000\t-5\t0\t100\t21000\t0\t0\t100\t22000\t0\t321\t100\t201\r\n");
}

TEST_F(LogTest, ResultLogUsesDecimalCommas) {
    Measurement m(dir.path());
    LinkInterpretation st;
    FakeView view;
    Payload p(50);
    p.Put16(38, 1234).Put16(40, 725).Put16(42, 31).Put16(44, 17).Put16(46, 981).Put16(48, 4);
    auto r = p.Make(36);
    InterpretRecord(m, st, r->type, r->payload, r->length, &view);
    std::string log = dir.Read("fTxtLog2.txt");
    const std::string header = "Ticks\tHCPuls\tHCSPO2\tHCHBCO\tHCRise\tHCJitter\tHCPerf\r\n";
    ASSERT_EQ(log.compare(0, header.size(), header), 0) << log;
    std::string line = log.substr(header.size());
    size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos);
    EXPECT_EQ(line.substr(tab), "\t72,5\t98,1\t0,4\t3,1\t17\t12,34\r\n");
    EXPECT_EQ(line.substr(0, tab).find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(LogTest, LogLineWriterConvertsTheWholeLineAndRetriesAfterAFailedOpen) {
    std::string sub = dir.path() + "/later";
    Measurement m(sub);
    m.dumpWL1617.WriteLine("dropped 1.5\n");
    EXPECT_FALSE(m.dumpWL1617.IsOpen());
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    m.dumpWL1617.WriteLine("text.with.points 2.25\n");
    m.dumpWL1617.WriteLine("no newline.");
    EXPECT_EQ(dir.Read("later/dumpWL1617.txt"), "text,with,points 2,25\r\nno newline,");
}

TEST_F(LogTest, AnExistingLogIsTruncatedWhenFirstWritten) {
    dir.Write("dumpWL1617.txt", "old contents\r\n");
    Measurement m(dir.path());
    m.dumpWL1617.WriteLine("new\n");
    EXPECT_EQ(dir.Read("dumpWL1617.txt"), "new\r\n");
}

TEST_F(LogTest, LoggingOffWritesNoFile) {
    Measurement m(dir.path());
    m.SetLogging(false);
    LinkInterpretation st;
    FakeView view;
    Payload p(86);
    p.Put16(38 + 36, 500);
    auto r = p.Make(36);
    for (int i = 0; i < 50; ++i) InterpretRecord(m, st, r->type, r->payload, r->length, &view);
    auto r19 = p.Make(19);
    InterpretRecord(m, st, r19->type, r19->payload, r19->length, &view);
    m.dumpGetEKG.WriteLine("x\n");
    for (const char* name : {"fTxtLog.txt", "fTxtLog2.txt", "dumpWL1617.txt", "dumpGetEKG.txt"})
        EXPECT_FALSE(std::ifstream(dir.File(name)).good()) << name;
    EXPECT_EQ(m.lSample, 51u);
}

TEST_F(LogTest, EventFlagsOfTheLatestRecordAreKeptForThePlot) {
    Measurement m(dir.path());
    m.SetLogging(false);
    LinkInterpretation st;
    Payload p;
    p.Put8(processing_test::kEvents, 0x81);
    auto r = p.Make(1);
    InterpretRecord(m, st, r->type, r->payload, r->length, nullptr);
    EXPECT_EQ(m.EventByte(), 0x81);
    p.Put8(processing_test::kEvents, 0);
    auto r2 = p.Make(1);
    InterpretRecord(m, st, r2->type, r2->payload, r2->length, nullptr);
    EXPECT_EQ(m.EventByte(), 0);
}

}  // namespace

namespace {

// The fast result-field text must equal the printf text for every 16-bit value.
TEST(FixedFormatTest, MatchesPrintfForEveryDeviceValue) {
    char fast[16];
    char slow[32];
    for (uint32_t k = 0; k <= 0xFFFF; ++k) {
        processing::FormatScaled(fast, k, 1);
        std::snprintf(slow, sizeof(slow), "%.1lf", k * 0.1);
        ASSERT_STREQ(fast, slow) << k;
        processing::FormatScaled(fast, k, 2);
        std::snprintf(slow, sizeof(slow), "%.2lf", k * 0.01);
        ASSERT_STREQ(fast, slow) << k;
        processing::FormatScaled(fast, k, 0);
        std::snprintf(slow, sizeof(slow), "%.0lf", static_cast<double>(k));
        ASSERT_STREQ(fast, slow) << k;
    }
}

}  // namespace
