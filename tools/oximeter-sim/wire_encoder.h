// The device side of the wire: framing and escaping of the framed protocols, the
// pacing of bytes at the line rate, and the count of the host's answers. Qt-free and
// free of I/O, so tests can use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

// One frame: FF seq type len payload... checksum FB. Payload values 0xFB..0xFF go out
// as FE and the value less 0x80; the header bytes are data bytes by construction.
std::vector<uint8_t> EncodeFrame(uint8_t sequence, uint8_t type,
                                 const std::vector<uint8_t>& payload);

// Line rate of a protocol in bytes per second: 8N2 (11 bits a byte) for protocols 1
// and 3, 8N1 (10 bits) for protocol 2.
double LineBytesPerSecond(int protocol);

// How many bytes a line of the given rate has sent by a point in time. Times are
// seconds on any monotonic clock.
class LinePacer {
public:
    explicit LinePacer(double bytes_per_second) : byte_time_(1.0 / bytes_per_second) {}
    // Bytes that may go out at `now` of `queued` waiting; counts them as sent.
    size_t Take(double now, size_t queued);
    // When the next of `queued` bytes is due (now if the line is idle).
    double NextDue(double now, size_t queued) const;

private:
    double byte_time_;
    double free_at_ = -1;  // when the line has finished the bytes taken so far
    bool idle_ = true;     // nothing was left waiting after the last Take
};

// Counts the host's acknowledgements FD seq FB and rejections FC seq FB in a byte
// stream that may arrive in pieces.
class AnswerCounter {
public:
    void Feed(const uint8_t* data, size_t size);
    long acks() const { return acks_; }
    long rejections() const { return rejections_; }

private:
    long acks_ = 0, rejections_ = 0;
    int state_ = 0;
    uint8_t kind_ = 0;
};

}  // namespace sim
