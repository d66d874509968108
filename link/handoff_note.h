// What became of the frames of one received chunk that were not simply queued: a frame
// dropped at a full queue, or a frame cut short that a copy of the newest waiting record
// stood in for. Both depend on how far the window had emptied the queue, which the
// bytes cannot tell, so a session records the chunk's note beside the chunk and a
// replay (which empties its queue after every record) hands those frames on alike.
//
// The note: one entry of three bytes per such frame, in order: the frame's number
// among the frames the chunk handed on (u16, little-endian), then its outcome.
// Receive-thread state (or a replay's thread); fixed size, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class HandoffNote {
public:
    enum Outcome : uint8_t { kQueued = 0, kDropped = 1, kStoodIn = 2 };
    static constexpr size_t kEntrySize = 3;
    // A chunk of 255 bytes hands on at most one frame per byte (a mark alone cuts one).
    static constexpr size_t kMaxEntries = 256;

    // The newest record handed on, which a replayed stand-in copies.
    struct Record {
        bool valid = false;
        uint8_t type = 0;
        uint8_t sequence = 0;
        uint8_t length = 0;
        uint8_t payload[255] = {};
    };

    // A chunk is about to be decoded: its frames count from 0, its note starts empty, and
    // a note replayed for it since the last chunk applies to it.
    void BeginChunk() {
        frame_ = 0;
        size_ = 0;
        replaying_ = replay_size_;
        replay_at_ = 0;
        replay_size_ = 0;
    }
    // The number of the chunk's next frame, and what the replayed note says of it.
    uint16_t NextFrame() { return frame_++; }
    Outcome Replayed(uint16_t frame) {
        while (replay_at_ + kEntrySize <= replaying_) {
            const uint8_t* e = replay_ + replay_at_;
            const uint16_t at = static_cast<uint16_t>(e[0] | e[1] << 8);
            if (at > frame) break;
            replay_at_ += kEntrySize;
            if (at == frame && (e[2] == kDropped || e[2] == kStoodIn))
                return static_cast<Outcome>(e[2]);
        }
        return kQueued;
    }
    void Add(uint16_t frame, Outcome outcome) {
        if (size_ + kEntrySize > sizeof bytes_) return;
        bytes_[size_] = static_cast<uint8_t>(frame);
        bytes_[size_ + 1] = static_cast<uint8_t>(frame >> 8);
        bytes_[size_ + 2] = outcome;
        size_ += kEntrySize;
    }
    // The note of the chunk decoded last (empty for most).
    const uint8_t* data() const { return bytes_; }
    size_t size() const { return size_; }

    // A recorded note, for the chunk that follows it.
    void Replay(const uint8_t* note, size_t size) {
        const size_t n = size < sizeof replay_ ? size - size % kEntrySize : sizeof replay_;
        std::memcpy(replay_, note, n);
        replay_size_ = n;
    }

    void Keep(uint8_t type, uint8_t sequence, uint8_t length, const uint8_t* payload) {
        newest_.valid = true;
        newest_.type = type;
        newest_.sequence = sequence;
        newest_.length = length;
        std::memcpy(newest_.payload, payload, length);
    }
    const Record& Newest() const { return newest_; }
    void SetNewest(const Record& record) { newest_ = record; }

private:
    uint16_t frame_ = 0;
    size_t size_ = 0;
    uint8_t bytes_[kMaxEntries * kEntrySize] = {};
    size_t replay_size_ = 0;  // a note waiting for the next chunk
    size_t replaying_ = 0;    // the note of the chunk being decoded
    size_t replay_at_ = 0;
    uint8_t replay_[kMaxEntries * kEntrySize] = {};
    Record newest_;
};
