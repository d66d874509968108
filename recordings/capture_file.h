// Wire captures: both directions of a device link with a time stamp per chunk, as
// velt-capture writes them and the simulator's replay, velt-process and the review
// read them. The layout is in docs/capture-format.md; all numbers are little-endian.
//
// Version 2 (written): a header with the facts of the session and a check, then
// records, each with a sync marker, kind, time (µs since the start), length, bytes
// and a CRC-32 over all of it, so damage is found and reading resumes at the next
// good record. Version 1 (read only): no marker, no check, times in ms.
//
// The reader is pure code over bytes fed in pieces (CaptureStream); CaptureFileReader
// pulls the pieces from a byte source (a file) so that any size reads in bounded
// memory and reading can start at any byte offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace recordings {

constexpr char kCaptureMagic[8] = {'V', 'E', 'L', 'T', '-', 'C', 'A', 'P'};
constexpr uint16_t kCaptureVersion = 2;   // the version written
constexpr uint16_t kCaptureVersion1 = 1;  // still read
constexpr size_t kCaptureFixedHeaderSize = 24;
constexpr size_t kCaptureMaxHeaderSize = 8192;
constexpr size_t kCaptureMaxText = 1024;  // a header fact is cut to this length
constexpr uint8_t kCaptureSync[2] = {0xE5, 0x1A};
constexpr size_t kCaptureRecordHeaderSize = 13;                          // sync, kind, time, length
constexpr size_t kCaptureRecordOverhead = kCaptureRecordHeaderSize + 4;  // and the check
constexpr size_t kCaptureV1RecordHeaderSize = 7;
constexpr size_t kCaptureMaxChunk = 0xFFFF;

enum class CaptureKind : uint8_t {
    DeviceBytes = 1,          // from the device, handed on to the program
    ProgramBytes = 2,         // from the program, handed on to the device
    PortOpened = 3,           // the program opened its port (no bytes)
    PortClosed = 4,           // the program closed its port (no bytes)
    DeviceLost = 5,           // the device went away; bytes: why, as text
    DeviceBack = 6,           // the device is there again; bytes: how, as text (may be empty)
    DeviceBytesDropped = 7,   // read from the device but never handed to the program
    ProgramBytesDropped = 8,  // read from the program but never handed to the device
    RecordsDropped = 9,       // the recording had no room: u64 records, u64 bytes they held,
                              // then (optional) why, as text
    NoData = 10,              // the program saw no good frame for 3 s (no bytes)
    Protocol = 11,            // the protocol from here on: one byte, 1 to 3
    Documentation = 12,       // a documentation text: field byte (0 operator, 1 serial,
                              // 2 sensor, 3 comment), then the text
    Clock = 13,               // the recording program's monotonic clock at time 0: u64 µs
                              // (its millisecond tick counts follow from it)
    Handoffs = 14,            // frames of the next device bytes that the program did not
                              // simply queue: entries of u16 frame number, outcome byte
    Alarm = 15,               // an alarm start, end, acknowledgement, audio pause or new
                              // settings: tab-separated text (docs/capture-format.md)
    Mark = 16,                // a mark the user made: its text (may be empty)
};
constexpr uint8_t kCaptureLastKind = 16;

// "device bytes", "port opened", ...: for listings.
const char* CaptureKindName(CaptureKind kind);

struct CaptureHeader {
    uint16_t version = kCaptureVersion;
    int protocol = 1;
    int64_t start_unix_us = 0;  // wall clock at the start, µs since 1970-01-01 UTC
    // Version 2 only (empty in version 1 files).
    std::string device;  // what the device was opened as ("/dev/ttyUSB0", "desc#serial")
    std::string line;    // the line settings ("115200 8N1")
    std::string host;    // the machine that recorded
    std::string writer;  // the program that recorded and its version ("velt-capture 1.0.0")
};

struct CaptureRecord {
    CaptureKind kind = CaptureKind::DeviceBytes;
    uint64_t time_us = 0;           // since the start (version 1: its milliseconds × 1000)
    const uint8_t* data = nullptr;  // valid until the reader's next call
    size_t size = 0;
    uint64_t offset = 0;  // where the record starts in the file
};

// CRC-32 (IEEE 802.3, as zlib's crc32): crc of nothing is 0; chain by passing it on.
uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// Encoders: each appends one whole header or record. A record longer than
// kCaptureMaxChunk is split into several with the same time. header.version 1 writes
// the old layout (for tests of old files).
void AppendCaptureHeader(std::vector<uint8_t>& out, const CaptureHeader& header);
void AppendCaptureRecord(std::vector<uint8_t>& out, CaptureKind kind, uint64_t time_us,
                         const uint8_t* data, size_t size);
void AppendCaptureV1Record(std::vector<uint8_t>& out, CaptureKind kind, uint32_t time_ms,
                           const uint8_t* data, size_t size);
// The 13 bytes before a record's data, and the check that follows it; the pieces
// for encoders that place a record without a vector (the recorder's ring).
void EncodeCaptureRecordHead(uint8_t* head, CaptureKind kind, uint64_t time_us, size_t size);
uint32_t CaptureRecordCheck(const uint8_t* head, const uint8_t* data, size_t size);

// What reading met besides records.
struct CaptureEvent {
    enum Type { Record, Damage, Cut };
    Type type = Record;
    CaptureRecord record;  // Record
    // Damage: the bytes from `at` to `resumed` were skipped (resumed is the file's end
    // when no good record came after them). Cut: the file ends inside a record (or in
    // a zero-filled tail) that starts at `at`.
    uint64_t at = 0, resumed = 0;
    const char* why = "";  // Damage: "bad check", "time goes back", ...
};

// "damaged at byte N, resumed at byte M, K bytes skipped (why)" / "cut at byte N".
std::string DescribeCaptureEvent(const CaptureEvent& event);

// The pure reader: header and records out of bytes fed in pieces.
class CaptureStream {
public:
    enum class Status { Ok, NotACapture, UnsupportedVersion, BadHeader };
    enum class Step {
        Event,      // *event holds a record, a damage or a cut
        NeedBytes,  // Feed more (or FinishInput at the end of the file)
        End,        // nothing more
        Refused,    // the header is not readable: status()/Error() say why
    };

    CaptureStream();
    // Bytes that follow the ones fed before (from offset 0 of the file, or from the
    // offset given to StartAt).
    void Feed(const uint8_t* data, size_t size);
    void FinishInput();
    // Only the header: Event once it is read, NeedBytes or Refused.
    Step ReadHeader();
    Step Next(CaptureEvent* event);

    // After the header: forget the bytes held and continue at file offset `offset`,
    // at the first good record there or after (bytes before it are not damage; the
    // first record's time is not compared). Version 2 only; version 1 can start only
    // at a record's own offset.
    void StartAt(uint64_t offset);

    bool header_done() const { return header_done_; }
    Status status() const { return status_; }
    std::string Error() const;
    const CaptureHeader& header() const { return header_; }
    uint64_t records_start() const { return records_start_; }
    uint64_t offset() const { return pos_; }  // file offset of the next byte to look at

private:
    bool ParseHeader();
    Step NextV1(CaptureEvent* event);
    Step NextV2(CaptureEvent* event);
    void Consume();       // forgets the record given last
    void Drop(size_t n);  // forgets n bytes at the front, noting whether damage is all zero
    bool Damaged(uint64_t at, const char* why);
    Step EndOfDamage(CaptureEvent* event, uint64_t resumed);

    std::vector<uint8_t> buffer_;
    size_t begin_ = 0;       // first unread byte in buffer_
    uint64_t pos_ = 0;       // file offset of buffer_[begin_]
    bool finished_ = false;  // FinishInput was called
    bool header_done_ = false, ended_ = false;
    Status status_ = Status::Ok;
    std::string header_problem_;
    CaptureHeader header_;
    uint64_t records_start_ = 0;
    uint64_t last_time_ = 0;
    bool have_time_ = false;
    // Damage in progress.
    bool damaged_ = false, seeking_ = false, damage_all_zero_ = true, damage_cut_ = false;
    // A damage that began at a record's head: where that record would end, and where
    // the last byte other than zero in the damage ends (a power loss's tail: part of a
    // record, then zeros).
    uint64_t damage_record_end_ = 0, damage_nonzero_end_ = 0;
    // Bytes of check a false record marker may still cost: earned with every byte
    // read (kCheckBudgetPerByte, up to kCheckBudgetMax), spent on checks that fail, so
    // that a file of false markers reads in time proportional to its size. A whole
    // budget covers several of the longest records, so real damage never runs short.
    static constexpr uint64_t kCheckBudgetPerByte = 4;
    static constexpr uint64_t kCheckBudgetMax = 1u << 20;
    uint64_t check_budget_ = kCheckBudgetMax;
    uint64_t damage_at_ = 0;
    const char* damage_why_ = "";
    size_t consume_ = 0;  // the size of the record given last, forgotten on the next call
};

// Where a file reader gets its bytes: pread-like.
class CaptureByteSource {
public:
    virtual ~CaptureByteSource() = default;
    // Up to size bytes at offset; 0 at the end; -1 on an error (errno set).
    virtual long ReadAt(uint64_t offset, uint8_t* buffer, size_t size) = 0;
};

// A file as a byte source; null with *error set when it cannot be opened (or is a
// directory).
std::unique_ptr<CaptureByteSource> OpenCaptureFileSource(const std::string& path,
                                                         std::string* error);

// Pulls a capture from a byte source in pieces of 64 KiB: the memory it holds does
// not grow with the file.
class CaptureFileReader {
public:
    // False with Error() set when the source cannot be read or is no readable capture.
    bool Open(std::unique_ptr<CaptureByteSource> source);
    bool Open(const std::string& path);
    const CaptureHeader& header() const { return stream_.header(); }
    const std::string& Error() const { return error_; }
    // The next record, damage or cut; false at the end (or on a read error: Error()).
    bool Next(CaptureEvent* event);
    // The next record, with the damage and cut met on the way counted (and the last
    // ones kept); false at the end.
    bool NextRecord(CaptureRecord* record);
    // Starts again at the first good record at or after offset (records_start() for
    // the first).
    bool Seek(uint64_t offset);
    uint64_t records_start() const { return stream_.records_start(); }
    uint64_t offset() const { return stream_.offset(); }

    // What NextRecord passed over.
    uint64_t damaged_bytes() const { return damaged_bytes_; }
    unsigned damages() const { return damages_; }
    bool cut() const { return cut_; }
    uint64_t cut_at() const { return cut_at_; }
    const CaptureEvent& first_damage() const { return first_damage_; }

private:
    bool Pull();

    std::unique_ptr<CaptureByteSource> source_;
    CaptureStream stream_;
    std::vector<uint8_t> piece_;
    uint64_t read_at_ = 0;
    std::string error_;
    uint64_t damaged_bytes_ = 0, cut_at_ = 0;
    unsigned damages_ = 0;
    bool cut_ = false;
    CaptureEvent first_damage_;
};

// What the recorded program received: the device's bytes while it had its port open.
// A capture whose first open or close record is a close, or that has neither (the
// program had the port open before the tap could tell), counts as open from the start.
class ReceivedChunks {
public:
    // Reads ahead to the first open or close and starts the reader over.
    static bool OpenAtStart(CaptureFileReader& reader);
    explicit ReceivedChunks(bool open_at_start) : open_(open_at_start) {}
    // True when the record is bytes the program received.
    bool Take(const CaptureRecord& record) {
        if (record.kind == CaptureKind::PortOpened) open_ = true;
        if (record.kind == CaptureKind::PortClosed) open_ = false;
        return record.kind == CaptureKind::DeviceBytes && open_;
    }

private:
    bool open_;
};

// Writes a capture file in the caller's thread (tools that make a file from another
// one; the live recording goes through CaptureRecorder). Records are collected and
// written at Flush; a failed write cuts the file back to its last flushed size, so it
// stays whole up to there, and every later call fails.
class CaptureWriter {
public:
    CaptureWriter() = default;
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    // Creates the file (an existing regular file only with overwrite) and writes the
    // header. False with Error() set, also for a header no reader would accept.
    bool Open(const std::string& path, const CaptureHeader& header, bool overwrite = true);
    bool IsOpen() const { return fd_ >= 0; }
    // False once anything has failed. Times never go back: an earlier one is raised.
    bool Add(CaptureKind kind, uint64_t time_us, const uint8_t* data = nullptr, size_t size = 0);
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
    uint64_t flushed_size_ = 0, last_time_ = 0;
    std::vector<uint8_t> pending_;
};

// Why a header cannot be written ("" when it can).
std::string CaptureHeaderProblem(const CaptureHeader& header);

// Opens path for a new capture: an existing regular file only with overwrite (then
// cut to nothing once it is ours), and never one that another writer holds (an
// exclusive lock, kept while the descriptor is open). A device or FIFO is written as
// it is; a FIFO without a reader fails with ENXIO (the descriptor is non-blocking).
// The descriptor, or -1 with *error set ("... exists", "... is being written by
// another capture", the system's reason) and errno kept.
int OpenCaptureOutput(const std::string& path, bool overwrite, std::string* error);

// A new regular file that takes its name only with `head` (its header) written: made
// without a name in path's folder (O_TMPFILE; else under a hidden name), locked as
// OpenCaptureOutput locks, written, then linked to path: never over an existing file
// (EEXIST), or with replace renamed over it (at once, whole; never over one that
// another writer holds). A failure leaves nothing behind and path as it was. The
// descriptor, positioned after head, or -1 with *error set and errno kept.
int CreateCaptureWithHead(const std::string& path, const std::vector<uint8_t>& head, bool replace,
                          std::string* error);

}  // namespace recordings
