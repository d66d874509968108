// Answer latency of a serial link: from the last byte of a frame reaching the port
// (written to a pseudo-terminal at the line rate, in the pieces a UART driver hands
// on: about a millisecond's worth) to its acknowledgement leaving the program.
// Arg 0: 0 the program's link answers; 1 the floor of this machine at that moment: a
// thread that waits for the bytes and answers each frame as soon as a bare decoder
// has it, through the same terminal and the same measuring threads (run right after
// the program's run of the same case, so that the two tails can be compared: the
// difference is the program's). Arg 1, the case: 0 steady frames of one length every
// 20 ms; 1 a short frame after a 262-byte one, alternately; 2 frames back to back
// without a pause; 3 line garbage (no mark) between frames. Arg 2: protocol 1 (57600
// Bd) or 2 (115200 Bd). Reported: p50, p90, p99 and max of the latency over
// VELT_ANSWER_FRAMES frames (150 by default).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "link/frame_decoder.h"
#include "link/oximeter.h"
#include "tests/link/fake_view.h"
#include "tests/link/pty.h"
#include "tests/link/wire.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> FrameFor(int kase, int i) {
    const uint8_t sequence = static_cast<uint8_t>(i & 0x7F);
    if (kase == 1 && i % 2 == 0)  // 128 payload bytes, every one escaped: 262 on the line
        return wire::Frame(sequence, 36, std::vector<uint8_t>(128, 0xFF));
    if (kase == 1) return wire::Frame(sequence, 36, wire::Payload(10));
    return wire::Frame(sequence, 36, wire::Payload(86));
}

void BM_AnswerLatency(benchmark::State& state) {
    const bool floor = state.range(0) != 0;
    const int kase = static_cast<int>(state.range(1));
    const int protocol = static_cast<int>(state.range(2));
    const char* env = std::getenv("VELT_ANSWER_FRAMES");
    const int frames = env != nullptr ? std::max(10, std::atoi(env)) : 150;
    const long baud = protocol == 1 ? 57600 : 115200;
    const long bits = protocol == 1 ? 11 : 10;
    const auto byte_time = std::chrono::nanoseconds(1000000000LL * bits / baud);
    const size_t piece = static_cast<size_t>(baud / bits / 1000) + 1;  // ~1 ms of bytes

    std::vector<double> latencies;
    for (auto _ : state) {
        PtyDevice pty;
        DeviceMap map;
        map.Map("com1", pty.slave_path());
        FakeView view;
        std::atomic<bool> done{false};
        COximeter link(floor ? nullptr : "COM1", protocol, false, nullptr);
        if (!floor && link.Status() != 0) {
            state.SkipWithError("cannot open the pseudo-terminal");
            return;
        }
        link.AttachView(&view);
        std::thread echo;
        if (floor) {
            const int fd = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
            if (fd < 0) {
                state.SkipWithError("cannot open the pseudo-terminal");
                return;
            }
            termios raw{};
            ::tcgetattr(fd, &raw);
            ::cfmakeraw(&raw);
            ::tcsetattr(fd, TCSANOW, &raw);
            echo = std::thread([fd, &done] {
                // The link's decoder, answering from the thread that waits for the bytes.
                struct Answerer {
                    int fd;
                    bool Acknowledge(const uint8_t* ack, int size) {
                        return ::write(fd, ack, static_cast<size_t>(size)) == size;
                    }
                    void Frame(bool) {}
                    void Log(const char*) {}
                } answerer{fd};
                FrameDecoder decoder;
                while (!done) {
                    pollfd p{fd, POLLIN, 0};
                    if (::poll(&p, 1, 20) <= 0) continue;
                    uint8_t buf[256];
                    const ssize_t n = ::read(fd, buf, sizeof buf);
                    if (n > 0) decoder.Feed(buf, static_cast<size_t>(n), answerer);
                }
                ::close(fd);
            });
        }
        std::vector<Clock::time_point> last_byte(static_cast<size_t>(frames));
        std::vector<Clock::time_point> answered(static_cast<size_t>(frames));
        std::atomic<int> written{0}, acks{0};
        std::thread reader([&] {
            int state_in_ack = 0;
            while (!done) {
                pollfd p{pty.fd(), POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) {
                    link.ProcessPackets();
                    continue;
                }
                uint8_t buf[256];
                const ssize_t n = ::read(pty.fd(), buf, sizeof buf);
                const Clock::time_point now = Clock::now();
                for (ssize_t k = 0; k < n; ++k) {
                    // FD/FC sequence FB: the answer is out with its last byte.
                    if (++state_in_ack == 3) {
                        state_in_ack = 0;
                        const int a = acks.fetch_add(1);
                        if (a < frames) answered[static_cast<size_t>(a)] = now;
                    }
                }
                link.ProcessPackets();
            }
        });
        auto next = Clock::now();
        for (int i = 0; i < frames; ++i) {
            std::vector<uint8_t> bytes = FrameFor(kase, i);
            if (kase == 3) {
                std::vector<uint8_t> garbage(24);
                for (size_t g = 0; g < garbage.size(); ++g)
                    garbage[g] = static_cast<uint8_t>(0x10 + (i * 31 + g * 7) % 0x60);
                bytes.insert(bytes.begin(), garbage.begin(), garbage.end());
            }
            for (size_t at = 0; at < bytes.size(); at += piece) {
                const size_t n = std::min(piece, bytes.size() - at);
                next += byte_time * n;
                std::this_thread::sleep_until(next);
                pty.Write(std::vector<uint8_t>(bytes.begin() + static_cast<long>(at),
                                               bytes.begin() + static_cast<long>(at + n)));
            }
            last_byte[static_cast<size_t>(i)] = Clock::now();
            written.store(i + 1);
            if (kase != 2) next += std::chrono::milliseconds(20);
            if (Clock::now() > next) next = Clock::now();
        }
        const auto end = Clock::now() + std::chrono::seconds(2);
        while (acks.load() < frames && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        done = true;
        reader.join();
        if (echo.joinable()) echo.join();
        link.ClosePort();
        const int got = std::min(acks.load(), frames);
        if (got < frames) {
            state.SkipWithError("some frames were not answered");
            return;
        }
        for (int i = 0; i < got; ++i)
            latencies.push_back(
                std::chrono::duration<double, std::micro>(answered[static_cast<size_t>(i)] -
                                                          last_byte[static_cast<size_t>(i)])
                    .count());
    }
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) return;
    state.counters["p50_us"] = latencies[latencies.size() / 2];
    state.counters["p90_us"] = latencies[latencies.size() * 9 / 10];
    state.counters["p99_us"] =
        latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    state.counters["max_us"] = latencies.back();
}

BENCHMARK(BM_AnswerLatency)
    ->ArgNames({"floor", "case", "protocol"})
    ->ArgsProduct({{0, 1}, {0, 1, 2, 3}, {1, 2}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
