#include "platform/text_log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace {

using platform::Decimal;
using platform::TextLog;

TEST(TextLog, HeaderAtEachOpenPointKeptAndCloseStartsTheFileAnew) {
    testing_support::TempDir dir;
    TextLog log(dir.File("points.txt"), Decimal::kPoint, "a.b\tc\r\n");
    log.SetEnabled(false);
    log.Printf("%.1f\n", 1.5);
    EXPECT_FALSE(log.IsOpen());
    log.SetEnabled(true);
    log.Printf("\nx=%.2f\n", 2.25);
    log.WriteLine("3.5\n");
    log.SetEnabled(false);  // an open log stops writing too
    log.WriteLine("dropped\n");
    log.SetEnabled(true);
    EXPECT_EQ(dir.Read("points.txt"), "a.b\tc\r\n\nx=2.25\r\n3.5\r\n");

    log.Close();
    EXPECT_EQ(dir.Read("points.txt"), "a.b\tc\r\n\nx=2.25\r\n3.5\r\n");
    log.Printf("%i\n", 7);
    EXPECT_EQ(dir.Read("points.txt"), "a.b\tc\r\n7\r\n");
}

TEST(TextLog, AnOverlongLineIsCutWithoutLineEnd) {
    testing_support::TempDir dir;
    TextLog log(dir.File("long.txt"), Decimal::kComma);
    const std::string text(400, '.');
    log.Printf("%s\n", text.c_str());
    log.WriteLine((text + "\n").c_str());
    log.WriteLine("1.5\n");
    const std::string cut(TextLog::kMaxLine, ',');
    EXPECT_EQ(dir.Read("long.txt"), cut + cut + "1,5\r\n");
}

TEST(TextLog, ABatchIsInTheFileWhenItEnds) {
    testing_support::TempDir dir;
    TextLog log(dir.File("batch.txt"));
    {
        TextLog::Batch batch(log);
        for (int i = 0; i < 3; ++i) log.Printf("%i\t%.1f\n", i, i / 2.0);
    }
    EXPECT_TRUE(log.IsOpen());
    EXPECT_EQ(dir.Read("batch.txt"), "0\t0.0\r\n1\t0.5\r\n2\t1.0\r\n");
}

// The logs' own formatting gives exactly snprintf's bytes (and count, and cut).
TEST(TextLog, LineFormattingMatchesSnprintf) {
    std::mt19937_64 rng(7);
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.5,
                                  1.5,
                                  2.5,
                                  0.125,
                                  0.005,
                                  1e-320,
                                  1e300,
                                  -1e22,
                                  9.9995,
                                  0.00049999,
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::nan(""),
                                  -std::nan("")};
    for (int i = 0; i < 20000; ++i) {
        const double magnitude = std::pow(10.0, static_cast<int>(rng() % 24) - 8);
        values.push_back((static_cast<double>(rng() % 2000001) - 1e6) * 1e-6 * magnitude);
        values.push_back(static_cast<int>(rng() % 100000) * (i % 2 ? 0.1 : 0.01));
    }
    const char* const float_formats[] = {"%.0lf", "%.1lf", "%.2lf", "%.3f",  "%.5lf",
                                         "%f",    "%.3lg", "%g",    "%.0g",  "%e",
                                         "%.2E",  "%G",    "%F",    "%5.1f", "x%%%.4f|"};
    char ours[64], theirs[64];
    for (const char* format : float_formats) {
        for (double v : values) {
            const int n = platform::FormatLogLine(ours, sizeof ours, format, v);
            ASSERT_EQ(n, std::snprintf(theirs, sizeof theirs, format, v)) << format << " " << v;
            ASSERT_STREQ(ours, theirs) << format;
        }
    }
    for (long long v : {0LL, -1LL, 7LL, 2147483647LL, -2147483647LL - 1, 255LL, 65535LL}) {
        platform::FormatLogLine(ours, sizeof ours, "%i|%d|%u|%x|%X|%hhi|%hu|%c",
                                static_cast<int>(v), static_cast<int>(v), static_cast<unsigned>(v),
                                static_cast<unsigned>(v), static_cast<unsigned>(v),
                                static_cast<int>(v), static_cast<int>(v), static_cast<int>(v) | 64);
        std::snprintf(theirs, sizeof theirs, "%i|%d|%u|%x|%X|%hhi|%hu|%c", static_cast<int>(v),
                      static_cast<int>(v), static_cast<unsigned>(v), static_cast<unsigned>(v),
                      static_cast<unsigned>(v), static_cast<int>(v), static_cast<int>(v),
                      static_cast<int>(v) | 64);
        EXPECT_STREQ(ours, theirs);
        platform::FormatLogLine(ours, sizeof ours, "%li %llu %zu %s %.2s %+d", static_cast<long>(v),
                                static_cast<unsigned long long>(v), static_cast<size_t>(v), "abc",
                                "xyz", static_cast<int>(v));
        std::snprintf(theirs, sizeof theirs, "%li %llu %zu %s %.2s %+d", static_cast<long>(v),
                      static_cast<unsigned long long>(v), static_cast<size_t>(v), "abc", "xyz",
                      static_cast<int>(v));
        EXPECT_STREQ(ours, theirs);
    }
    // A line longer than the buffer is cut where snprintf cuts it, and counted whole.
    char small[8];
    EXPECT_EQ(platform::FormatLogLine(small, sizeof small, "%i\t%.3f\n", 123456, 2.5), 13);
    EXPECT_STREQ(small, "123456\t");
}

}  // namespace
