// Wire captures: both directions of a device link with a time stamp per chunk, as
// velt-capture writes them and the simulator's replay and velt-process read them.
// The layout is in docs/capture-format.md. All numbers are little-endian.
//
//   header (24 bytes): magic "VELT-CAP", version (u16), header size (u16),
//                      protocol (u8), 3 reserved bytes, start time (i64, ms since
//                      1970-01-01 UTC)
//   records:           kind (u8), time offset (u32, ms since the start),
//                      length (u16), that many bytes
//
// The reader is pure code over bytes and stops at the last whole record, so a file
// cut short by a crash or an unplug reads up to there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace recordings {

constexpr char kCaptureMagic[8] = {'V', 'E', 'L', 'T', '-', 'C', 'A', 'P'};
constexpr uint16_t kCaptureVersion = 1;
constexpr size_t kCaptureHeaderSize = 24;
constexpr size_t kCaptureRecordHeaderSize = 7;
constexpr size_t kCaptureMaxChunk = 0xFFFF;

enum class CaptureKind : uint8_t {
    DeviceBytes = 1,   // from the device towards the program
    ProgramBytes = 2,  // from the program towards the device
    PortOpened = 3,    // the program opened its port (no bytes)
    PortClosed = 4,    // the program closed its port (no bytes)
    DeviceLost = 5,    // the device went away; bytes: why, as text
    DeviceBack = 6,    // the device is there again (no bytes)
};

struct CaptureHeader {
    uint16_t version = kCaptureVersion;
    int protocol = 1;
    int64_t start_unix_ms = 0;
};

struct CaptureRecord {
    CaptureKind kind = CaptureKind::DeviceBytes;
    uint32_t time_ms = 0;
    const uint8_t* data = nullptr;  // points into the reader's input
    size_t size = 0;
};

// Encoders: each appends one whole header or record to out. A record longer than
// kCaptureMaxChunk is split into several with the same time.
void AppendCaptureHeader(std::vector<uint8_t>& out, const CaptureHeader& header);
void AppendCaptureRecord(std::vector<uint8_t>& out, CaptureKind kind, uint32_t time_ms,
                         const uint8_t* data, size_t size);

class CaptureReader {
public:
    enum class Status { Ok, NotACapture, UnsupportedVersion, BadHeader };

    // The bytes must outlive the reader and the records it returns.
    CaptureReader(const uint8_t* data, size_t size);

    Status status() const { return status_; }
    // Why the header was refused ("" when it was not).
    std::string Error() const;
    const CaptureHeader& header() const { return header_; }

    // The next whole record; false at the end of the input or at a record cut short
    // (then truncated() is true). Records of kinds this version does not know are
    // skipped.
    bool Next(CaptureRecord* record);
    bool truncated() const { return truncated_; }
    // Where the next record starts (after false: where reading stopped).
    size_t offset() const { return offset_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    Status status_ = Status::Ok;
    CaptureHeader header_;
    bool header_cut_ = false;
    bool truncated_ = false;
};

// What the recorded program received: the device's bytes while it had its port open.
// A capture whose first open or close record is a close, or that has neither (the
// program had the port open before the tap could tell), counts as open from the
// start. Calls on(record) for each such DeviceBytes record in order; returns false
// when the capture is not readable. A cut-short capture delivers its whole records
// (then reader.truncated() is true).
template <typename OnDeviceBytes>
bool ForEachReceivedChunk(CaptureReader& reader, OnDeviceBytes on) {
    if (reader.status() != CaptureReader::Status::Ok) return false;
    CaptureReader probe = reader;
    CaptureRecord r;
    bool open = true;
    while (probe.Next(&r)) {
        if (r.kind == CaptureKind::PortOpened || r.kind == CaptureKind::PortClosed) {
            open = r.kind == CaptureKind::PortClosed;
            break;
        }
    }
    while (reader.Next(&r)) {
        if (r.kind == CaptureKind::PortOpened) open = true;
        if (r.kind == CaptureKind::PortClosed) open = false;
        if (r.kind == CaptureKind::DeviceBytes && open) on(r);
    }
    return true;
}

// Writes a capture file. Records are collected in memory and written at Flush (the
// tap flushes at least twice a second), so the forwarding never waits on the disk
// for more than one write. A failed write (a full disk) cuts the file back to its
// last flushed size, so it stays whole up to there, and every later call fails.
class CaptureWriter {
public:
    CaptureWriter() = default;
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates or truncates the file and writes the header. False with Error() set,
    // also for a header no reader would accept (a protocol outside 1-3).
    bool Open(const std::string& path, const CaptureHeader& header);
    bool IsOpen() const { return fd_ >= 0; }
    // False once anything has failed.
    bool Add(CaptureKind kind, uint32_t time_ms, const uint8_t* data = nullptr, size_t size = 0);
    bool Flush();
    // Flushes, syncs and closes; false when anything added since Open was lost.
    bool Close();
    const std::string& Error() const { return error_; }
    bool failed() const { return failed_; }

private:
    bool Fail(const char* what, int error);

    int fd_ = -1;
    std::string path_;
    std::string error_;
    bool failed_ = false;
    uint64_t flushed_size_ = 0;
    std::vector<uint8_t> pending_;
};

}  // namespace recordings
