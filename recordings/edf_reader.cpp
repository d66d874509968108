#include "recordings/edf_reader.h"

#include <algorithm>
#include <cstring>

namespace recordings {

EdfHeader DecodeEdfHeader(const uint8_t* b) {
    EdfHeader h;
    h.type = static_cast<uint16_t>(b[0] | (b[1] << 8));
    h.length = static_cast<uint16_t>(b[2] | (b[3] << 8));
    h.time = static_cast<uint32_t>(b[4]) | (static_cast<uint32_t>(b[5]) << 8) |
             (static_cast<uint32_t>(b[6]) << 16) | (static_cast<uint32_t>(b[7]) << 24);
    return h;
}

int32_t DecodeLe32(const uint8_t* b) {
    const uint32_t u = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                       (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    return static_cast<int32_t>(u);
}

int VariableBodySize(uint16_t length) {
    const uint16_t size = static_cast<uint16_t>((length - 1u) & 0xFFFCu);
    return static_cast<int16_t>(size);
}

size_t MemoryByteSource::Read(uint8_t* into, size_t n) {
    const size_t take = std::min(n, size_ - pos_);
    if (take > 0) std::memcpy(into, data_ + pos_, take);
    pos_ += take;
    return take;
}

size_t StdioByteSource::Read(uint8_t* into, size_t n) { return std::fread(into, 1, n, file_); }

bool StdioByteSource::Failed() const { return std::ferror(file_) != 0; }

bool LooksLikeEuropeanDataFormat(const uint8_t* head, size_t size) {
    if (size < kEuropeanDataFormatMarkSize || head[0] != '0') return false;
    for (size_t i = 1; i < kEuropeanDataFormatMarkSize; ++i)
        if (head[i] != ' ') return false;
    return true;
}

int16_t EdfStatusCode(EdfReadStatus status) {
    switch (status) {
        case EdfReadStatus::kRecord:
        case EdfReadStatus::kEnd:
            return 0;
        case EdfReadStatus::kOversizeBody:
            return -6;
        default:
            return -5;
    }
}

const char* EdfReadStatusText(EdfReadStatus status) {
    switch (status) {
        case EdfReadStatus::kRecord:
            return "record";
        case EdfReadStatus::kEnd:
            return "end of file";
        case EdfReadStatus::kCutShort:
            return "file ends inside a record";
        case EdfReadStatus::kReadError:
            return "read error";
        case EdfReadStatus::kUnknownType:
            return "unknown record type";
        case EdfReadStatus::kEmptyBody:
            return "variable record with a length below 5";
        case EdfReadStatus::kOversizeBody:
            return "variable record with a length of 0 or above 32768";
    }
    return "?";
}

size_t CEdfReader::ReadFully(uint8_t* into, size_t n) {
    size_t got = 0;
    while (got < n) {
        const size_t r = source_.Read(into + got, n - got);
        if (r == 0) break;
        got += r;
    }
    offset_ += got;
    return got;
}

bool CEdfReader::Skip(size_t n) {
    while (n > 0) {
        const size_t chunk = std::min(n, sizeof scratch_);
        if (ReadFully(scratch_, chunk) != chunk) return false;
        n -= chunk;
    }
    return true;
}

EdfReadStatus CEdfReader::Next(EdfRecord& record) {
    record = EdfRecord{};
    record.offset = offset_;
    uint8_t head[kEdfHeaderSize];
    const size_t got = ReadFully(head, sizeof head);
    if (got != sizeof head) {
        if (source_.Failed()) return EdfReadStatus::kReadError;
        return got == 0 ? EdfReadStatus::kEnd : EdfReadStatus::kCutShort;
    }
    record.header = DecodeEdfHeader(head);
    switch (record.header.type) {
        case kEdfSampleRecord:
            record.body_size = kEdfSampleBody;
            break;
        case kEdfValuesRecord:
            record.body_size = kEdfValuesBody;
            break;
        case kEdfBlockRecord:
            record.body_size = kEdfBlockBody;
            break;
        case kEdfVariableRecord: {
            const int size = VariableBodySize(record.header.length);
            if (size < 0) return EdfReadStatus::kOversizeBody;
            if (size == 0) return EdfReadStatus::kEmptyBody;
            record.body_size = static_cast<size_t>(size);
            break;
        }
        default:
            return EdfReadStatus::kUnknownType;
    }
    const size_t kept = std::min(record.body_size, kEdfKeptBody);
    const bool whole = ReadFully(record.body, kept) == kept && Skip(record.body_size - kept);
    if (!whole) return source_.Failed() ? EdfReadStatus::kReadError : EdfReadStatus::kCutShort;
    if (record.header.type == kEdfSampleRecord) record.sample = DecodeLe32(record.body);
    return EdfReadStatus::kRecord;
}

}  // namespace recordings
