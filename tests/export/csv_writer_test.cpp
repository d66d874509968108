// The CSV export: RFC 4180 fields and line ends, the header row, one row per second
// with the values as the window showed them.
#include "export/csv_writer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/support/temp_dir.h"

namespace data_export {
namespace {

using testing_support::TempDir;

TEST(CsvWriter, FieldsAreQuotedOnlyWhenTheyMustBe) {
    std::string out;
    AppendCsvField(out, "OK");
    out += '|';
    AppendCsvField(out, "a,b");
    out += '|';
    AppendCsvField(out, "say \"hi\"");
    out += '|';
    AppendCsvField(out, "two\nlines\r");
    EXPECT_EQ(out, "OK|\"a,b\"|\"say \"\"hi\"\"\"|\"two\nlines\r\"");
}

TEST(CsvWriter, OneRowPerSecondAsTheWindowShowedIt) {
    setenv("TZ", "CET-1", 1);
    tzset();
    TempDir dir;
    CsvWriter w;
    ASSERT_TRUE(w.Open(dir.File("out.csv"))) << w.Error();
    SecondValues v;
    v.unix_us = 1796853127250000;  // 21:52:07.250 UTC
    v.spo2 = "97.0";
    v.pulse = "75.3";
    v.perfusion = "2.05";
    v.rhbco = "1.5";
    v.status = "OK";
    v.link = LinkState::kConnected;
    ASSERT_TRUE(w.AddRow(v, "Mark: a, b; Alarm: ** SpO2 86 < 90"));
    v.unix_us += 1000000;
    v.spo2 = v.pulse = v.rhbco = "Perfus?";
    v.perfusion = "0.09";
    v.status = "*** Connection lost (error 5), reconnecting..";
    v.link = LinkState::kLost;
    ASSERT_TRUE(w.AddRow(v));
    v.unix_us += 1000000;
    v.spo2 = v.pulse = v.perfusion = v.rhbco = "x";
    v.status = "";
    v.link = LinkState::kNoData;
    ASSERT_TRUE(w.AddRow(v));
    ASSERT_TRUE(w.Close()) << w.Error();
    EXPECT_EQ(dir.Read("out.csv"),
              "time,spo2,pulse,perfusion,rhbco,status,link,annotations\r\n"
              "2026-12-09T22:52:07.250+01:00,97.0,75.3,2.05,1.5,OK,connected,"
              "\"Mark: a, b; Alarm: ** SpO2 86 < 90\"\r\n"
              "2026-12-09T22:52:08.250+01:00,,,0.09,,"
              "\"*** Connection lost (error 5), reconnecting..\",lost,\r\n"
              "2026-12-09T22:52:09.250+01:00,,,,,,no data,\r\n");
    unsetenv("TZ");
    tzset();
}

TEST(CsvWriter, AFailedWriteIsReported) {
    CsvWriter missing;
    EXPECT_FALSE(missing.Open("/nonexistent-dir/out.csv"));
    EXPECT_NE(missing.Error().find("/nonexistent-dir/out.csv"), std::string::npos);

    // /dev/full takes the open and fails every write.
    CsvWriter full;
    ASSERT_TRUE(full.Open("/dev/full"));
    SecondValues v;
    v.unix_us = 1796853127250000;
    for (int i = 0; i < 2000 && full.AddRow(v); ++i) {
    }
    EXPECT_FALSE(full.Close());
    EXPECT_NE(full.Error().find("No space left"), std::string::npos) << full.Error();
}

}  // namespace
}  // namespace data_export
