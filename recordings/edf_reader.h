// Recording files (".edf"): a plain stream of records, each an 8-byte header
// (type, length, time stamp; little-endian) and a body whose size the type fixes.
// The reader is pure code over a byte source, so it can be tested and fuzzed
// without files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace recordings {

constexpr size_t kEdfHeaderSize = 8;
constexpr uint16_t kEdfSampleRecord = 1;    // body: signed 32-bit sample + 8 spare bytes
constexpr uint16_t kEdfValuesRecord = 2;    // body: three 16-bit values + two bytes
constexpr uint16_t kEdfBlockRecord = 3;     // body: 20 bytes
constexpr uint16_t kEdfVariableRecord = 4;  // body size from the length field
constexpr size_t kEdfSampleBody = 12;
constexpr size_t kEdfValuesBody = 8;
constexpr size_t kEdfBlockBody = 20;
constexpr size_t kEdfMaxVariableBody = 32764;
// Bytes of a body that the reader keeps (the rest of a type-4 body is skipped).
constexpr size_t kEdfKeptBody = 20;

struct EdfHeader {
    uint16_t type = 0;
    uint16_t length = 0;
    uint32_t time = 0;  // in units of 5 ms from the start of the recording
};

EdfHeader DecodeEdfHeader(const uint8_t* bytes);
int32_t DecodeLe32(const uint8_t* bytes);

// A type-4 body: (length - 1) with the two lowest bits cleared, as a signed 16-bit
// size. Zero (lengths 1 to 4) and negative values (length 0, above 32,768) are
// malformed.
int VariableBodySize(uint16_t length);

class IByteSource {
public:
    virtual ~IByteSource() = default;
    // Reads up to n bytes and returns how many arrived; fewer means the data ended
    // or, when Failed() says so, that reading failed.
    virtual size_t Read(uint8_t* into, size_t n) = 0;
    virtual bool Failed() const { return false; }
};

class MemoryByteSource : public IByteSource {
public:
    MemoryByteSource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Read(uint8_t* into, size_t n) override;

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Reads from an open stdio stream it does not own.
class StdioByteSource : public IByteSource {
public:
    explicit StdioByteSource(std::FILE* file) : file_(file) {}
    size_t Read(uint8_t* into, size_t n) override;
    bool Failed() const override;

private:
    std::FILE* file_;
};

enum class EdfReadStatus {
    kRecord,        // one whole record read
    kEnd,           // no data at all remained
    kCutShort,      // the data ended inside a record
    kReadError,     // the source reported a failure
    kUnknownType,   // the header's type is not 1 to 4; the header is consumed
    kEmptyBody,     // type 4 with length 1 to 4; the header is consumed
    kOversizeBody,  // type 4 with length 0 or above 32,768; the header is consumed
};

// A file in the published European Data Format starts with its version, "0" and
// seven blanks; a record stream never does (its first type would be 0x2030).
constexpr size_t kEuropeanDataFormatMarkSize = 8;
bool LooksLikeEuropeanDataFormat(const uint8_t* head, size_t size);

// The replay status for a reader outcome: -5 for a short or failed read and a
// malformed record, -6 for an impossible type-4 body, 0 otherwise.
int16_t EdfStatusCode(EdfReadStatus status);
const char* EdfReadStatusText(EdfReadStatus status);

struct EdfRecord {
    EdfHeader header;
    uint64_t offset = 0;              // of the header from the start of the stream
    size_t body_size = 0;             // bytes of the body
    uint8_t body[kEdfKeptBody] = {};  // the first bytes of the body
    int32_t sample = 0;               // type 1: body bytes 0-3
};

class CEdfReader {
public:
    explicit CEdfReader(IByteSource& source) : source_(source) {}
    CEdfReader(const CEdfReader&) = delete;
    CEdfReader& operator=(const CEdfReader&) = delete;

    EdfReadStatus Next(EdfRecord& record);
    uint64_t Offset() const { return offset_; }  // bytes consumed so far

private:
    size_t ReadFully(uint8_t* into, size_t n);
    bool Skip(size_t n);

    IByteSource& source_;
    uint64_t offset_ = 0;
    uint8_t scratch_[4096];
};

}  // namespace recordings
