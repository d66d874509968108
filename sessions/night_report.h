// What a session held, in numbers: the SpO2 shown once a second (the EDF+ export's
// SpO2 channel) summed up as an oximetry report, with every number computed as the
// report's definitions say (kReportDefinitions). Qt-free.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "processing/alarms.h"

namespace report {

// One second of a session: what the window showed at its end (NaN: nothing shown).
struct Second {
    float spo2 = NAN;
    float pulse = NAN;
};

struct Desaturation {
    int threshold = 3;     // d, in % SpO2
    int64_t start = 0;     // seconds from the session's (or the range's) start
    int64_t duration = 0;  // seconds
    double baseline = 0, nadir = 0;
};

struct Band {
    const char* label;
    int64_t seconds = 0;
    double percent = 0;  // of the valid seconds
};

struct Numbers {
    int64_t seconds = 0, valid_seconds = 0;
    double invalid_percent = 0;  // of all seconds
    // NaN when no second is valid.
    double spo2_mean = NAN, spo2_median = NAN, spo2_min = NAN, spo2_sd = NAN;
    int64_t spo2_min_at = -1;
    struct Below {
        int limit;
        int64_t seconds;
        double percent;
    } below[4] = {{90, 0, 0}, {88, 0, 0}, {85, 0, 0}, {80, 0, 0}};
    int desaturations3 = 0, desaturations4 = 0;
    double odi3 = 0, odi4 = 0;                                        // per hour of valid time
    double depth3 = NAN, length3 = NAN, depth4 = NAN, length4 = NAN;  // means
    double pulse_mean = NAN, pulse_min = NAN, pulse_max = NAN;
    Band spo2_bands[6] = {{"\u2265 95"},  {"90\u201394"}, {"85\u201389"},
                          {"80\u201384"}, {"75\u201379"}, {"< 75"}};
    Band pulse_bands[7] = {{"< 40"},         {"40\u201359"},   {"60\u201379"}, {"80\u201399"},
                           {"100\u2013119"}, {"120\u2013139"}, {"\u2265 140"}};
    std::vector<Desaturation> events;  // in time order, 3 % and 4 % ones together
    int marks = 0;
    // The alarms the window recorded in the session (starts by kind, in alarms::Kind
    // order); none recorded: the session holds no alarm records (not part of Compute).
    bool alarms_recorded = false;
    int alarm_starts[alarms::kKindCount] = {};
};

// "spo2-low 2, pulse-high 1", "none" or "not recorded".
std::string AlarmSummary(const Numbers& numbers);

// The definitions as the report prints them.
extern const char* const kReportDefinitions[];

Numbers Compute(const std::vector<Second>& seconds, int marks);

// A number as the report shows it ("" for NaN): the JSON and the PDF say the same.
std::string Fixed(double value, int decimals);

// The numbers as JSON (keys valid_seconds, spo2_mean, ..., events).
std::string Json(const Numbers& numbers);

}  // namespace report
