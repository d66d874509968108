// Hand-off latency at 50 frames/s, from the last byte of a frame written to a
// pseudo-terminal to the record being available to the consumer (queued and the
// message posted: "queued_*"), and to the consumer thread holding it ("consumer_*",
// which adds the wake-up of a normal-priority thread). The run lasts
// VELT_HANDOFF_SECONDS (default 3) seconds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/oximeter.h"
#include "tests/link/fake_view.h"
#include "tests/link/pty.h"
#include "tests/link/wire.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timing {
    std::vector<Clock::time_point> written;
    std::vector<double> latency_us;
    std::vector<double> queued_us;  // receive thread only
};

void Report(benchmark::State& state, const char* prefix, std::vector<double> l) {
    std::sort(l.begin(), l.end());
    if (l.empty()) return;
    std::string p(prefix);
    state.counters[p + "p50_us"] = l[l.size() / 2];
    state.counters[p + "p99_us"] = l[std::min(l.size() - 1, l.size() * 99 / 100)];
    state.counters[p + "max_us"] = l.back();
}

void BM_HandoffLatency(benchmark::State& state) {
    const char* env = std::getenv("VELT_HANDOFF_SECONDS");
    const int seconds = env != nullptr ? std::max(1, std::atoi(env)) : 3;
    const int frames = seconds * 50;
    for (auto _ : state) {
        PtyDevice pty;
        DeviceMap map;
        map.Map("com1", pty.slave_path());
        FakeView view;
        COximeter link("COM1", 2, false, nullptr);
        if (link.Status() != 0) {
            state.SkipWithError("cannot open the pseudo-terminal");
            return;
        }
        link.AttachView(&view);

        Timing timing;
        timing.written.resize(static_cast<size_t>(frames));
        std::mutex mutex;
        std::condition_variable cv;
        bool posted = false;
        size_t posts = 0;  // one post per queued record; none are dropped here
        view.OnPost([&] {
            auto now = Clock::now();
            if (posts < timing.written.size())
                timing.queued_us.push_back(
                    std::chrono::duration<double, std::micro>(now - timing.written[posts]).count());
            ++posts;
            std::lock_guard<std::mutex> lock(mutex);
            posted = true;
            cv.notify_one();
        });
        link.SetRecordObserver(
            [](void* ctx, const PacketRecord& r) {
                auto now = Clock::now();
                auto* t = static_cast<Timing*>(ctx);
                uint32_t n = 0;
                std::memcpy(&n, r.payload, sizeof n);
                if (n < t->written.size())
                    t->latency_us.push_back(
                        std::chrono::duration<double, std::micro>(now - t->written[n]).count());
            },
            &timing);
        std::atomic<bool> done{false};
        std::thread consumer([&] {
            while (!done) {
                std::unique_lock<std::mutex> lock(mutex);
                cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return posted; });
                posted = false;
                lock.unlock();
                link.ProcessPackets();
            }
        });
        auto next = Clock::now();
        for (int i = 0; i < frames; ++i) {
            std::vector<uint8_t> payload = wire::Payload(86);
            uint32_t n = static_cast<uint32_t>(i);
            std::memcpy(payload.data(), &n, sizeof n);
            std::vector<uint8_t> f = wire::Frame(static_cast<uint8_t>(i & 0x7F), 36, payload);
            // The stamp is taken before the write so that it also covers the last byte.
            timing.written[static_cast<size_t>(i)] = Clock::now();
            pty.Write(f);
            pty.Read(3, 10);  // take the acknowledgement off the wire
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        done = true;
        consumer.join();
        link.ClosePort();

        if (timing.latency_us.empty()) {
            state.SkipWithError("no records arrived");
            return;
        }
        state.counters["frames"] = static_cast<double>(timing.latency_us.size());
        Report(state, "queued_", timing.queued_us);
        Report(state, "consumer_", timing.latency_us);
    }
}
BENCHMARK(BM_HandoffLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
