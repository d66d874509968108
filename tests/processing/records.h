// Builders for framed-protocol records as the device sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "link/packet_record.h"

namespace processing_test {

struct RecordDeleter {
    void operator()(PacketRecord* r) const { PacketRecord::Free(r); }
};
using RecordPtr = std::unique_ptr<PacketRecord, RecordDeleter>;

// Payload bytes of the common block with plausible defaults.
class Payload {
public:
    explicit Payload(size_t length = 34) : bytes(length, 0) {
        Put16(2, 20000);                            // sIR: level 12760
        Put16(8, 21000);                            // sRed
        Put16(14, 22000);                           // sOra
        Put8(28, 155).Put8(29, 155).Put8(30, 155);  // LED settings 100
        Put8(31, 155);                              // gain
    }
    Payload& Put16(size_t offset, int value) {
        if (offset + 1 < bytes.size()) {
            bytes[offset] = static_cast<uint8_t>(value & 0xFF);
            bytes[offset + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
        }
        return *this;
    }
    Payload& Put8(size_t offset, int value) {
        if (offset < bytes.size()) bytes[offset] = static_cast<uint8_t>(value);
        return *this;
    }
    RecordPtr Make(uint8_t type) const {
        return RecordPtr(
            PacketRecord::Create(type, 1, static_cast<uint8_t>(bytes.size()), bytes.data()));
    }
    std::vector<uint8_t> bytes;
};

// Offsets of the common block.
enum : size_t {
    kSIR = 2,
    kSIR2 = 4,
    kCurIR = 6,
    kSRed = 8,
    kSRed2 = 10,
    kCurRed = 12,
    kSOra = 14,
    kSOra2 = 16,
    kCurOra = 18,
    kRSens = 20,
    kAmbient = 22,
    kGener = 24,
    kTemp = 26,
    kLedIR = 28,
    kLedRed = 29,
    kLedOra = 30,
    kGain = 31,
    kEvents = 32
};

}  // namespace processing_test
