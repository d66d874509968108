// Interpretation of decoded packets into view fields, the trend and the logs
// (framed protocols), and of the reduced protocol's records. Qt-free.
//
// Contract used by the device link (COximeter):
//  - the link owns one LinkInterpretation and calls InterpretRecord() for every
//    record it dequeues, in the GUI thread;
//  - ResetDisplay() of the link calls ResetForDisplay() and writes the "x" texts itself;
//  - SetTrendChannel() of the link sets trend_channel and calls ResetTrend();
//  - the reduced receive thread owns one ReducedInterpreter (private to that thread).
#pragma once

#include <cstdint>

#include "processing/measurement_view.h"

namespace processing {

class Measurement;  // process-wide state, processing/measurement.h

// Per-link interpretation state (initial values as constructed).
struct LinkInterpretation {
    int trend_channel = 1;               // 1 IR, 2 Red, 3 Red2
    uint8_t red2_mode = 0;               // 0 undetermined, 1 third LED absent, 2 present
    int16_t last_led[3] = {-1, -1, -1};  // IR, Red, Red2
    int16_t last_gain = -1;
    int highlight = 0;  // 0..5
    int16_t divider = 0;
    double rms_mean[3] = {0, 0, 0};
    double rms_var[3] = {0, 0, 0};
    double trend_mean = 0.0;
    double trend_scale = 600.0;
    int16_t trend_hold = 0;
    // The time field shows this moment (seconds since 1970) instead of the clock's
    // when it is 0 or more: a review shows when the record was received. Kept by
    // ResetForDisplay.
    int64_t shown_time = -1;

    // Everything but the trend channel back to its initial value.
    void ResetForDisplay();
    // Trend mean 0, scale 600, hold 0.
    void ResetTrend();
};

// A record shorter than its common block is skipped: not counted, no sample seen.
constexpr int kCommonBlockLength = 34;

// Steps 1 to 15 for one record of `length` payload bytes. view may be null (nothing
// shown, logs still written).
void InterpretRecord(Measurement& m, LinkInterpretation& state, uint8_t type,
                     const uint8_t* payload, int length, IMeasurementView* view);
// The same for a record that arrived at `tick` (ms, platform::GetTickCount), the time
// its result line in fTxtLog2.txt carries.
void InterpretRecord(Measurement& m, LinkInterpretation& state, uint8_t type,
                     const uint8_t* payload, int length, IMeasurementView* view, uint32_t tick);

// The reduced protocol's record handler; one per receive thread.
class ReducedInterpreter {
public:
    // code 0xF8..0xFC, one data byte. view may be null. heartbeat: the link's flag.
    void OnRecord(uint8_t code, uint8_t value, IMeasurementView* view, bool heartbeat);
    // A review paces the ADC field by the recorded time (ms) instead of the clock.
    void SetRecordedTick(uint32_t ms) {
        recorded_tick_ = ms;
        use_recorded_tick_ = true;
    }

private:
    uint32_t recorded_tick_ = 0;
    bool use_recorded_tick_ = false;
    int last_spo2_ = -1;
    int last_pulse_ = -1;
    int last_perf2_ = -1;
    uint32_t next_adc_tick_ = 0;
    bool adc_tick_set_ = false;
};

}  // namespace processing
