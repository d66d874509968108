// The once-a-second sampler: one snapshot per whole second of stream time, of what the
// view held when that second began, with the link's state and counts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "processing/view_field.h"
#include "sessions/second_snapshot.h"

namespace {

using data_export::LinkState;
using data_export::SecondValues;

TEST(SecondSampler, OneSnapshotPerSecondOfWhatTheViewHeldWhenItBegan) {
    std::string fields[ViewFieldCount];
    LinkStatistics statistics;
    SecondSampler sampler(fields, statistics, 1796853127000000);
    std::vector<std::pair<int64_t, SecondValues>> seen;
    auto record = [&](int64_t t_us) {
        sampler.AdvanceTo(
            t_us, [&](int64_t second, const SecondValues& v) { seen.emplace_back(second, v); });
    };
    record(0);  // the first record: second 0 starts before it changes the view
    fields[Spo2] = "97.0";
    fields[Pulse] = "75.0";
    fields[Perfusion_IR] = "2.00";
    fields[RHbCO] = "1.5";
    fields[StatusText] = "OK";
    statistics.Add(LinkStatistics::kFrames, 50);
    record(980000);  // still second 0
    EXPECT_EQ(seen.size(), 1u);
    statistics.Add(LinkStatistics::kBadChecksums, 2);
    statistics.Add(LinkStatistics::kIncomplete, 3);
    statistics.Add(LinkStatistics::kDropped, 1);
    sampler.SetLinkState(LinkState::kLost);
    record(3000000);  // seconds 1, 2 and 3 at once, after a gap
    fields[Spo2] = "x";

    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(sampler.NextSecond(), 4);
    EXPECT_EQ(seen[0].first, 0);
    EXPECT_EQ(seen[0].second.unix_us, 1796853127000000);
    EXPECT_EQ(seen[0].second.spo2, "");
    EXPECT_EQ(seen[0].second.link, LinkState::kConnected);
    for (int s = 1; s < 4; ++s) {
        const SecondValues& v = seen[static_cast<size_t>(s)].second;
        EXPECT_EQ(seen[static_cast<size_t>(s)].first, s);
        EXPECT_EQ(v.unix_us, 1796853127000000 + s * 1000000);
        EXPECT_EQ(v.spo2, "97.0");
        EXPECT_EQ(v.pulse, "75.0");
        EXPECT_EQ(v.perfusion, "2.00");
        EXPECT_EQ(v.rhbco, "1.5");
        EXPECT_EQ(v.status, "OK");
        EXPECT_EQ(v.link, LinkState::kLost);
        EXPECT_EQ(v.frames, 50u);
        EXPECT_EQ(v.bad, 2u);
        EXPECT_EQ(v.lost, 4u);
    }
}

}  // namespace
