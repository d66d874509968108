#include "platform/debug_output.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/debug_capture.h"

TEST(DebugOutput, LinesArriveWholeFromManyThreads) {
    testing_support::DebugCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) platform::DebugPrintf("thread %d line %d\n", t, i);
        });
    }
    for (auto& th : threads) th.join();
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2000u);
    std::vector<int> next(4, 0);
    for (const auto& l : lines) {
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(l.c_str(), "thread %d line %d\n", &t, &i), 2) << l;
        ASSERT_EQ(i, next[t]) << "lines of one thread out of order";
        ++next[t];
    }
}

TEST(DebugOutput, LongLinesAreNotTruncated) {
    testing_support::DebugCapture capture;
    std::string big(5000, 'a');
    platform::DebugPrintf("%s|\n", big.c_str());
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0], big + "|\n");
}
