#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "link/oximeter.h"
#include "link/packet_queue.h"
#include "tests/link/fake_view.h"
#include "tests/link/link_test_util.h"
#include "tests/support/debug_capture.h"

namespace {

const char kFullLine[] = "************ COximeter::OnRxPacket more than 100 in queue\n";

std::vector<uint32_t> Drain(COximeter& link) {
    std::vector<uint32_t> seen;
    link.SetRecordObserver(
        [](void* ctx, const PacketRecord& r) {
            static_cast<std::vector<uint32_t>*>(ctx)->push_back(CounterOf(r));
        },
        &seen);
    link.ProcessPackets();
    link.SetRecordObserver(nullptr, nullptr);
    return seen;
}

TEST(PacketQueue, KeepsOrderAndCountsUnderTheLock) {
    PacketQueue q;
    EXPECT_EQ(q.Take(), nullptr);
    bool empty = false;
    EXPECT_EQ(q.CopyTail(&empty), nullptr);
    EXPECT_TRUE(empty);
    for (uint8_t i = 0; i < 5; ++i) q.Append(PacketRecord::Create(36, i, 1, &i));
    EXPECT_EQ(q.Count(), 5);
    PacketRecord* copy = q.CopyTail(&empty);
    ASSERT_NE(copy, nullptr);
    EXPECT_FALSE(empty);
    EXPECT_EQ(copy->sequence, 4);
    EXPECT_EQ(copy->payload[0], 4);
    PacketRecord::Free(copy);
    for (uint8_t i = 0; i < 5; ++i) {
        PacketRecord* r = q.Take();
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->sequence, i);
        EXPECT_EQ(r->next, nullptr);
        PacketRecord::Free(r);
    }
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.CopyTail(), nullptr) << "tail is cleared with the head";
    q.Append(PacketRecord::Create(1, 9, 0, nullptr));
    EXPECT_EQ(q.Count(), 1);
    q.Clear();
    EXPECT_EQ(q.Count(), 0);
    EXPECT_EQ(q.Take(), nullptr);
}

TEST(OnRxPacket, BlockedConsumerKeeps101AndDropsTheRest) {
    testing_support::DebugCapture capture;
    FakeView view;
    COximeter link(nullptr, 1, false, nullptr);
    link.AttachView(&view);
    view.posts = 0;
    LinkFeeder feeder{link, {}};
    for (uint32_t n = 0; n < 150; ++n) feeder.Feed(CountedFrame(n));
    EXPECT_EQ(link.QueuedCount(), 101);
    EXPECT_EQ(capture.Count(kFullLine), 49u);
    EXPECT_EQ(view.posts.load(), 101) << "one message per queued record, none per drop";
    EXPECT_EQ(view.last_link.load(), &link);
    EXPECT_EQ(feeder.acks.size(), 150u * 3) << "dropped frames were acknowledged too";

    std::vector<uint32_t> seen = Drain(link);
    ASSERT_EQ(seen.size(), 101u);
    for (uint32_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i);
    EXPECT_EQ(link.QueuedCount(), 0);
    EXPECT_TRUE(Drain(link).empty()) << "a later message finds the queue empty";
}

TEST(OnRxPacket, RepeatCopiesTheNewestRecordOrNothing) {
    COximeter link(nullptr, 1, false, nullptr);
    EXPECT_EQ(link.OnRxPacket(true), -1) << "nothing to repeat";
    EXPECT_EQ(link.QueuedCount(), 0);

    LinkFeeder feeder{link, {}};
    feeder.Feed(CountedFrame(7, 20));
    // A frame cut off by a mark stands in a copy of the last record.
    std::vector<uint8_t> cut = CountedFrame(8, 40);
    cut.resize(10);
    feeder.Feed(cut);
    feeder.Feed(CountedFrame(9));
    EXPECT_EQ(Drain(link), (std::vector<uint32_t>{7, 7, 9}));

    // Right after a drain there is nothing to copy.
    EXPECT_EQ(link.OnRxPacket(true), -1);
    EXPECT_EQ(link.QueuedCount(), 0);
}

TEST(OnRxPacket, RecordsWaitUntilAViewIsAttached) {
    FakeView view;
    COximeter link(nullptr, 1, false, nullptr);
    LinkFeeder feeder{link, {}};
    feeder.Feed(CountedFrame(1));
    EXPECT_EQ(link.QueuedCount(), 1);
    link.AttachView(&view);
    EXPECT_EQ(view.posts.load(), 0) << "attaching posts nothing";
    feeder.Feed(CountedFrame(2));
    EXPECT_EQ(view.posts.load(), 1);
    EXPECT_EQ(Drain(link), (std::vector<uint32_t>{1, 2}));
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(OnRxPacket, QueuedRecordsAreFreedWithTheLink) {
    size_t baseline;
    {
        COximeter link(nullptr, 1, false, nullptr);
        LinkFeeder feeder{link, {}};
        baseline = mallinfo2().uordblks;
        for (uint32_t n = 0; n < 100; ++n) feeder.Feed(CountedFrame(n, 100));
        ASSERT_EQ(link.QueuedCount(), 100);
        EXPECT_GE(mallinfo2().uordblks, baseline + 100 * 100);
    }
    // The allocator keeps a few freed chunks in per-thread caches; a leak is ~10 kB.
    EXPECT_LE(mallinfo2().uordblks, baseline + 2048) << "queued records leaked";
}
#endif

}  // namespace
