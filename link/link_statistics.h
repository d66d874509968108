// What a link counts from its opening, so that nothing it loses goes unseen: bytes
// received, good frames (protocol 3: records), rejected checksums, incomplete
// frames, frames too long (or empty) for the buffer, records dropped at the queue
// bound, line-error words and reconnects. The receive thread adds, any thread reads:
// relaxed atomics, no lock, nothing allocated. Qt-free.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct LinkCounts {
    uint64_t bytes = 0;
    uint64_t frames = 0;
    uint64_t bad_checksums = 0;
    uint64_t incomplete = 0;
    uint64_t oversize = 0;
    uint64_t dropped = 0;
    uint64_t line_errors = 0;
    uint64_t reconnects = 0;

    // Frames that never reached the interpretation as sent: cut, too long, dropped.
    uint64_t Lost() const { return incomplete + oversize + dropped; }
};

class LinkStatistics {
public:
    enum Counter {
        kBytes,
        kFrames,
        kBadChecksums,
        kIncomplete,
        kOversize,
        kDropped,
        kLineErrors,
        kReconnects,
        kCounterCount
    };

    void Add(Counter c, uint64_t n = 1) { v_[c].fetch_add(n, std::memory_order_relaxed); }
    uint64_t Get(Counter c) const { return v_[c].load(std::memory_order_relaxed); }
    LinkCounts Read() const;
    // Only while no receive thread counts (the link is closed).
    void Reset();

private:
    std::atomic<uint64_t> v_[kCounterCount] = {};
};

// "Link statistics <port>: bytes 171234, frames 3036, bad checksums 0, incomplete 0,
// oversize 0, dropped 0, line errors 0, reconnects 0" (no newline). Returns the length
// snprintf gives.
int FormatLinkStatistics(char* out, size_t size, const char* port, const LinkCounts& c);
// The status-bar text: "3036 frames, 0 bad, 0 lost".
int FormatLinkCountsPane(char* out, size_t size, const LinkCounts& c);
