// A recorded session made from the device model: the capture a recording program
// would have written for a device that sent `seconds` of records, in chunks of 20 ms,
// with the gaps asked for. For tests and benchmarks of the review.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "recordings/capture_file.h"
#include "tools/oximeter-sim/device_model.h"

namespace sim {

struct SessionGap {
    double at_s = 0;      // when the device went quiet
    double length_s = 0;  // for how long
    bool lost = false;    // true: the device went away (lost, then back); false: silent
};

// A record of the window beside the device's bytes: an alarm (kind 15) or a mark (16).
struct SessionNote {
    double at_s = 0;
    recordings::CaptureKind kind = recordings::CaptureKind::Mark;
    std::string text;
};

struct SessionOptions {
    Options device;
    double seconds = 60;
    int64_t start_unix_us = 1765300000000000;  // 2025-12-09 17:06:40 UTC
    std::vector<SessionGap> gaps;
    bool port_records = true;  // the port opened at 0 and closed at the end
    std::vector<SessionNote> notes;
};

// Writes the capture; false with *error set.
bool WriteSimulatedSession(const std::string& path, const SessionOptions& options,
                           std::string* error);

}  // namespace sim
