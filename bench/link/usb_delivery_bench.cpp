// Frame delivery through the libftdi backend, over the scripted converter that
// behaves as the chip does (5 ms latency timer, event character 0xFB): the time from
// the last byte of a frame reaching the converter's line to the frame leaving the
// decoder (queued and its message posted by the receive thread). Arg 0: an idle line
// between frames; arg 1: a line busy without a pause at 57.6 kBd; arg 2: an idle line
// and frames of 62 bytes that reach the chip at once, so each exactly fills one
// full-speed packet (a transfer that ends only on a short packet waits after it).
// Each iteration is one measured frame; the time reported is that latency (manual time).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/oximeter.h"
#include "link/transport/fake_ftdi.h"
#include "link/transport/ftdi_d2xx.h"
#include "tests/link/fake_view.h"
#include "tests/link/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kProbeType = 99;
const auto kByteTime = std::chrono::nanoseconds(1000000000LL * 11 / 57600);
constexpr size_t kBytesPerStep = 5;

void BM_UsbFrameDelivery(benchmark::State& state) {
    const bool busy = state.range(0) == 1;
    const bool fill = state.range(0) == 2;
    d2xx::FakeFtdiChip chip;
    chip.AddDevice("VELT Oximeter", "B1");
    d2xx::FtdiD2xx lib(d2xx::FakeFtdiChip::Functions());
    d2xx::SetD2xxLibraryForTesting(&lib);
    std::vector<double> latencies;
    {
        FakeView view;
        COximeter link("VELT Oximeter#B1", 1, false, nullptr);
        if (link.Status() != 0) {
            state.SkipWithError("the link did not open");
            d2xx::SetD2xxLibraryForTesting(nullptr);
            return;
        }
        std::atomic<int64_t> sent_ns{0}, delivered_ns{0};
        view.OnPost([&] {
            // The receive thread, right after queuing: its decoder holds that frame.
            if (link.Decoder().type() == kProbeType)
                delivered_ns.store(Clock::now().time_since_epoch().count());
        });
        link.AttachView(&view);

        std::atomic<bool> want_probe{false}, done{false};
        std::thread line([&] {
            uint8_t sequence = 0;
            auto next = Clock::now();
            while (!done) {
                const bool probe = want_probe.exchange(false);
                if (!probe && !busy) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    next = Clock::now();
                    continue;
                }
                std::vector<uint8_t> payload = wire::Payload(40);
                if (fill) {
                    payload.resize(56);  // 62 bytes on the line, no escapes
                    for (size_t i = 0; i < payload.size(); ++i)
                        payload[i] = static_cast<uint8_t>(i & 0x7F);
                }
                const std::vector<uint8_t> frame =
                    wire::Frame(sequence++ & 0x7F, probe ? kProbeType : 36, payload);
                // At the line rate, a few bytes at a time: the pacing thread itself
                // must not crowd out the threads measured on a small machine.
                const size_t step = fill ? frame.size() : kBytesPerStep;
                for (size_t i = 0; i < frame.size(); i += step) {
                    const size_t n = std::min(step, frame.size() - i);
                    next += kByteTime * n;
                    std::this_thread::sleep_until(next);
                    chip.Line(&frame[i], n);
                    if (probe && i + n == frame.size())
                        sent_ns.store(chip.LastLineTime().time_since_epoch().count());
                }
            }
        });
        for (auto _ : state) {
            delivered_ns.store(0);
            sent_ns.store(0);
            want_probe.store(true);
            auto end = Clock::now() + std::chrono::seconds(2);
            while ((delivered_ns.load() == 0 || sent_ns.load() == 0) && Clock::now() < end) {
                link.ProcessPackets();  // the GUI thread's part: keep the queue short
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const int64_t d = delivered_ns.load(), s = sent_ns.load();
            if (d == 0 || s == 0) {
                state.SkipWithError("a frame was not delivered");
                break;
            }
            const double seconds = static_cast<double>(d - s) * 1e-9;
            state.SetIterationTime(seconds);
            latencies.push_back(seconds * 1e6);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        done = true;
        line.join();
        link.ClosePort();
    }
    d2xx::SetD2xxLibraryForTesting(nullptr);
    if (latencies.empty()) return;
    std::sort(latencies.begin(), latencies.end());
    state.counters["p50_us"] = latencies[latencies.size() / 2];
    state.counters["p99_us"] =
        latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    state.counters["max_us"] = latencies.back();
}

BENCHMARK(BM_UsbFrameDelivery)
    ->ArgName("busy")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->UseManualTime()
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
