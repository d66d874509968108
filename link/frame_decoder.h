// Receive state machine of the framed protocols (1 and 2): mark, sequence, type,
// length, escaped payload, checksum, end. Pure code over bytes: the caller does the
// I/O through a handler:
//   bool Acknowledge(const uint8_t* ack, int size)  write FD/FC, sequence, FB; false stops
//   void Frame(bool repeat)   queue the decoder's frame, or a repeat of the last record
//   void Log(const char* text)  one debugger-output line
//   void Count(FrameDecoder::Event e)  optional: what became of a frame, for the counts
// Events for one byte come in the order Log, Frame (at a mark) or Acknowledge, then
// Frame or Log (at a checksum).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "link/checksum.h"

class FrameDecoder {
public:
    static constexpr uint8_t kMark = 0xFF;
    static constexpr uint8_t kEscape = 0xFE;
    static constexpr uint8_t kAck = 0xFD;
    static constexpr uint8_t kReject = 0xFC;
    static constexpr uint8_t kEnd = 0xFB;
    static constexpr int kPayloadSize = 128;

    // Phases as they appear in the log lines.
    static constexpr int kIdle = 99;
    static constexpr int kSequence = 0;
    static constexpr int kType = 1;
    static constexpr int kLength = 2;
    static constexpr int kPayload = 3;
    static constexpr int kChecksum = 4;
    static constexpr int kDone = 5;
    static constexpr int kAckRecord = 6;
    static constexpr int kRejectRecord = 8;

    // What became of a frame. kGood and kBadChecksum follow a successful
    // acknowledgement; kIncomplete is a frame cut before its checksum (by a mark or an
    // end byte) or data that arrived without a mark (not counted before the first mark
    // since a reset: the tail of a frame sent before the port was opened); kOversize a
    // length of 0 or above the buffer.
    enum Event { kGood, kBadChecksum, kIncomplete, kOversize };

    void Reset() {
        phase_ = kIdle;
        escape_ = 0;
        sum_ = 0;
        j_ = 0;
        type_ = 0;
        length_ = 0;
        sequence_ = 0;
        fed_ = frame_start_ = 0;
        for (uint16_t& size : line_size_) size = 0;
        for (uint16_t& size : recent_size_) size = 0;
        synced_ = false;
    }

    // Decodes the bytes in order. Returns how many were consumed: all of them, or
    // fewer when the handler's Acknowledge returned false (the byte that asked for it
    // included).
    template <class Handler>
    size_t Feed(const uint8_t* data, size_t size, Handler& handler) {
        size_t i = 0;
        while (i < size) {
            if (phase_ == kPayload) {
                // Payload run, the hot path: bounded once by the frame's length and the
                // input, kept in locals. A pending escape can only apply to the run's
                // first byte, since every control byte ends a run.
                const size_t room = length_ - j_;
                const uint8_t* p = data + i;
                const uint8_t* end = p + (room < size - i ? room : size - i);
                uint8_t* out = payload_ + j_;
                uint16_t sum = sum_;
                if (escape_ != 0 && *p < kEnd) {
                    const uint8_t b = static_cast<uint8_t>(*p++ | 0x80);
                    *out++ = b;
                    sum = static_cast<uint16_t>(sum + b);
                    escape_ = 0;
                }
                while (p < end) {
                    const uint8_t b = *p;
                    if (b >= kEnd) break;
                    *out++ = b;
                    sum = static_cast<uint16_t>(sum + b);
                    ++p;
                }
                fed_ += static_cast<uint32_t>(p - (data + i));
                i = static_cast<size_t>(p - data);
                j_ = static_cast<unsigned>(out - payload_);
                sum_ = sum;
                if (j_ == length_) phase_ = kChecksum;
                if (i == size || phase_ != kPayload) continue;
                // A control byte inside the payload: handled below.
            }
            if (!Step(data[i++], handler)) return i;
        }
        return size;
    }

    // One byte; false when the handler's Acknowledge failed.
    template <class Handler>
    bool Step(uint8_t b, Handler& handler) {
        ++fed_;
        switch (b) {
            case kMark:
                OnMark(handler);
                return true;
            case kEscape:
                escape_ = 0x80;
                return true;
            case kAck:
                phase_ = kAckRecord;
                return true;
            case kReject:
                phase_ = kRejectRecord;
                return true;
            case kEnd:
                if (phase_ <= kChecksum) Count(handler, kIncomplete);
                phase_ = kIdle;
                return true;
            default:
                break;
        }
        switch (phase_) {
            case kSequence:
                sequence_ = b & 0x7F;
                sum_ = sequence_;
                phase_ = kType;
                return true;
            case kType:
                type_ = b & 0x7F;
                sum_ = static_cast<uint16_t>(sum_ + type_);
                phase_ = kLength;
                return true;
            case kLength:
                length_ = b;
                sum_ = static_cast<uint16_t>(sum_ + b);
                if (b == 0 || b > kPayloadSize) {
                    // The buffer holds 128 bytes and an empty frame carries nothing:
                    // ignore the frame up to the next mark or end, unanswered.
                    Format("*** Protocol Length %i iSequence=%i\n", b, sequence_);
                    handler.Log(text_);
                    Count(handler, kOversize);
                    phase_ = kDone;
                } else {
                    phase_ = kPayload;
                }
                return true;
            case kPayload:
                b = static_cast<uint8_t>(b | escape_);
                escape_ = 0;
                payload_[j_] = b;
                sum_ = static_cast<uint16_t>(sum_ + b);
                if (++j_ == length_) phase_ = kChecksum;
                return true;
            case kChecksum: {
                phase_ = kDone;
                const uint8_t expected = FrameChecksum(sum_);
                const bool good = expected == b;
                const uint8_t ack[3] = {good ? kAck : kReject, sequence_, kEnd};
                // Its size on the line, the end byte still to come.
                line_size_[length_] = static_cast<uint16_t>(fed_ - frame_start_ + 1);
                recent_size_[answered_++ % kRecent] = line_size_[length_];
                if (!handler.Acknowledge(ack, 3)) return false;
                Count(handler, good ? kGood : kBadChecksum);
                if (good) {
                    handler.Frame(false);
                } else {
                    Format("*** Bad Checksum %i-%i iSequence=%i\n", expected,
                           static_cast<int>(static_cast<int8_t>(b)), sequence_);
                    handler.Log(text_);
                }
                return true;
            }
            default:
                // Data with no mark before it: the start of a frame went missing. Before
                // the first mark since a reset it is only the tail of a frame the line
                // carried before the port was opened, no frame lost.
                if (phase_ == kIdle && !synced_) return true;
                if (phase_ == kIdle) Count(handler, kIncomplete);
                phase_ = kDone;
                return true;
        }
    }

    // The fewest bytes a frame takes after its mark; the bytes up to its length, mark
    // included.
    static constexpr size_t kFewestAfterMark = static_cast<size_t>(kPayload - kSequence) + 3;
    static constexpr size_t kHeadBytes = static_cast<size_t>(kPayload - kSequence) + 1;

    // The fewest bytes that can still complete the frame being received, its end byte
    // included (unescaped payload, a length not yet known taken as 1); 0 between frames.
    size_t BytesToFrameEnd() const {
        switch (phase_) {
            case kSequence:
            case kType:
            case kLength:
                return static_cast<size_t>(kPayload - phase_) + 3;
            case kPayload:
                return length_ - j_ + 2u;
            case kChecksum:
                return 2;
            default:
                return 0;
        }
    }

    // What the frame being received will most likely still take. Until its header is in
    // the length is unknown: the fewest bytes (the shortest frame's rest). Once it is,
    // the fewest for its length, or as many as the last answered frame of that length
    // took on the line in all: a device sends frames of the same few types, whose
    // escaped bytes recur, so this is usually exact, and a frame of another length
    // (a short one after a long one) is never waited for as long as that one.
    size_t ExpectedBytesToFrameEnd() const {
        const size_t fewest = BytesToFrameEnd();
        if (fewest == 0 || phase_ < kPayload) return fewest;
        const uint32_t so_far = fed_ - frame_start_;
        const uint32_t last = line_size_[length_];
        return last > so_far + fewest ? last - so_far : fewest;
    }

    // What a frame still to come will most likely take on the line, its mark included:
    // the shortest of the last few answered frames, or the shortest any frame can be
    // before one was. A wait this long never keeps a short frame waiting for a long
    // one's length.
    size_t ExpectedFrameBytes() const {
        size_t fewest = 0;
        for (const uint16_t size : recent_size_)
            if (size != 0 && (fewest == 0 || size < fewest)) fewest = size;
        return fewest != 0 ? fewest : kFewestAfterMark + 1;
    }

    int phase() const { return phase_; }
    // Where the frame being received began in the bytes fed (its mark): tells one frame
    // from the next.
    uint32_t frame_start() const { return frame_start_; }
    uint8_t sequence() const { return sequence_; }  // iSequence
    uint8_t type() const { return type_; }
    uint8_t length() const { return length_; }
    int received() const { return static_cast<int>(j_); }
    const uint8_t* payload() const { return payload_; }

private:
    template <class Handler>
    void OnMark(Handler& handler) {
        if (phase_ != kIdle) {
            if (phase_ == kPayload)
                Format("*** Protocol MarkChar: Incomplete Phase %i %i %i %i\n", phase_, sequence_,
                       static_cast<int>(j_), length_);
            else
                Format("*** Protocol MarkChar: Incomplete Phase %i %i\n", phase_, sequence_);
            handler.Log(text_);
            if (phase_ <= kChecksum) Count(handler, kIncomplete);
            // Cut off before the checksum: stand in the last record; only the checksum
            // missing: queue it unchecked.
            if (phase_ < kDone) handler.Frame(phase_ <= kPayload);
        }
        j_ = 0;
        type_ = 0;
        length_ = 0;
        escape_ = 0;
        phase_ = kSequence;
        frame_start_ = fed_ - 1;
        synced_ = true;
    }

    template <class Handler>
    static void Count(Handler& handler, Event e) {
        if constexpr (requires { handler.Count(e); }) handler.Count(e);
    }

    template <class... Args>
    void Format(const char* format, Args... args) {
        std::snprintf(text_, sizeof text_, format, args...);
    }

    int phase_ = kIdle;
    uint8_t escape_ = 0;  // 0x80 while an escape is pending
    uint16_t sum_ = 0;
    unsigned j_ = 0;
    uint8_t type_ = 0;
    uint8_t length_ = 0;
    uint8_t sequence_ = 0;
    uint8_t payload_[kPayloadSize] = {};
    char text_[96] = {};
    // Line lengths, for the receive thread's waits: bytes stepped through (wrapping),
    // and that count just before the current frame's mark.
    uint32_t fed_ = 0;
    uint32_t frame_start_ = 0;
    // Per payload length, the line size of the last answered frame of that length.
    uint16_t line_size_[kPayloadSize + 1] = {};
    // The line sizes of the last kRecent answered frames, of any length.
    static constexpr unsigned kRecent = 4;
    uint16_t recent_size_[kRecent] = {};
    unsigned answered_ = 0;
    bool synced_ = false;  // a mark has come since the last reset
};
