// The frame decoder's handler for a link, the one used by the receive thread, the
// headless tools and the tests: each good frame (or repeat) goes to the link's queue,
// each log text to the debugger output, and each acknowledgement to a writer chosen
// by the caller (the transport, a file, a buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

#include "link/frame_decoder.h"

class COximeter;

class LinkFrameHandler {
public:
    // Sends one acknowledgement; returns 0, or the failure's status.
    using AckWriter = std::function<int(const uint8_t* data, size_t size)>;

    LinkFrameHandler(COximeter& link, AckWriter write) : link_(link), write_(std::move(write)) {}

    // False when the write failed: the decoder stops and Error() tells why.
    bool Acknowledge(const uint8_t* ack, int size);
    void Frame(bool repeat);
    void Log(const char* text);
    // Into the link's statistics.
    void Count(FrameDecoder::Event e);

    int Error() const { return error_; }

private:
    COximeter& link_;
    AckWriter write_;
    int error_ = 0;
};
