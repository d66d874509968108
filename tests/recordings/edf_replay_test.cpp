#include "recordings/edf_replay.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "recordings/edf_writer.h"
#include "tests/recordings/analysis_support.h"
#include "tests/support/debug_capture.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace recordings;
using namespace recordings_test;
using testing_support::DebugCapture;
using testing_support::TempDir;

struct FakeTimer : IPacingTimer {
    void Arm() override {
        ++arms;
        running = true;
    }
    void Stop() override {
        ++stops;
        running = false;
    }
    int arms = 0;
    int stops = 0;
    bool running = false;
};

class ReplayTest : public ::testing::Test {
protected:
    ReplayTest() { analysis_.SetDumpDirectory(dir_.path()); }

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        dir_.Write(name, std::string(bytes.begin(), bytes.end()));
        return dir_.File(name);
    }

    std::unique_ptr<CEdfReplay> Make(const std::string& path) {
        return std::make_unique<CEdfReplay>(path, analysis_, &timer_, [this] { return now_; });
    }

    size_t SummaryLines() const { return WithPrefix(capture_.Lines(), "dCorrAll[i] ").size(); }

    TempDir dir_;
    DebugCapture capture_;
    CPulseAnalysis analysis_;
    FakeTimer timer_;
    uint32_t now_ = 1000;
};

std::vector<uint8_t> Samples(int n, uint32_t first_time = 0, uint32_t step = 1) {
    std::vector<uint8_t> b;
    for (int i = 0; i < n; ++i) AppendEdfSample(b, first_time + i * step, 1000 + (i % 37) * 20);
    return b;
}

TEST_F(ReplayTest, OpenStatuses) {
    EXPECT_EQ(CEdfReplay("", analysis_).Open(), kReplayNoFileName);
    CEdfReplay missing(dir_.File("missing.edf"), analysis_);
    EXPECT_EQ(missing.Open(), kReplayCannotOpen);
    EXPECT_NE(missing.OpenErrno(), 0);
    EXPECT_EQ(CEdfReplay(dir_.path(), analysis_).Open(), kReplayCannotOpen);  // a directory

    auto r = Make(Write("a.edf", Samples(3)));
    now_ = 4242;
    EXPECT_EQ(r->Open(), 0);
    EXPECT_EQ(r->StartTime(), 4242u);
    EXPECT_EQ(r->Open(), kReplayAlreadyOpen);
}

TEST_F(ReplayTest, FailedOpenEndsTheReplayWithoutSummary) {
    auto r = Make(dir_.File("missing.edf"));
    EXPECT_EQ(r->Step(), kReplayCannotOpen);
    EXPECT_TRUE(r->Ended());
    EXPECT_EQ(r->Step(), kReplayCannotOpen);
    EXPECT_EQ(SummaryLines(), 0u);
    EXPECT_EQ(timer_.arms, 0);
}

TEST_F(ReplayTest, EmptyFileGivesTheSummaryOnceAndEnds) {
    auto r = Make(Write("empty.edf", {}));
    EXPECT_EQ(r->Step(), kReplayEnded);
    EXPECT_EQ(SummaryLines(), 138u);
    EXPECT_TRUE(r->Ended());
    EXPECT_FALSE(timer_.running);
    EXPECT_EQ(r->Step(), kReplayEnded);  // an ended replay does nothing more
    EXPECT_EQ(SummaryLines(), 138u);
}

TEST_F(ReplayTest, CutShortFileEndsWithMinusFiveAndTheSummary) {
    auto bytes = Samples(5, 0, 0);
    bytes.resize(bytes.size() - 3);
    auto r = Make(Write("cut.edf", bytes));
    EXPECT_EQ(r->Step(), kReplayBadRecord);
    EXPECT_EQ(r->EndReason(), EdfReadStatus::kCutShort);
    EXPECT_EQ(r->EndOffset(), 80u);
    EXPECT_EQ(analysis_.State().lNData, 4);
    EXPECT_EQ(SummaryLines(), 138u);
}

TEST_F(ReplayTest, MalformedRecordsStopTheReplayWithoutSummary) {
    const struct {
        uint16_t type;
        uint16_t length;
        int16_t status;
    } cases[] = {{7, 0, kReplayBadRecord},
                 {4, 3, kReplayBadRecord},
                 {4, 0, kReplayNoMemory},
                 {4, 40000, kReplayNoMemory}};
    for (const auto& c : cases) {
        auto bytes = Samples(2, 0, 0);
        const std::vector<uint8_t> head = {static_cast<uint8_t>(c.type),
                                           0,
                                           static_cast<uint8_t>(c.length & 0xFF),
                                           static_cast<uint8_t>(c.length >> 8),
                                           0,
                                           0,
                                           0,
                                           0};
        bytes.insert(bytes.end(), head.begin(), head.end());
        const auto tail = Samples(3, 0, 0);
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        auto r = Make(Write("bad.edf", bytes));
        const int before = analysis_.State().lNData;
        EXPECT_EQ(r->Step(), c.status) << c.type << "/" << c.length;
        EXPECT_EQ(r->EndRecordType(), c.type);
        EXPECT_EQ(r->EndOffset(), 40u);
        EXPECT_EQ(analysis_.State().lNData, before + 2);
        // Stopped for good: no later step reads on past the bad header.
        EXPECT_EQ(r->Step(), c.status);
        EXPECT_EQ(analysis_.State().lNData, before + 2);
        EXPECT_FALSE(timer_.running);
    }
    EXPECT_EQ(SummaryLines(), 0u);
}

TEST_F(ReplayTest, VariableRecordsAreSkippedByTheirLength) {
    std::vector<uint8_t> bytes;
    for (uint16_t length : {5, 8, 9, 32768}) {
        const size_t size = static_cast<size_t>(VariableBodySize(length));
        const std::vector<uint8_t> head = {
            4, 0, static_cast<uint8_t>(length & 0xFF), static_cast<uint8_t>(length >> 8), 0, 0,
            0, 0};
        bytes.insert(bytes.end(), head.begin(), head.end());
        bytes.resize(bytes.size() + size, 0x01);  // would read as type 1 if misaligned
        AppendEdfSample(bytes, 0, 5);
    }
    auto r = Make(Write("var.edf", bytes));
    EXPECT_EQ(r->Step(), kReplayEnded);
    EXPECT_EQ(analysis_.State().lNData, 4);
}

TEST_F(ReplayTest, RecordsOtherThanSamplesNeverWait) {
    std::vector<uint8_t> bytes;
    AppendEdfValues(bytes, 100000, 1, 2, 3, 4, 5);
    AppendEdfBlock(bytes, 200000, nullptr);
    const uint8_t body[8] = {};
    AppendEdfVariable(bytes, 300000, body, 8);
    AppendEdfSample(bytes, 0, 10);
    auto r = Make(Write("others.edf", bytes));
    EXPECT_EQ(r->Step(), kReplayEnded);
    EXPECT_EQ(timer_.arms, 0);
    EXPECT_EQ(analysis_.State().lNData, 1);
}

TEST_F(ReplayTest, AllZeroTimeStampsRunInOneStep) {
    auto r = Make(Write("zero.edf", Samples(700, 0, 0)));
    EXPECT_EQ(r->Step(), kReplayEnded);
    EXPECT_EQ(timer_.arms, 0);
    EXPECT_EQ(analysis_.State().lNData, 700);
    EXPECT_EQ(AutoCorrLines(capture_.Lines()).size(), 3u);
    EXPECT_EQ(SummaryLines(), 138u);
}

TEST_F(ReplayTest, PacingAgainstTheTickTakenAtOpening) {
    // Time stamps 0, 1, 2, ...: record i falls due 5 i ms after the opening.
    auto r = Make(Write("paced.edf", Samples(10)));
    now_ = 5000;
    EXPECT_EQ(r->Step(), kReplayWaiting);  // record 0 due at once, record 1 analysed, then wait
    EXPECT_EQ(analysis_.State().lNData, 2);
    EXPECT_EQ(r->DueTick(), 5005u);
    EXPECT_TRUE(timer_.running);

    now_ = 5004;  // an early tick: one more record, then wait again
    EXPECT_EQ(r->Step(), kReplayWaiting);
    EXPECT_EQ(analysis_.State().lNData, 3);

    now_ = 5030;  // behind the clock: every due record in one step
    EXPECT_EQ(r->Step(), kReplayWaiting);
    EXPECT_EQ(analysis_.State().lNData, 8);  // records up to 6 due, record 7 ahead
    EXPECT_EQ(r->DueTick(), 5035u);

    now_ = 6000;
    EXPECT_EQ(r->Step(), kReplayEnded);
    EXPECT_EQ(analysis_.State().lNData, 10);
    EXPECT_FALSE(timer_.running);
    EXPECT_EQ(timer_.arms, 3);
}

TEST_F(ReplayTest, FirstTimeStampDelaysFromTheOpeningNotFromTheFirstRecord) {
    auto r = Make(Write("late.edf", Samples(5, 1000)));
    now_ = 0;
    EXPECT_EQ(r->Step(), kReplayWaiting);
    EXPECT_EQ(analysis_.State().lNData, 1);
    for (int tick = 1; tick <= 3; ++tick) {
        now_ = 1000 * tick;  // still short of 5000 ms: exactly one record per tick
        EXPECT_EQ(r->Step(), kReplayWaiting);
        EXPECT_EQ(analysis_.State().lNData, 1 + tick);
    }
}

TEST_F(ReplayTest, StopEndsWithTheSummaryOnceAndProgressFollowsTheFile) {
    // 1,000 samples 5 ms apart (first time stamp 100), 20 bytes each: 5.1 s in all.
    auto r = Make(Write("long.edf", Samples(1000, 100)));
    EXPECT_EQ(r->PositionMs(), 0u);
    EXPECT_EQ(r->EstimatedLengthMs(), 0u);
    now_ = 0;
    EXPECT_EQ(r->Step(), kReplayWaiting);  // time stamp 100 lies 500 ms ahead
    EXPECT_EQ(r->PositionMs(), 500u);
    now_ = 1000;
    EXPECT_EQ(r->Step(), kReplayWaiting);
    EXPECT_EQ(r->PositionMs(), 1005u);
    EXPECT_EQ(r->EstimatedLengthMs(), 5495u);  // time stamp 1099
    EXPECT_EQ(SummaryLines(), 0u);

    EXPECT_EQ(r->Stop(), kReplayEnded);
    EXPECT_TRUE(r->Ended());
    EXPECT_FALSE(timer_.running);
    EXPECT_EQ(SummaryLines(), 138u);
    const int analysed = analysis_.State().lNData;
    EXPECT_EQ(r->Stop(), kReplayEnded);
    EXPECT_EQ(r->Step(), kReplayEnded);
    EXPECT_EQ(SummaryLines(), 138u);
    EXPECT_EQ(analysis_.State().lNData, analysed);

    // Stopped before its first step, a replay has nothing to sum up.
    auto unopened = Make(Write("unopened.edf", Samples(3)));
    EXPECT_EQ(unopened->Stop(), kReplayEnded);
    EXPECT_EQ(SummaryLines(), 138u);
}

TEST_F(ReplayTest, PacingSurvivesTheTickWrapping) {
    auto r = Make(Write("wrap.edf", Samples(4)));
    now_ = 0xFFFFFFFEu;
    EXPECT_EQ(r->Step(), kReplayWaiting);  // record 1 due at 3 after the wrap
    EXPECT_EQ(analysis_.State().lNData, 2);
    now_ = 2;
    EXPECT_EQ(r->Step(), kReplayWaiting);
    EXPECT_EQ(analysis_.State().lNData, 3);
    now_ = 20;
    EXPECT_EQ(r->Step(), kReplayEnded);
}

TEST_F(ReplayTest, LoadingTheSameFileTwiceStartsOverWhileTheAnalysisGoesOn) {
    const std::string path = Write("twice.edf", Samples(400));
    auto first = Make(path);
    now_ = 0;
    EXPECT_EQ(first->Step(), kReplayWaiting);
    now_ = 1000;  // 200 records due
    EXPECT_EQ(first->Step(), kReplayWaiting);
    EXPECT_EQ(analysis_.State().lNData, 202);
    first.reset();  // the next load destroys the old replay
    EXPECT_FALSE(timer_.running);

    auto second = Make(path);
    now_ = 100000;
    EXPECT_EQ(second->Step(), kReplayWaiting);
    EXPECT_EQ(analysis_.State().lNData, 204);  // from the file's first record again
    now_ += 2000;
    EXPECT_EQ(second->Step(), kReplayEnded);
    EXPECT_EQ(analysis_.State().lNData, 602);
    const auto results = AutoCorrLines(capture_.Lines());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].lNData, 600);
    EXPECT_EQ(SummaryLines(), 138u);
}

}  // namespace
