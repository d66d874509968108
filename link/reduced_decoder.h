// Record codes of the reduced protocol (3): 0xF8..0xFC select the record, every
// other byte is data for the current code. 0xF8 (samples) stays current; the others
// take one data byte. Pure code over bytes.
#pragma once

#include <cstddef>
#include <cstdint>

class ReducedDecoder {
public:
    static constexpr uint8_t kSample = 0xF8;
    static constexpr uint8_t kSpo2 = 0xF9;
    static constexpr uint8_t kPulse = 0xFA;
    static constexpr uint8_t kStatus = 0xFB;
    static constexpr uint8_t kPerfusion2 = 0xFC;

    void Reset() {
        code_ = 0;
        dropped_ = 0;
    }

    // True when b completes a record (code, b).
    bool Push(uint8_t b, uint8_t& code) {
        if (b >= kSample && b <= kPerfusion2) {
            code_ = b;
            return false;
        }
        if (code_ == 0) {
            ++dropped_;
            return false;
        }
        code = code_;
        if (code_ != kSample) code_ = 0;
        return true;
    }

    // Calls record(code, value) for every record completed by the bytes.
    template <class Record>
    void Feed(const uint8_t* data, size_t size, Record&& record) {
        for (size_t i = 0; i < size; ++i) {
            uint8_t code;
            if (Push(data[i], code)) record(code, data[i]);
        }
    }

    uint8_t current_code() const { return code_; }  // 0: none
    uint32_t dropped() const { return dropped_; }   // data bytes without a code

private:
    uint8_t code_ = 0;
    uint32_t dropped_ = 0;
};
