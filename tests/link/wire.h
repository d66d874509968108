// Device-side encoding of the framed protocols for tests and benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "link/checksum.h"

namespace wire {

inline void PutEscaped(std::vector<uint8_t>& out, uint8_t b) {
    if (b >= 0xFB) {
        out.push_back(0xFE);
        out.push_back(static_cast<uint8_t>(b - 0x80));
    } else {
        out.push_back(b);
    }
}

// FF seq type length payload checksum FB; checksum < 0 means the correct one.
inline std::vector<uint8_t> Frame(uint8_t sequence, uint8_t type,
                                  const std::vector<uint8_t>& payload, int checksum = -1,
                                  bool end = true) {
    std::vector<uint8_t> out{0xFF, sequence, type, static_cast<uint8_t>(payload.size())};
    for (uint8_t b : payload) PutEscaped(out, b);
    uint8_t sum = FrameChecksum(
        FrameSum(sequence, type, static_cast<uint8_t>(payload.size()), payload.data()));
    out.push_back(checksum < 0 ? sum : static_cast<uint8_t>(checksum));
    if (end) out.push_back(0xFB);
    return out;
}

inline std::vector<uint8_t> Payload(size_t n, uint8_t first = 0) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(first + i * 7);
    return p;
}

inline void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& more) {
    out.insert(out.end(), more.begin(), more.end());
}

}  // namespace wire
