// Any bytes as a capture file: every record lies inside the input and encodes back to
// the very bytes it was read from, reading stops only where too few bytes remain for
// the next record, and the received chunks are the DeviceBytes records while open.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "recordings/capture_file.h"

namespace {

using namespace recordings;

size_t Length(const uint8_t* p) { return p[5] | static_cast<size_t>(p[6]) << 8; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> encoded;
    static std::vector<const uint8_t*> expected;  // what ForEachReceivedChunk must deliver
    CaptureReader reader(data, size);
    CaptureRecord r;
    if (reader.status() != CaptureReader::Status::Ok) {
        if (reader.Error().empty() || reader.Next(&r) || reader.truncated()) __builtin_trap();
        if (ForEachReceivedChunk(reader, [](const CaptureRecord&) { __builtin_trap(); }))
            __builtin_trap();
        return 0;
    }
    if (!reader.Error().empty() || size < kCaptureHeaderSize ||
        std::memcmp(data, kCaptureMagic, sizeof kCaptureMagic) != 0) {
        __builtin_trap();
    }
    const int protocol = reader.header().protocol;
    if (protocol < 1 || protocol > 3) __builtin_trap();
    encoded.clear();
    AppendCaptureHeader(encoded, reader.header());
    if (std::memcmp(encoded.data(), data, 10) != 0 || encoded[12] != data[12] ||
        std::memcmp(encoded.data() + 16, data + 16, 8) != 0) {
        __builtin_trap();
    }

    const CaptureReader start = reader;
    expected.clear();
    bool seen_marker = false, open = true;
    size_t last = reader.offset();
    if (last < kCaptureHeaderSize || last > size) __builtin_trap();
    while (reader.Next(&r)) {
        const size_t end = reader.offset();
        if (end <= last || end > size) __builtin_trap();
        // The record is the tail of what was consumed (skipped kinds before it).
        const uint8_t* head = data + end - r.size - kCaptureRecordHeaderSize;
        if (head < data + last || r.data != head + kCaptureRecordHeaderSize) __builtin_trap();
        if (r.kind < CaptureKind::DeviceBytes || r.kind > CaptureKind::DeviceBack) __builtin_trap();
        encoded.clear();
        AppendCaptureRecord(encoded, r.kind, r.time_ms, r.data, r.size);
        if (encoded.size() != static_cast<size_t>(data + end - head) ||
            std::memcmp(encoded.data(), head, encoded.size()) != 0) {
            __builtin_trap();
        }
        if (r.kind == CaptureKind::PortOpened || r.kind == CaptureKind::PortClosed) {
            // Before the first marker, open means the first marker is a close.
            if (!seen_marker && r.kind == CaptureKind::PortOpened) expected.clear();
            seen_marker = true;
            open = r.kind == CaptureKind::PortOpened;
        }
        if (r.kind == CaptureKind::DeviceBytes && open) expected.push_back(r.data);
        last = end;
    }
    const size_t left = size - reader.offset();
    if (reader.truncated()) {
        if (left == 0 || (left >= kCaptureRecordHeaderSize &&
                          kCaptureRecordHeaderSize + Length(data + reader.offset()) <= left)) {
            __builtin_trap();
        }
    } else if (left != 0) {
        __builtin_trap();
    }
    if (reader.Next(&r)) __builtin_trap();  // stays at the end

    CaptureReader again = start;
    size_t delivered = 0;
    if (!ForEachReceivedChunk(again, [&](const CaptureRecord& chunk) {
            if (chunk.kind != CaptureKind::DeviceBytes || delivered >= expected.size() ||
                chunk.data != expected[delivered]) {
                __builtin_trap();
            }
            ++delivered;
        })) {
        __builtin_trap();
    }
    if (delivered != expected.size() || again.offset() != reader.offset() ||
        again.truncated() != reader.truncated()) {
        __builtin_trap();
    }
    return 0;
}
