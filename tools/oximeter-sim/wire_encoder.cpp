#include "tools/oximeter-sim/wire_encoder.h"

#include <algorithm>
#include <cmath>

#include "link/checksum.h"

namespace sim {

std::vector<uint8_t> EncodeFrame(uint8_t sequence, uint8_t type,
                                 const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    out.reserve(payload.size() * 2 + 6);
    uint8_t length = static_cast<uint8_t>(payload.size());
    out.push_back(0xFF);
    out.push_back(sequence & 0x7F);
    out.push_back(type & 0x7F);
    out.push_back(length);
    for (uint8_t b : payload) {
        if (b >= 0xFB) {
            out.push_back(0xFE);
            out.push_back(static_cast<uint8_t>(b & 0x7F));
        } else {
            out.push_back(b);
        }
    }
    out.push_back(FrameChecksum(FrameSum(sequence, type, length, payload.data())));
    out.push_back(0xFB);
    return out;
}

double LineBytesPerSecond(int protocol) {
    switch (protocol) {
        case 2:
            return 115200.0 / 10;
        case 3:
            return 9600.0 / 11;
        default:
            return 57600.0 / 11;
    }
}

size_t LinePacer::Take(double now, size_t queued) {
    if (queued == 0) {
        idle_ = true;
        return 0;
    }
    // A line that ran dry starts again with its first byte now; a busy one keeps its
    // own clock, however late the caller comes.
    if (idle_ || free_at_ < 0) free_at_ = std::max(free_at_, now - byte_time_);
    idle_ = false;
    double ready = (now - free_at_) / byte_time_ + 1e-9;
    size_t n = ready >= 1 ? std::min(queued, static_cast<size_t>(std::floor(ready))) : 0;
    free_at_ += static_cast<double>(n) * byte_time_;
    if (n == queued) idle_ = true;
    return n;
}

double LinePacer::NextDue(double now, size_t queued) const {
    if (queued == 0) return now;
    return std::max(now, free_at_ + byte_time_);
}

void AnswerCounter::Feed(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        uint8_t b = data[i];
        if (b == 0xFD || b == 0xFC) {
            kind_ = b;
            state_ = 1;
        } else if (state_ == 1 && b < 0x80) {
            state_ = 2;
        } else if (state_ == 2 && b == 0xFB) {
            (kind_ == 0xFD ? acks_ : rejections_)++;
            state_ = 0;
        } else {
            state_ = 0;
        }
    }
}

}  // namespace sim
