#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <map>
#include <string>

#include "recordings/edf_reader.h"
#include "tests/support/temp_dir.h"

// The simulator's recording: one type-1 record per 20 ms sample, time stamps in 5 ms
// units, and the occasional type-2, -3 and -4 record, readable by the replay's reader.
TEST(OximeterSimRecord, WritesThePlethysmogramAsARecording) {
    testing_support::TempDir dir;
    std::string cmd = std::string(OXIMETER_SIM) + " --seconds 10 --output " + dir.File("s.bin") +
                      " --record " + dir.File("s.edf") + " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::FILE* f = std::fopen(dir.File("s.edf").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    recordings::StdioByteSource source(f);
    recordings::CEdfReader reader(source);
    recordings::EdfRecord r;
    std::map<int, int> types;
    int64_t last_time = -1;
    int32_t lo = 1 << 30, hi = -(1 << 30);
    recordings::EdfReadStatus s;
    while ((s = reader.Next(r)) == recordings::EdfReadStatus::kRecord) {
        ++types[r.header.type];
        if (r.header.type != 1) continue;
        EXPECT_EQ(static_cast<int64_t>(r.header.time), last_time + (last_time < 0 ? 1 : 4));
        last_time = r.header.time;
        lo = std::min(lo, r.sample);
        hi = std::max(hi, r.sample);
    }
    std::fclose(f);
    EXPECT_EQ(s, recordings::EdfReadStatus::kEnd);
    EXPECT_EQ(types[1], 500);
    EXPECT_EQ(types[2], 10);
    EXPECT_EQ(types[3], 2);
    EXPECT_EQ(types[4], 1);
    EXPECT_GT(hi - lo, 100) << "the pulse shows in the samples";
    std::string bad = std::string(OXIMETER_SIM) + " --seconds 1 --output " + dir.File("t.bin") +
                      " --record " + dir.File("missing/x.edf") + " 2>/dev/null";
    EXPECT_NE(std::system(bad.c_str()), 0);
}
