// A synthetic measurement stream through the whole interpretation: one pulse and one
// ECG beat per heartbeat should come out of it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "processing/interpretation.h"
#include "processing/measurement.h"
#include "tests/processing/fake_view.h"
#include "tests/processing/records.h"
#include "tests/support/temp_dir.h"

namespace {

using processing_test::Payload;

size_t CountOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Light absorption of one heartbeat at phase t (seconds since its onset), 0..1.
double Absorption(double t, double period) {
    const double kPi = 3.14159265358979323846;
    if (t < 0.15) return 0.5 * (1 - std::cos(kPi * t / 0.15));
    return 0.5 * (1 + std::cos(kPi * (t - 0.15) / (period - 0.15)));
}

// An ECG sample: negative-going QRS-like triangle 200 ms ahead of each pulse onset.
int EcgSample(double t, double period) {
    double phase = std::fmod(t + 0.2, period);
    double half = 0.011;
    if (phase > 2 * half) return 20;  // a small positive baseline
    return 20 - static_cast<int>(1200 * (1 - std::fabs(phase - half) / half));
}

struct StreamResult {
    size_t maxima, cm, ecg_beats, get_ekg;
};

// amplitude: the relative pulse depth in %; reported: the perfusion the device sends.
StreamResult RunStream(double bpm, double amplitude, double reported, int seconds) {
    testing_support::TempDir dir;
    StreamResult result{};
    {
        processing::Measurement m(dir.path());
        processing::LinkInterpretation st;
        processing_test::FakeView view;
        const double period = 60.0 / bpm;
        const double a = amplitude / 100;
        const double base[3] = {15000, 14000, 13000};
        for (int rec = 0; rec < seconds * 50; ++rec) {
            double t = rec * 0.02;
            double g = Absorption(std::fmod(t, period), period);
            Payload p(86);
            p.Put16(processing_test::kSIR, static_cast<int>(32760 - base[0] * (1 - a * g)));
            p.Put16(processing_test::kSRed, static_cast<int>(32760 - base[1] * (1 - a * g)));
            p.Put16(processing_test::kSOra, static_cast<int>(32760 - base[2] * (1 - a * g)));
            p.Put16(processing_test::kCurOra, 589).Put16(processing_test::kGener, 3000);
            for (int i = 0; i < 18; ++i) p.Put16(34 + 2 * i, EcgSample(t + i / 900.0, period));
            int perf = static_cast<int>(reported * 100);
            p.Put8(70, 0).Put16(72, 5).Put16(74, perf).Put16(76, static_cast<int>(bpm * 10));
            p.Put16(78, 1500).Put16(80, 10).Put16(82, 970).Put16(84, 15);
            auto r = p.Make(36);
            processing::InterpretRecord(m, st, r->type, r->payload, r->length, &view);
        }
        EXPECT_EQ(view.samples.size(), static_cast<size_t>(seconds * 50));
        char pulse[16];
        std::snprintf(pulse, sizeof(pulse), "%.1lf", static_cast<int>(bpm * 10) * 0.1);
        EXPECT_EQ(view.fields[Pulse], pulse);
    }
    result.maxima = CountOf(dir.Read("Maxima.txt"), "New Max");
    result.cm = CountOf(dir.Read("CM_Maxima.txt"), "CM ");
    result.ecg_beats = CountOf(dir.Read("dumpPutEKG.txt"), "PutEKG18:");
    result.get_ekg = CountOf(dir.Read("dumpGetEKG.txt"), "GetEKG:");
    return result;
}

TEST(StreamTest, OnePulseAndOneBeatPerHeartbeat) {
    const int seconds = 40;
    for (double bpm : {75.0, 60.0, 110.0}) {
        SCOPED_TRACE(bpm);
        StreamResult r = RunStream(bpm, 2.0, 2.0, seconds);
        double beats = bpm * seconds / 60;
        EXPECT_NEAR(static_cast<double>(r.maxima), beats, 2);
        EXPECT_NEAR(static_cast<double>(r.cm), beats, 3);
        EXPECT_NEAR(static_cast<double>(r.ecg_beats), beats, 2);
        // Every accepted pulse follows a beat, so each is paired once.
        EXPECT_NEAR(static_cast<double>(r.get_ekg), beats, 3);
    }
}

TEST(StreamTest, PulsesOutsideTheAcceptanceWindowAreNotPaired) {
    // The device reports 0.5 %: the window is (0.0025, 0.01), the 2 % pulses lie above it.
    StreamResult r = RunStream(75, 2.0, 0.5, 20);
    EXPECT_NEAR(static_cast<double>(r.maxima), 25, 2);
    EXPECT_NEAR(static_cast<double>(r.ecg_beats), 25, 2);
    EXPECT_EQ(r.get_ekg, 0u);
}

}  // namespace
