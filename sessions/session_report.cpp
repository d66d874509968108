#include "sessions/session_report.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/file_identity.h"

namespace report {

void AddShownSecond(std::vector<Second>* seconds, int64_t second,
                    const data_export::SecondValues& values) {
    if (second < 0) return;
    if (static_cast<size_t>(second) >= seconds->size()) seconds->resize(second + 1);
    const std::optional<double> spo2 = data_export::ShownValue(values.spo2);
    const std::optional<double> pulse = data_export::ShownValue(values.pulse);
    (*seconds)[second] = {spo2 ? static_cast<float>(*spo2) : NAN,
                          pulse ? static_cast<float>(*pulse) : NAN};
}

std::string RangeText(int64_t from_s, int64_t to_s) {
    if (from_s == 0 && to_s < 0) return "the whole stream";
    return "from " + Duration(from_s) + " to " +
           (to_s < 0 ? std::string("the end") : Duration(to_s));
}

bool ReportCaptureFiles(const std::vector<std::string>& captures, const CaptureReport& request,
                        const CaptureFeedControl& control, std::string* error, std::string* skipped,
                        int64_t* seconds) {
    for (const std::string* out : {&request.pdf_path, &request.json_path}) {
        for (const std::string& capture : captures) {
            if (!out->empty() && platform::SameFile(*out, capture)) {
                *error = "\"" + *out + "\" is the session being reported: choose another file";
                return false;
            }
        }
    }
    ExportOptions options = request.range;
    options.edf_path.clear();
    options.csv_path.clear();
    std::vector<Second> shown;
    ExportTaps taps;
    taps.second = [&shown](int64_t second, const data_export::SecondValues& values) {
        AddShownSecond(&shown, second, values);
    };
    if (!ExportCaptureFiles(captures, options, control, error, skipped, seconds, &taps))
        return false;
    Numbers numbers = Compute(shown, 0);
    numbers.marks = taps.noted.marks;
    numbers.alarms_recorded = taps.noted.alarms_recorded;
    std::copy(std::begin(taps.noted.alarm_starts), std::end(taps.noted.alarm_starts),
              numbers.alarm_starts);
    if (!request.json_path.empty()) {
        std::FILE* f = std::fopen(request.json_path.c_str(), "wb");
        const std::string json = Json(numbers);
        const bool written =
            f != nullptr && std::fwrite(json.data(), 1, json.size(), f) == json.size();
        const int e = errno;
        if (f == nullptr || std::fclose(f) != 0 || !written) {
            *error = "cannot write \"" + request.json_path + "\": " + std::strerror(e);
            return false;
        }
    }
    ReportInfo info;
    info.start_unix_us = taps.start_unix_us + options.from_s * 1000000;
    info.port = captures.empty() ? std::string() : captures.front();
    info.marks = taps.marks;
    info.protocol = taps.protocol;
    for (int i = 0; i < 4; ++i) info.documentation[i] = taps.documentation[i];
    info.patient = options.patient;
    info.version = request.version;
    info.settings = RangeText(options.from_s, options.to_s);
    if (WriteReportPdf(request.pdf_path, info, numbers, shown, error)) return true;
    *error = "cannot write the report: " + *error;
    return false;
}

}  // namespace report
