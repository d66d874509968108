#include "sessions/night_report.h"

#include <algorithm>
#include <cstdio>

namespace report {
namespace {

constexpr int kBaselineSeconds = 120;
constexpr int kBaselineValid = 30;
constexpr int kDesaturationSeconds = 10;

bool Valid(float v) { return !std::isnan(v); }

double Percent(int64_t part, int64_t whole) {
    return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0;
}

// The desaturations of d % (kReportDefinitions).
void FindDesaturations(const std::vector<Second>& s, int d, std::vector<Desaturation>* out) {
    const int64_t n = static_cast<int64_t>(s.size());
    for (int64_t i = 0; i < n;) {
        if (!Valid(s[i].spo2)) {
            ++i;
            continue;
        }
        double baseline = -1;
        int valid = 0;
        for (int64_t k = std::max<int64_t>(0, i - kBaselineSeconds); k < i; ++k) {
            if (!Valid(s[k].spo2)) continue;
            ++valid;
            baseline = std::max(baseline, static_cast<double>(s[k].spo2));
        }
        if (valid < kBaselineValid || s[i].spo2 > baseline - d) {
            ++i;
            continue;
        }
        int64_t j = i;
        double nadir = s[i].spo2;
        while (j < n && Valid(s[j].spo2) && s[j].spo2 <= baseline - d) {
            nadir = std::min(nadir, static_cast<double>(s[j].spo2));
            ++j;
        }
        if (j - i < kDesaturationSeconds) {
            ++i;
            continue;
        }
        out->push_back({d, i, j - i, baseline, nadir});
        i = j;
    }
}

void MeanDepthAndLength(const std::vector<Desaturation>& events, int d, double* depth,
                        double* length) {
    double depths = 0, lengths = 0;
    int count = 0;
    for (const Desaturation& e : events) {
        if (e.threshold != d) continue;
        depths += e.baseline - e.nadir;
        lengths += static_cast<double>(e.duration);
        ++count;
    }
    if (count > 0) {
        *depth = depths / count;
        *length = lengths / count;
    }
}

}  // namespace

const char* const kReportDefinitions[] = {
    "The input is the SpO2 shown once a second (the EDF+ export's SpO2 channel). A second "
    "without a shown value is invalid; invalid seconds count in no time, mean or rate.",
    "A desaturation of d % (d = 3 and 4): a run of at least 10 consecutive valid seconds with "
    "SpO2 \u2264 B \u2212 d, where B, the baseline, is the highest valid SpO2 in the 120 "
    "seconds before the run's first second; when fewer than 30 of those 120 seconds are "
    "valid, no desaturation can start there. The run ends at the first second that is "
    "invalid or above B \u2212 d.",
    "ODI d = desaturations of d % per hour of valid time. T90 = valid time with SpO2 below "
    "90 %. Mean, median, minimum and standard deviation (over n) are of the valid seconds; "
    "pulse figures are of the seconds with a shown pulse.",
    nullptr};

Numbers Compute(const std::vector<Second>& seconds, int marks) {
    Numbers r;
    r.seconds = static_cast<int64_t>(seconds.size());
    r.marks = marks;
    std::vector<float> valid;
    valid.reserve(seconds.size());
    double sum = 0, pulse_sum = 0;
    int64_t pulse_count = 0;
    static constexpr int kSpo2Floor[6] = {95, 90, 85, 80, 75, -1};
    static constexpr int kPulseFloor[7] = {-1, 40, 60, 80, 100, 120, 140};
    for (size_t i = 0; i < seconds.size(); ++i) {
        const Second& s = seconds[i];
        if (Valid(s.pulse)) {
            pulse_sum += s.pulse;
            ++pulse_count;
            r.pulse_min = pulse_count == 1 ? s.pulse : std::min<double>(r.pulse_min, s.pulse);
            r.pulse_max = pulse_count == 1 ? s.pulse : std::max<double>(r.pulse_max, s.pulse);
            int band = 6;
            while (band > 0 && s.pulse < kPulseFloor[band]) --band;
            ++r.pulse_bands[band].seconds;
        }
        if (!Valid(s.spo2)) continue;
        valid.push_back(s.spo2);
        sum += s.spo2;
        if (r.spo2_min_at < 0 || s.spo2 < r.spo2_min) {
            r.spo2_min = s.spo2;
            r.spo2_min_at = static_cast<int64_t>(i);
        }
        for (Numbers::Below& b : r.below) b.seconds += s.spo2 < b.limit;
        int band = 0;
        while (s.spo2 < kSpo2Floor[band]) ++band;
        ++r.spo2_bands[band].seconds;
    }
    r.valid_seconds = static_cast<int64_t>(valid.size());
    r.invalid_percent = Percent(r.seconds - r.valid_seconds, r.seconds);
    for (Numbers::Below& b : r.below) b.percent = Percent(b.seconds, r.valid_seconds);
    for (Band& b : r.spo2_bands) b.percent = Percent(b.seconds, r.valid_seconds);
    for (Band& b : r.pulse_bands) b.percent = Percent(b.seconds, pulse_count);
    if (pulse_count > 0) r.pulse_mean = pulse_sum / static_cast<double>(pulse_count);
    if (!valid.empty()) {
        const double n = static_cast<double>(valid.size());
        r.spo2_mean = sum / n;
        double squares = 0;
        for (float v : valid) squares += (v - r.spo2_mean) * (v - r.spo2_mean);
        r.spo2_sd = std::sqrt(squares / n);
        std::sort(valid.begin(), valid.end());
        const size_t mid = valid.size() / 2;
        r.spo2_median = valid.size() % 2 ? valid[mid] : (valid[mid - 1] + valid[mid]) / 2.0;
    }
    FindDesaturations(seconds, 3, &r.events);
    FindDesaturations(seconds, 4, &r.events);
    std::stable_sort(
        r.events.begin(), r.events.end(),
        [](const Desaturation& a, const Desaturation& b) { return a.start < b.start; });
    for (const Desaturation& e : r.events)
        (e.threshold == 3 ? r.desaturations3 : r.desaturations4)++;
    const double hours = static_cast<double>(r.valid_seconds) / 3600.0;
    if (hours > 0) {
        r.odi3 = r.desaturations3 / hours;
        r.odi4 = r.desaturations4 / hours;
    }
    MeanDepthAndLength(r.events, 3, &r.depth3, &r.length3);
    MeanDepthAndLength(r.events, 4, &r.depth4, &r.length4);
    return r;
}

std::string Fixed(double value, int decimals) {
    if (std::isnan(value)) return "";
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Json(const Numbers& r) {
    auto number = [](double v, int decimals) {
        const std::string s = Fixed(v, decimals);
        return s.empty() ? std::string("null") : s;
    };
    std::string j = "{\n";
    auto key = [&](const char* name, const std::string& value) {
        j += std::string("  \"") + name + "\": " + value + ",\n";
    };
    key("seconds", std::to_string(r.seconds));
    key("valid_seconds", std::to_string(r.valid_seconds));
    key("spo2_mean", number(r.spo2_mean, 1));
    key("spo2_median", number(r.spo2_median, 1));
    key("spo2_min", number(r.spo2_min, 1));
    key("spo2_min_at", std::to_string(r.spo2_min_at));
    key("spo2_sd", number(r.spo2_sd, 2));
    key("t90_seconds", std::to_string(r.below[0].seconds));
    key("t90_percent", number(r.below[0].percent, 1));
    key("desaturations3", std::to_string(r.desaturations3));
    key("desaturations4", std::to_string(r.desaturations4));
    key("odi3", number(r.odi3, 1));
    key("odi4", number(r.odi4, 1));
    key("pulse_mean", number(r.pulse_mean, 1));
    key("pulse_min", number(r.pulse_min, 1));
    key("pulse_max", number(r.pulse_max, 1));
    key("marks", std::to_string(r.marks));
    if (r.alarms_recorded) {
        j += "  \"alarms\": {";
        for (int k = 0; k < alarms::kKindCount; ++k)
            j += std::string(k ? ", " : "") + "\"" + alarms::Name(static_cast<alarms::Kind>(k)) +
                 "\": " + std::to_string(r.alarm_starts[k]);
        j += "},\n";
    }
    j += "  \"events\": [";
    for (size_t i = 0; i < r.events.size(); ++i) {
        const Desaturation& e = r.events[i];
        j += std::string(i ? ",\n" : "\n") + "    {\"threshold\": " + std::to_string(e.threshold) +
             ", \"start\": " + std::to_string(e.start) +
             ", \"duration\": " + std::to_string(e.duration) +
             ", \"baseline\": " + Fixed(e.baseline, 1) + ", \"nadir\": " + Fixed(e.nadir, 1) + "}";
    }
    j += r.events.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return j;
}

std::string AlarmSummary(const Numbers& n) {
    if (!n.alarms_recorded) return "not recorded";
    std::string out;
    for (int k = 0; k < alarms::kKindCount; ++k)
        if (n.alarm_starts[k] > 0)
            out += std::string(out.empty() ? "" : ", ") +
                   alarms::Name(static_cast<alarms::Kind>(k)) + " " +
                   std::to_string(n.alarm_starts[k]);
    return out.empty() ? "none" : out;
}

}  // namespace report
