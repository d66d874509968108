// Writes recording files in the record stream the replay reads: every record an
// 8-byte little-endian header (type, length, time stamp in 5 ms units) and its
// body. Used by tests, the replay tool's fixtures and the simulator's recorder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace recordings {

// Encoders: each appends one whole record to out.
void AppendEdfSample(std::vector<uint8_t>& out, uint32_t time, int32_t sample,
                     const uint8_t* spare8 = nullptr);
void AppendEdfValues(std::vector<uint8_t>& out, uint32_t time, uint16_t v0, uint16_t v1,
                     uint16_t v2, uint8_t b0, uint8_t b1);
void AppendEdfBlock(std::vector<uint8_t>& out, uint32_t time, const uint8_t* body20);
// A type-4 body must be a multiple of 4 bytes from 4 to 32,764; returns false (and
// appends nothing) otherwise.
bool AppendEdfVariable(std::vector<uint8_t>& out, uint32_t time, const uint8_t* body, size_t size);

class CEdfWriter {
public:
    CEdfWriter() = default;
    ~CEdfWriter();
    CEdfWriter(const CEdfWriter&) = delete;
    CEdfWriter& operator=(const CEdfWriter&) = delete;

    // Creates or truncates the file ("wb"). False with Error() set when it cannot.
    bool Open(const std::string& path);
    bool IsOpen() const { return file_ != nullptr; }

    // Each returns false once any write has failed (or the file is not open).
    bool WriteSample(uint32_t time, int32_t sample, const uint8_t* spare8 = nullptr);
    bool WriteValues(uint32_t time, uint16_t v0, uint16_t v1, uint16_t v2, uint8_t b0, uint8_t b1);
    bool WriteBlock(uint32_t time, const uint8_t* body20);
    bool WriteVariable(uint32_t time, const uint8_t* body, size_t size);

    // Flushes and closes; false when anything written since Open was lost.
    bool Close();
    const std::string& Error() const { return error_; }

private:
    bool Put(const std::vector<uint8_t>& bytes);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string error_;
    bool failed_ = false;
    std::vector<uint8_t> buffer_;
};

}  // namespace recordings
