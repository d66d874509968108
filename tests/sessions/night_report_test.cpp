// The report's numbers over a session with known dips, and the PDF's text (poppler's
// pdftotext) saying the same.
#include "sessions/night_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sessions/report_pdf.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<report::Second> KnownDips() {
    std::vector<report::Second> s(1500);
    for (size_t i = 0; i < s.size(); ++i) s[i] = {97, 70};
    auto dip = [&](size_t from, size_t length, float spo2) {
        for (size_t i = from; i < from + length; ++i) s[i].spo2 = spo2;
    };
    dip(5, 20, 89);      // in the first 30 s: no baseline yet, but T90
    dip(200, 20, 95);    // 2 %: no desaturation
    dip(400, 20, 93.5);  // 3.5 %: 3 % only
    dip(600, 8, 91);     // 6 %, too short
    dip(800, 20, 91);    // 6 %: 3 % and 4 %
    for (size_t i = 1000; i < 1100; ++i) s[i] = {};
    dip(1110, 20, 91);  // 20 valid seconds in the 120 before: no baseline
    dip(1300, 15, 92);  // broken by a second without a value
    s[1307] = {};
    s[1450].pulse = 131;
    return s;
}

TEST(NightReport, KnownDipsGiveExactCountsAndThePdfSaysTheSame) {
    const std::vector<report::Second> seconds = KnownDips();
    const report::Numbers n = report::Compute(seconds, 2);
    EXPECT_EQ(n.valid_seconds, 1399);
    EXPECT_EQ(n.desaturations3, 2);
    EXPECT_EQ(n.desaturations4, 1);
    ASSERT_EQ(n.events.size(), 3u);
    EXPECT_EQ(n.events[0].start, 400);
    EXPECT_EQ(n.events[0].duration, 20);
    EXPECT_EQ(n.events[0].nadir, 93.5);
    EXPECT_EQ(n.events[2].start, 800);
    EXPECT_EQ(n.events[2].threshold, 4);
    EXPECT_EQ(n.below[0].seconds, 20);  // T90
    EXPECT_EQ(n.spo2_min, 89);
    EXPECT_EQ(n.spo2_min_at, 5);
    EXPECT_EQ(n.pulse_max, 131);
    const std::string json = report::Json(n);
    EXPECT_NE(json.find("\"odi3\": 5.1,"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"threshold\": 4, \"start\": 800, \"duration\": 20, \"baseline\": 97.0, "
                        "\"nadir\": 91.0}"),
              std::string::npos)
        << json;

    testing_support::TempDir dir;
    report::ReportInfo info;
    info.start_unix_us = 1765400000000000;
    info.port = "COM1";
    info.version = "1.0.0";
    info.marks = {{300, "woke up"}, {900, "sensor moved"}};
    std::string error;
    ASSERT_TRUE(report::WriteReportPdf(dir.File("r.pdf"), info, n, seconds, &error)) << error;
    FILE* p = popen(("pdftotext -layout " + dir.File("r.pdf") + " -").c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char buf[4096];
    for (size_t got; (got = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, got);
    ASSERT_EQ(pclose(p), 0) << "pdftotext could not read the report";
    for (const char* want : {"2 events, 5.1 /h", "1 events, 2.6 /h", "0.3 min (1.4 %)", "89.0 at",
                             "70.0 / 70.0 / 131.0 /min", "woke up", "Definitions", "0:23:19"})
        EXPECT_NE(text.find(want), std::string::npos) << want << "\n" << text;
    const size_t pages = std::count(text.begin(), text.end(), '\f');
    EXPECT_TRUE(pages >= 1 && pages <= 3) << pages;
}

}  // namespace
