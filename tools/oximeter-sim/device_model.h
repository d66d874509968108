// The simulated oximeter: physiological signals and the byte stream the device
// sends, record by record (one record per 20 ms). Deterministic for a seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/oximeter-sim/wire_encoder.h"

namespace sim {

struct Options {
    int protocol = 1;
    double bpm = 75;
    double spo2 = 97;
    double hbco = 1.5;
    double perfusion = 2.0;  // %
    double noise = 0.1;      // 0..1
    double ptt_ms = 200;     // ECG beat to the pulse's steepest fall
    uint64_t seed = 1;
    int status = 0;           // device status byte
    double bad_checksum = 0;  // fault rates per frame
    double drop_byte = 0;
    double cut_frame = 0;
    bool burst = false;  // a 30 ms noise burst on the line every 5 s
};

// Maps "ok", "sensor", "finger", "perfusion", "selftest" to the status byte; -1 if unknown.
int StatusCode(const std::string& name);

class DeviceModel {
public:
    explicit DeviceModel(const Options& options);

    // The bytes of the next 20 ms of device time.
    std::vector<uint8_t> NextRecordBytes();
    // The payload of the next framed record (for tests); advances time like NextRecordBytes.
    std::vector<uint8_t> NextPayload(uint8_t* type);

    // The measured values from the next record on (a scenario's); the pulse goes on
    // from the phase it has reached.
    void SetValues(const Options& values);
    const Options& values() const { return o_; }

    uint64_t records() const { return record_; }
    // The plethysmogram value of the latest record (the IR signal level, or the
    // reduced protocol's sample), for the recorder.
    int LastPleth() const { return last_pleth_; }
    uint64_t frames() const { return frames_; }

private:
    int last_pleth_ = 0;
    void Derive();     // the signal's shape from the values
    double Uniform();  // [0, 1)
    double Gauss();
    double PulseShape(double t) const;  // 0..1, rises quickly after each beat's onset
    double EcgSample(double t);
    std::vector<uint8_t> ReducedBytes();
    void Faults(std::vector<uint8_t>* frame);
    void Burst(std::vector<uint8_t>* bytes);

    Options o_;
    uint64_t rng_;
    uint64_t record_ = 0;
    uint64_t frames_ = 0;
    uint8_t sequence_ = 0;
    double beat_period_;
    double beat_shift_ = 0;  // seconds the beats lag the clock after a change of rate
    double red_ratio_;
    double ir_amplitude_;
};

}  // namespace sim
