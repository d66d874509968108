// Helpers shared by the link tests: feeding wire bytes into a link the way its
// framed receive thread does, and counting debugger lines.
#pragma once

#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "link/frame_handler.h"
#include "link/oximeter.h"
#include "platform/debug_output.h"
#include "tests/link/wire.h"

// The framed thread's handler without a transport: acknowledgements are collected.
struct LinkFeeder {
    COximeter& link;
    std::vector<uint8_t> acks;
    LinkFrameHandler handler{link, [this](const uint8_t* ack, size_t size) {
                                 acks.insert(acks.end(), ack, ack + size);
                                 return 0;
                             }};
    LinkFeeder(COximeter& l, std::vector<uint8_t> a) : link(l), acks(std::move(a)) {}
    LinkFeeder(const LinkFeeder&) = delete;
    LinkFeeder& operator=(const LinkFeeder&) = delete;
    void Feed(const std::vector<uint8_t>& bytes) {
        link.Decoder().Feed(bytes.data(), bytes.size(), handler);
    }
};

// Frames whose payload starts with a 32-bit counter, so order can be checked.
inline std::vector<uint8_t> CountedFrame(uint32_t n, size_t length = 8) {
    std::vector<uint8_t> payload = wire::Payload(length);
    std::memcpy(payload.data(), &n, sizeof n);
    return wire::Frame(static_cast<uint8_t>(n & 0x7F), 36, payload);
}

inline uint32_t CounterOf(const PacketRecord& record) {
    uint32_t n = 0;
    if (record.length >= sizeof n) std::memcpy(&n, record.payload, sizeof n);
    return n;
}

// Counts the lines equal to one text while installed (cheap enough for millions).
class LineCounter {
public:
    explicit LineCounter(std::string line) : line_(std::move(line)) {
        platform::SetDebugSink([this](std::string_view text) {
            if (text == line_) count_.fetch_add(1, std::memory_order_relaxed);
        });
    }
    ~LineCounter() { platform::SetDebugSink({}); }
    long count() const { return count_.load(); }

private:
    std::string line_;
    std::atomic<long> count_{0};
};
