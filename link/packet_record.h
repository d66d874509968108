// One decoded frame on its way from the receive thread to the GUI thread.
// Allocated per packet by the producer, freed by the consumer.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

struct PacketRecord {
    // A record whose type has this bit is no frame but a happening of the link (lost,
    // reconnected, no data) in its place among the frames; frame types use 7 bits.
    static constexpr uint8_t kEventBit = 0x80;

    PacketRecord* next;
    uint32_t tick;       // the millisecond tick when its bytes were read (0 until set)
    uint8_t type;        // 7 bits used by frames
    uint8_t sequence;    // 7 bits used
    uint8_t length;      // number of payload bytes
    uint8_t payload[1];  // really `length` bytes (at least one allocated)

    // Returns nullptr when the allocation fails.
    static PacketRecord* Create(uint8_t type, uint8_t sequence, uint8_t length,
                                const uint8_t* data) {
        size_t size = offsetof(PacketRecord, payload) + (length > 0 ? length : 1);
        auto* r = static_cast<PacketRecord*>(std::malloc(size));
        if (r == nullptr) return nullptr;
        r->next = nullptr;
        r->tick = 0;
        r->type = type;
        r->sequence = sequence;
        r->length = length;
        if (length > 0 && data != nullptr) std::memcpy(r->payload, data, length);
        return r;
    }
    static void Free(PacketRecord* r) { std::free(r); }
    bool IsEvent() const { return (type & kEventBit) != 0; }
};
