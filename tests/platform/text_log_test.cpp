#include "platform/text_log.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
