// A review seeks to exactly what playing shows: fields, status words and the plot's
// pixels, from the checkpoints of the index built over the whole file.
#include "display/review_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>

#include "tests/support/temp_dir.h"
#include "tools/oximeter-sim/sim_session.h"

namespace {

struct Shown {
    WaveformPlot plot;
    std::string fields[ViewFieldCount];
    ReviewSession session;
    Shown() : session(plot, [this](int f, const char* text) { fields[f] = text; }, {}) {
        plot.RedrawPlot();
        plot.TakeDirtyRegion();
    }
};

std::string MakeSession(const testing_support::TempDir& dir, int protocol, double seconds) {
    sim::SessionOptions o;
    o.device.protocol = protocol;
    o.seconds = seconds;
    o.gaps = {{70.0, 6.0, false}, {130.0, 8.0, true}};
    const std::string path = dir.File("night.vcap");
    std::string error;
    EXPECT_TRUE(sim::WriteSimulatedSession(path, o, &error)) << error;
    return path;
}

void ExpectSame(const Shown& played, const Shown& sought, uint64_t t) {
    for (int f = 0; f < ViewFieldCount; ++f)
        EXPECT_EQ(sought.fields[f], played.fields[f]) << ViewFieldName(f) << " at " << t;
    int differ = 0;
    played.plot.WithCanvas([&](const PixelCanvas& a) {
        sought.plot.WithCanvas([&](const PixelCanvas& b) {
            for (int y = 0; y < a.Height(); ++y)
                for (int x = 0; x < a.Width(); ++x)
                    if (a.PixelAt(x, y) != b.PixelAt(x, y)) ++differ;
        });
    });
    EXPECT_EQ(differ, 0) << "pixels differ at " << t;
    EXPECT_EQ(sought.plot.WritePosition(), played.plot.WritePosition());
}

void SeekShowsWhatPlayingShows(int protocol) {
    testing_support::TempDir dir;
    const std::string path = MakeSession(dir, protocol, 200);
    auto index = std::make_shared<ReviewIndex>();
    ASSERT_TRUE(index->Build(path, nullptr)) << index->Error();
    ASSERT_GE(index->CheckpointCount(), 6u);

    Shown sought;
    ASSERT_TRUE(sought.session.Open(path));
    sought.session.SetIndex(index);
    Shown played;
    ASSERT_TRUE(played.session.Open(path));
    // Forwards and backwards, in a silence, in a loss, right on a checkpoint.
    const uint64_t times[] = {5123000,  74500000,  60000000, 135000000,
                              45250000, 199990000, 31000000};
    for (uint64_t t : times) {
        Shown fresh_play;  // from the start, in steps as a timer plays
        ASSERT_TRUE(fresh_play.session.Open(path));
        for (uint64_t at = 0; at < t; at += 16667) fresh_play.session.AdvanceTo(at);
        fresh_play.session.AdvanceTo(t);
        sought.session.SeekTo(t);
        ExpectSame(fresh_play, sought, t);
    }
}

TEST(ReviewSession, SeekShowsWhatPlayingShowsProtocol2) { SeekShowsWhatPlayingShows(2); }
TEST(ReviewSession, SeekShowsWhatPlayingShowsProtocol3) { SeekShowsWhatPlayingShows(3); }

TEST(ReviewIndex, OverviewHasEverySecondWithItsGapsAndStatusChanges) {
    testing_support::TempDir dir;
    const std::string path = MakeSession(dir, 2, 200);
    ReviewIndex index;
    std::atomic<bool> cancel{false};
    std::thread worker([&] { index.Build(path, &cancel); });
    worker.join();
    ASSERT_TRUE(index.Done());
    EXPECT_DOUBLE_EQ(index.Progress(), 1.0);
    const std::vector<ReviewIndex::Second> s = index.SecondsFrom(0);
    ASSERT_EQ(s.size(), 202u);  // 0 to 201 s: the port closed at 200.02 s
    EXPECT_NEAR(s[50].spo2, 97.0, 2.0);
    EXPECT_NEAR(s[50].pulse, 75.0, 5.0);
    EXPECT_FALSE(std::isnan(s[50].perfusion));
    // Silent from 70 s: "No data" after 3 s, values gone.
    EXPECT_EQ(s[72].link, data_export::LinkState::kConnected);
    EXPECT_EQ(s[74].link, data_export::LinkState::kNoData);
    EXPECT_TRUE(std::isnan(s[74].spo2));
    EXPECT_TRUE(s[73].status_changed || s[74].status_changed);
    // Lost from 130 s to 138 s.
    EXPECT_EQ(s[131].link, data_export::LinkState::kLost);
    EXPECT_TRUE(s[130].status_changed);
    EXPECT_EQ(s[137].link, data_export::LinkState::kLost);
    EXPECT_EQ(s[139].link, data_export::LinkState::kConnected);
    EXPECT_FALSE(s[100].status_changed);
    EXPECT_EQ(index.SecondsFrom(200).size(), 2u);
    EXPECT_EQ(s[201].link, data_export::LinkState::kClosed);  // the port closed at the end

    ReviewIndex stopped;
    cancel = true;
    EXPECT_FALSE(stopped.Build(path, &cancel));
    EXPECT_FALSE(stopped.Done());
}

TEST(ReviewIndex, CheckpointsKeepADayToAFewHundred) {
    EXPECT_EQ(ReviewIndex::CheckpointSpacingUs(3600ull * 1000000), 30000000u);
    const uint64_t day = 24ull * 3600 * 1000000;
    EXPECT_LE(day / ReviewIndex::CheckpointSpacingUs(day), 600u);
}

}  // namespace
