#include <gtest/gtest.h>

#include <string>

#include "tests/support/temp_dir.h"
#include "tools/velt-gateway/disk_queue.h"

// The queue keeps its bound by dropping the oldest, and a restart takes up what waits,
// in order, numbering on; an unreadable file is passed over and counted.
TEST(GatewayQueue, BoundedOldestFirstAndKeptOverARestart) {
    testing_support::TempDir dir;
    const std::string path = dir.File("spool/queue");
    std::string error, m;
    {
        gateway::DiskQueue q;
        ASSERT_TRUE(q.Open(path, 1000, &error)) << error;
        for (char c : std::string("abcde")) ASSERT_TRUE(q.Push(std::string(400, c), &error));
        EXPECT_EQ(q.Count(), 2u);
        EXPECT_EQ(q.Dropped(), 3u);
        EXPECT_EQ(q.Bytes(), 800u);
    }
    dir.Write("spool/queue/0000000000000004.hl7", "");  // emptied by a crash of the disk
    dir.Write("spool/queue/0000000000000009.hl7.tmp", "cut");
    gateway::DiskQueue q;
    ASSERT_TRUE(q.Open(path, 1000, &error)) << error;
    EXPECT_EQ(q.NextSeq(), 6u);
    ASSERT_TRUE(q.Front(&m));
    EXPECT_EQ(m, std::string(400, 'e'));
    EXPECT_EQ(q.Unreadable(), 1u);
    q.Pop();
    EXPECT_FALSE(q.Front(&m));
    EXPECT_FALSE(gateway::DiskQueue().Open("/proc/velt-queue", 1000, &error));
    EXPECT_NE(error.find("cannot create /proc/velt-queue"), std::string::npos) << error;
}
