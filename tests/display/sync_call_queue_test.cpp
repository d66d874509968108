#include "display/sync_call_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Waits (briefly sleeping) until pred() holds, at most 10 s; returns pred().
template <class P>
bool WaitFor(P pred) {
    for (int i = 0; i < 10000 && !pred(); ++i) std::this_thread::sleep_for(1ms);
    return pred();
}

TEST(SyncCallQueue, CallFromOwnerRunsAtOnceWithoutWaking) {
    SyncCallQueue queue;
    int wakes = 0;
    queue.SetWake([&] { ++wakes; });
    int ran = 0;
    EXPECT_TRUE(queue.Call([&] { ++ran; }));
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(wakes, 0);
    EXPECT_EQ(queue.PendingCount(), 0u);
}

TEST(SyncCallQueue, WorkerWaitsUntilOwnerRunsItsCallInTheOwnerThread) {
    SyncCallQueue queue;
    std::atomic<int> wakes{0};
    queue.SetWake([&] { ++wakes; });
    std::atomic<bool> returned{false};
    std::thread::id ran_in;
    std::thread worker([&] {
        EXPECT_TRUE(queue.Call([&] { ran_in = std::this_thread::get_id(); }));
        returned = true;
    });
    ASSERT_TRUE(WaitFor([&] { return queue.PendingCount() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned);  // still waiting: nobody ran it yet
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(queue.RunPending(), 1);
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(ran_in, std::this_thread::get_id());
}

TEST(SyncCallQueue, OneWakeServesEveryCallQueuedBeforeTheOwnerRuns) {
    SyncCallQueue queue;
    std::atomic<int> wakes{0};
    queue.SetWake([&] { ++wakes; });
    std::atomic<int> ran{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) workers.emplace_back([&] { queue.Call([&] { ++ran; }); });
    ASSERT_TRUE(WaitFor([&] { return queue.PendingCount() == 3; }));
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(queue.RunPending(), 3);
    for (auto& w : workers) w.join();
    EXPECT_EQ(ran, 3);
    // Served: the next call wakes again.
    std::thread again([&] { queue.Call([&] { ++ran; }); });
    ASSERT_TRUE(WaitFor([&] { return queue.PendingCount() == 1; }));
    EXPECT_EQ(wakes, 2);
    queue.RunPending();
    again.join();
    EXPECT_EQ(queue.RunPending(), 0);
}

// The owner sits in a wait loop (as a port close waits for its receive thread) and
// runs pending calls while two workers write 5,000 times each.
TEST(SyncCallQueue, WaitLoopServesTwoWritersWholeAndInOrder) {
    SyncCallQueue queue;
    queue.SetWake([] {});  // the loop below polls instead of being woken
    struct Write {
        int writer;
        int sequence;
    };
    std::vector<Write> received;  // owner thread only
    std::atomic<int> finished{0};
    auto writer = [&](int id) {
        for (int i = 0; i < 5000; ++i) {
            const bool ok = queue.Call([&] {
                EXPECT_TRUE(queue.IsOwnerThread());
                received.push_back({id, i});
            });
            EXPECT_TRUE(ok);
        }
        ++finished;
    };
    std::thread a(writer, 0), b(writer, 1);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (finished < 2 && std::chrono::steady_clock::now() < deadline) {
        queue.RunPending();
        std::this_thread::yield();
    }
    a.join();
    b.join();
    ASSERT_EQ(received.size(), 10000u);
    int next[2] = {0, 0};
    for (const Write& w : received) {
        ASSERT_EQ(w.sequence, next[w.writer]) << "writer " << w.writer;
        ++next[w.writer];
    }
}

TEST(SyncCallQueue, CallsArrivingWhileRunningAreServedInTheSameRun) {
    SyncCallQueue queue;
    std::atomic<bool> second_started{false};
    std::thread second;
    int order = 0, first_at = -1, second_at = -1;
    std::thread first([&] {
        queue.Call([&] {
            first_at = order++;
            // A second worker queues while the owner is inside this call.
            second = std::thread([&] {
                second_started = true;
                queue.Call([&] { second_at = order++; });
            });
            WaitFor([&] { return queue.PendingCount() == 1; });
        });
    });
    ASSERT_TRUE(WaitFor([&] { return queue.PendingCount() == 1; }));
    EXPECT_EQ(queue.RunPending(), 2);
    first.join();
    second.join();
    EXPECT_EQ(first_at, 0);
    EXPECT_EQ(second_at, 1);
}

TEST(SyncCallQueue, ShutdownAbandonsWaitersAndRefusesLaterCalls) {
    auto queue = std::make_unique<SyncCallQueue>();
    bool ran = false;
    std::atomic<int> results{-1};
    std::thread worker([&] { results = queue->Call([&] { ran = true; }) ? 1 : 0; });
    ASSERT_TRUE(WaitFor([&] { return queue->PendingCount() == 1; }));
    queue->Shutdown();
    EXPECT_FALSE(queue->Call([&] { ran = true; }));
    std::atomic<bool> refused{false};
    std::thread late([&] { refused = !queue->Call([&] { ran = true; }); });
    late.join();
    EXPECT_TRUE(refused);
    // Shutdown returned only after the worker let go, so the queue may go at once.
    queue.reset();
    worker.join();
    EXPECT_EQ(results, 0);
    EXPECT_FALSE(ran);
}

TEST(SyncCallQueue, RunPendingFromAnotherThreadRunsNothing) {
    SyncCallQueue queue;
    std::thread caller([&] {
        EXPECT_FALSE(queue.IsOwnerThread());
        EXPECT_EQ(queue.RunPending(), 0);
    });
    caller.join();
    EXPECT_TRUE(queue.IsOwnerThread());
}

}  // namespace
