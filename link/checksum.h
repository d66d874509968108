// The 7-bit checksum of a frame of the framed protocols.
#pragma once

#include <cstddef>
#include <cstdint>

// sum: the 16-bit sum of the sequence number (7 bits), the type (7 bits), the length
// byte and every unescaped payload byte. Bits 0-6 of the sum, XOR bits 7-13, XOR bit 14
// into bit 0, XOR bit 15 into bits 1-6.
inline uint8_t FrameChecksum(uint16_t sum) {
    uint16_t t = static_cast<uint16_t>(static_cast<int16_t>(sum) >> 14);
    return static_cast<uint8_t>((sum ^ (sum >> 7) ^ t) & 0x7F);
}

// The sum a sender forms over one frame's fields (sequence and type are cut to 7 bits).
inline uint16_t FrameSum(uint8_t sequence, uint8_t type, uint8_t length, const uint8_t* payload) {
    uint16_t sum = static_cast<uint16_t>((sequence & 0x7F) + (type & 0x7F) + length);
    for (size_t i = 0; i < length; ++i) sum = static_cast<uint16_t>(sum + payload[i]);
    return sum;
}
