#include "link/transport/fake_transport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

using transport::FakeTransport;
using transport::WaitResult;

namespace {

std::vector<uint8_t> ReadWaiting(FakeTransport& t) {
    size_t waiting = 0;
    EXPECT_EQ(t.BytesWaiting(&waiting), 0);
    std::vector<uint8_t> b(waiting + 4);
    size_t n = 0;
    EXPECT_EQ(t.Read(b.data(), b.size(), &n), 0);
    EXPECT_EQ(n, waiting) << "reads what it said was waiting";
    b.resize(n);
    return b;
}

}  // namespace

TEST(FakeTransport, APauseHoldsBackWhatFollowsIt) {
    FakeTransport t;
    t.Feed({1, 2});
    t.Pause(150);
    t.Feed({3});
    ASSERT_EQ(t.WaitForData(10), WaitResult::Data);
    EXPECT_EQ(ReadWaiting(t), (std::vector<uint8_t>{1, 2}));
    // The pause runs from here: a short wait sees nothing, a long one the next byte.
    EXPECT_EQ(t.WaitForData(20), WaitResult::Timeout);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(t.WaitForData(5000), WaitResult::Data);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_EQ(ReadWaiting(t), (std::vector<uint8_t>{3}));
    EXPECT_EQ(t.Pending(), 0u);
    EXPECT_EQ(t.waits(), 3);
}

TEST(FakeTransport, LineErrorsArriveInScriptOrder) {
    FakeTransport t;
    t.Feed({1});
    t.FeedLineErrors(0x8);
    t.FeedLineErrors(0x2);
    t.Feed({2});
    EXPECT_EQ(t.TakeLineErrors(), 0u) << "not before the bytes ahead of them are read";
    uint8_t b[4];
    size_t n = 0;
    ASSERT_EQ(t.Read(b, 1, &n), 0);
    EXPECT_EQ(t.TakeLineErrors(), 0xAu);
    EXPECT_EQ(t.TakeLineErrors(), 0u) << "taken once";
}

TEST(FakeTransport, AHangUpComesAfterTheBytesBeforeIt) {
    FakeTransport t;
    t.Feed({1, 2, 3});
    t.HangUp();
    t.Feed({4});  // never arrives: the device is gone
    ASSERT_EQ(t.WaitForData(10), WaitResult::Data);
    EXPECT_EQ(ReadWaiting(t), (std::vector<uint8_t>{1, 2, 3}));
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) EXPECT_EQ(t.WaitForData(1000), WaitResult::HangUp);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    uint8_t b[4] = {};
    size_t n = 0;
    size_t waiting = 0;
    EXPECT_EQ(t.BytesWaiting(&waiting), EIO);
    EXPECT_EQ(t.Read(b, sizeof b, &n), EIO);
    EXPECT_EQ(t.Write(b, 1), EIO);
    EXPECT_EQ(t.LastError(), EIO);
    EXPECT_TRUE(t.Written().empty());
}

TEST(FakeTransport, AHangUpEndsAPendingWait) {
    FakeTransport t;
    auto waiting = std::async(std::launch::async, [&] { return t.WaitForData(10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    t.HangUp();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), WaitResult::HangUp);
}

TEST(FakeTransport, CallsFailOnRequest) {
    FakeTransport t;
    t.Feed({1, 2});
    uint8_t b[4] = {};
    size_t n = 0;
    t.FailOn(FakeTransport::kRead, 5);
    EXPECT_EQ(t.Read(b, sizeof b, &n), 5);
    EXPECT_EQ(n, 0u);
    t.FailOn(FakeTransport::kRead, 0);
    t.FailOn(FakeTransport::kBytesWaiting, 6);
    EXPECT_EQ(t.BytesWaiting(&n), 6);
    t.FailOn(FakeTransport::kBytesWaiting, 0);
    t.FailWrites(7);
    EXPECT_EQ(t.Write(b, 1), 7);
    t.FailWrites(0);
    t.FailOn(FakeTransport::kPurge, 8);
    EXPECT_EQ(t.Purge(), 8);
    t.FailOn(FakeTransport::kPurge, 0);
    ASSERT_EQ(t.Read(b, sizeof b, &n), 0);
    EXPECT_EQ(n, 2u) << "the failures took nothing";
    t.FailOn(FakeTransport::kWait, 9);
    EXPECT_EQ(t.WaitForData(10), WaitResult::Error);
    t.FailOn(FakeTransport::kWait, 0);
    EXPECT_EQ(t.WaitForData(10), WaitResult::Error) << "an error leaves it dead";
    EXPECT_EQ(t.LastError(), 9);
}

TEST(FakeTransport, WakeWritesAndPurge) {
    FakeTransport t;
    t.Wake();
    t.Wake();
    EXPECT_EQ(t.WaitForData(1000), WaitResult::Wake);
    EXPECT_EQ(t.WaitForData(10), WaitResult::Timeout) << "several wakes are one";
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const uint8_t ack[] = {0xFD, 0x05, 0xFB};
        t.Write(ack, 3);
    });
    EXPECT_TRUE(t.WaitForWritten(3, 5000));
    writer.join();
    EXPECT_EQ(t.Written(), (std::vector<uint8_t>{0xFD, 0x05, 0xFB}));
    t.Feed({1, 2});
    t.Pause(10);
    t.Feed({3});
    ASSERT_EQ(t.Purge(), 0);
    EXPECT_EQ(t.purges(), 1);
    EXPECT_EQ(t.Pending(), 1u) << "what has arrived is dropped, what is still to come is not";
    EXPECT_EQ(t.WaitForData(1000), WaitResult::Data);
}
