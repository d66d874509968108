// Any bytes as a capture file, fed whole and in pieces: both give the same records,
// damage and cuts; every record lies inside the input and encodes back to the very
// bytes it was read from; records, damage and cuts follow each other in the file
// without overlapping; times never go back; a stream started at any byte gives the
// records found from there on.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "recordings/capture_file.h"

namespace {

using namespace recordings;

struct Seen {
    CaptureEvent::Type type;
    CaptureKind kind;
    uint64_t time, at, end;
    const uint8_t* data;  // into the input (found by offset), for records
    size_t size;
};

// Reads everything; pieces of `piece` bytes, each copied so that reads past a piece
// are reads past a buffer. False when the header was refused.
bool ReadAll(const uint8_t* data, size_t size, size_t piece, size_t start, std::vector<Seen>* out,
             CaptureHeader* header) {
    CaptureStream s;
    std::vector<uint8_t> part;
    size_t fed = 0;
    out->clear();
    if (start > 0) {
        s.Feed(data, size);
        s.FinishInput();
        if (s.ReadHeader() != CaptureStream::Step::Event) return false;
        s.StartAt(start);
        fed = start;
    }
    for (;;) {
        CaptureEvent e;
        switch (s.Next(&e)) {
            case CaptureStream::Step::Event: {
                Seen seen{e.type, e.record.kind, e.record.time_us, e.at, e.resumed, nullptr, 0};
                if (e.type == CaptureEvent::Record) {
                    const CaptureRecord& r = e.record;
                    seen.at = r.offset;
                    if (r.offset >= size || r.size > size) __builtin_trap();
                    seen.size = r.size;
                    // The record's bytes must be the input's bytes at its offset.
                    const size_t head = s.header().version == kCaptureVersion1
                                            ? kCaptureV1RecordHeaderSize
                                            : kCaptureRecordHeaderSize;
                    if (r.offset + head + r.size > size ||
                        (r.size > 0 && std::memcmp(r.data, data + r.offset + head, r.size) != 0))
                        __builtin_trap();
                    seen.data = data + r.offset + head;
                    seen.end =
                        r.offset + head + r.size + (s.header().version == kCaptureVersion1 ? 0 : 4);
                }
                out->push_back(seen);
                break;
            }
            case CaptureStream::Step::NeedBytes: {
                if (fed == size) {
                    s.FinishInput();
                    break;
                }
                const size_t n = piece < size - fed ? piece : size - fed;
                part.assign(data + fed, data + fed + n);
                s.Feed(part.data(), part.size());
                fed += n;
                break;
            }
            case CaptureStream::Step::End:
                *header = s.header();
                return true;
            case CaptureStream::Step::Refused:
                if (s.Error().empty() || !out->empty()) __builtin_trap();
                return false;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<Seen> whole, pieces, later;
    static std::vector<uint8_t> encoded;
    CaptureHeader header;
    const bool ok = ReadAll(data, size, size + 1, 0, &whole, &header);
    const size_t piece = size > 0 ? 1 + data[size - 1] % 29 : 1;
    CaptureHeader again;
    if (ReadAll(data, size, piece, 0, &pieces, &again) != ok || pieces.size() != whole.size())
        __builtin_trap();
    for (size_t i = 0; i < whole.size(); ++i) {
        const Seen& a = whole[i];
        const Seen& b = pieces[i];
        if (a.type != b.type || a.at != b.at || a.end != b.end || a.time != b.time ||
            a.size != b.size || a.data != b.data)
            __builtin_trap();
    }
    if (!ok) return 0;
    if (header.protocol < 1 || header.protocol > 3) __builtin_trap();

    uint64_t at = 0, time = 0;
    bool have_time = false;
    for (const Seen& e : whole) {
        if (e.at < at || e.end > size || e.end <= e.at) __builtin_trap();
        at = e.end;
        if (e.type != CaptureEvent::Record) continue;
        if (have_time && e.time < time) __builtin_trap();
        time = e.time;
        have_time = true;
        encoded.clear();
        if (header.version == kCaptureVersion1) {
            AppendCaptureV1Record(encoded, e.kind, static_cast<uint32_t>(e.time / 1000), e.data,
                                  e.size);
        } else {
            AppendCaptureRecord(encoded, e.kind, e.time, e.data, e.size);
        }
        if (encoded.size() != e.end - e.at ||
            std::memcmp(encoded.data(), data + e.at, encoded.size()))
            __builtin_trap();
    }

    // From a byte in the middle: the records found there are the ones at or after it
    // (a version 2 stream finds them again; bytes before the first are no damage).
    if (header.version == kCaptureVersion && size > 0) {
        const size_t start = data[0] % size;
        CaptureHeader h;
        if (!ReadAll(data, size, piece, start, &later, &h)) __builtin_trap();
        for (const Seen& e : later)
            if (e.at < start || e.end > size) __builtin_trap();
    }
    return 0;
}
