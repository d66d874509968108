// The oximetry report as a PDF of one to three A4 pages (cairo): header, summary,
// histograms, the whole session's trend, the desaturations and the definitions.
// Qt-free, so velt-process writes it as the review window does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sessions/night_report.h"

namespace report {

struct Mark {
    int64_t second = 0;  // from the report's start
    std::string text;
};

// What the report says about where its numbers come from.
struct ReportInfo {
    int64_t start_unix_us = 0;  // the wall-clock time of second 0
    std::string port;
    int protocol = 0;
    std::string documentation[4];  // operator, serial, sensor, comment
    std::string patient;           // as the EDF+ export takes it
    std::string version;           // the program's
    std::string settings;          // the report's range and choices, in words
    std::vector<Mark> marks;
};

// Writes the report beside path and gives it the name when whole; false with *error.
bool WriteReportPdf(const std::string& path, const ReportInfo& info, const Numbers& numbers,
                    const std::vector<Second>& seconds, std::string* error);

// "1:02:03" for a number of seconds.
std::string Duration(int64_t seconds);

}  // namespace report
