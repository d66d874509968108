#include "recordings/edf_writer.h"

#include <cerrno>
#include <cstring>

#include "recordings/edf_reader.h"

namespace recordings {
namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutHeader(std::vector<uint8_t>& out, uint16_t type, uint16_t length, uint32_t time) {
    Put16(out, type);
    Put16(out, length);
    Put32(out, time);
}

}  // namespace

void AppendEdfSample(std::vector<uint8_t>& out, uint32_t time, int32_t sample,
                     const uint8_t* spare8) {
    PutHeader(out, kEdfSampleRecord, 0, time);
    Put32(out, static_cast<uint32_t>(sample));
    for (int i = 0; i < 8; ++i) out.push_back(spare8 != nullptr ? spare8[i] : 0);
}

void AppendEdfValues(std::vector<uint8_t>& out, uint32_t time, uint16_t v0, uint16_t v1,
                     uint16_t v2, uint8_t b0, uint8_t b1) {
    PutHeader(out, kEdfValuesRecord, 0, time);
    Put16(out, v0);
    Put16(out, v1);
    Put16(out, v2);
    out.push_back(b0);
    out.push_back(b1);
}

void AppendEdfBlock(std::vector<uint8_t>& out, uint32_t time, const uint8_t* body20) {
    PutHeader(out, kEdfBlockRecord, 0, time);
    for (size_t i = 0; i < kEdfBlockBody; ++i) out.push_back(body20 != nullptr ? body20[i] : 0);
}

bool AppendEdfVariable(std::vector<uint8_t>& out, uint32_t time, const uint8_t* body, size_t size) {
    if (size < 4 || size > kEdfMaxVariableBody || size % 4 != 0) return false;
    // The reader takes (length - 1) with the low two bits cleared, so size + 1 is exact.
    PutHeader(out, kEdfVariableRecord, static_cast<uint16_t>(size + 1), time);
    for (size_t i = 0; i < size; ++i) out.push_back(body != nullptr ? body[i] : 0);
    return true;
}

CEdfWriter::~CEdfWriter() { Close(); }

bool CEdfWriter::Open(const std::string& path) {
    Close();
    failed_ = false;
    error_.clear();
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        error_ = "cannot create " + path + ": " + std::strerror(errno);
        failed_ = true;
        return false;
    }
    path_ = path;
    return true;
}

bool CEdfWriter::Put(const std::vector<uint8_t>& bytes) {
    if (file_ == nullptr) {
        if (error_.empty()) error_ = "recording is not open";
        failed_ = true;
        return false;
    }
    if (failed_) return false;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        error_ = "cannot write " + path_ + ": " + std::strerror(errno);
        failed_ = true;
    }
    return !failed_;
}

bool CEdfWriter::WriteSample(uint32_t time, int32_t sample, const uint8_t* spare8) {
    buffer_.clear();
    AppendEdfSample(buffer_, time, sample, spare8);
    return Put(buffer_);
}

bool CEdfWriter::WriteValues(uint32_t time, uint16_t v0, uint16_t v1, uint16_t v2, uint8_t b0,
                             uint8_t b1) {
    buffer_.clear();
    AppendEdfValues(buffer_, time, v0, v1, v2, b0, b1);
    return Put(buffer_);
}

bool CEdfWriter::WriteBlock(uint32_t time, const uint8_t* body20) {
    buffer_.clear();
    AppendEdfBlock(buffer_, time, body20);
    return Put(buffer_);
}

bool CEdfWriter::WriteVariable(uint32_t time, const uint8_t* body, size_t size) {
    buffer_.clear();
    if (!AppendEdfVariable(buffer_, time, body, size)) {
        error_ = "variable record body must be a multiple of 4 bytes from 4 to 32764";
        return false;
    }
    return Put(buffer_);
}

bool CEdfWriter::Close() {
    if (file_ == nullptr) return !failed_;
    if (std::fclose(file_) != 0 && !failed_) {
        error_ = "cannot write " + path_ + ": " + std::strerror(errno);
        failed_ = true;
    }
    file_ = nullptr;
    return !failed_;
}

}  // namespace recordings
