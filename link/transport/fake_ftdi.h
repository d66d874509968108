// A scripted FTDI converter behind the libftdi function table, for tests and
// benchmarks of the libftdi backend. Without a script it behaves as the chip does:
// bytes given to its line wait in the chip and go to the host in a transfer of
// packets (two status bytes each) when the event character arrives, when a packet is
// full, or when the latency timer runs out (then possibly as status bytes alone). A
// script replaces the next transfers by given results: packets, time-outs after part
// of a transfer, a vanished device. One instance at a time (the table has no
// context of its own).
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "link/transport/ftdi_d2xx.h"

namespace d2xx {

class FakeFtdiChip {
public:
    static constexpr int kPacketSize = 64;  // a full-speed converter

    FakeFtdiChip();
    ~FakeFtdiChip();
    FakeFtdiChip(const FakeFtdiChip&) = delete;
    FakeFtdiChip& operator=(const FakeFtdiChip&) = delete;

    // The table that drives this chip.
    static const FtdiFunctions& Functions();

    void AddDevice(const std::string& description, const std::string& serial);
    // Bytes arriving on the serial line.
    void Line(const uint8_t* data, size_t size);
    void Line(const std::vector<uint8_t>& bytes) { Line(bytes.data(), bytes.size()); }
    // When the bytes of the latest Line call reached the chip.
    std::chrono::steady_clock::time_point LastLineTime() const;
    // The next read transfer gives these raw bytes and this result instead.
    void ScriptRead(const std::vector<uint8_t>& raw, int result);
    // Every transfer from now on fails as for an unplugged converter.
    void Vanish();
    // Writes and control transfers hang until their time-out, then fail.
    void Wedge();
    void RefuseThreads(bool refuse);

    std::vector<uint8_t> Written() const;
    int OpenCount() const;
    int ReadTransfers() const;
    // Read transfers that had begun when the latest write began.
    int ReadTransfersAtLastWrite() const;
    int WriteTimeoutMs() const;
    int LatencyMs() const;
    bool EventCharOn() const;

private:
    struct Scripted {
        std::vector<uint8_t> raw;
        int result;
    };
    static FakeFtdiChip* current_;
    friend struct FakeFtdiAccess;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::pair<std::string, std::string>> devices_;
    std::deque<uint8_t> chip_;  // received on the line, not yet sent to the host
    std::deque<Scripted> script_;
    std::chrono::steady_clock::time_point last_packet_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point last_line_;
    std::vector<uint8_t> written_;
    bool vanished_ = false;
    bool wedged_ = false;
    bool refuse_threads_ = false;
    int open_ = 0;
    int reads_ = 0;
    int reads_at_write_ = -1;
    int write_timeout_ms_ = 0;
    int latency_ms_ = 16;  // the chip's own default
    uint8_t event_char_ = 0;
    bool event_on_ = false;
};

}  // namespace d2xx
