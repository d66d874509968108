// The oximetry report of a session as velt-process and the review window write it: the
// SpO2 and pulse the export's pipeline shows once a second, summed up by report::Compute,
// into a PDF (and the numbers as JSON). Qt-free.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export/second_values.h"
#include "sessions/night_report.h"
#include "sessions/report_pdf.h"
#include "sessions/session_export.h"

namespace report {

// One second as the export showed it, at its place (seconds from the range's start).
void AddShownSecond(std::vector<Second>* seconds, int64_t second,
                    const data_export::SecondValues& values);

// The report's range in words: "the whole stream", "from 0:01:00 to the end".
std::string RangeText(int64_t from_s, int64_t to_s);

// What a report of a capture file is asked for. range: from_s, to_s and the patient
// field (its EDF+ and CSV paths are ignored).
struct CaptureReport {
    ExportOptions range;
    std::string pdf_path;
    std::string json_path;  // "": none
    std::string version;    // the program's
};

// Runs the capture (a connection's files, in order) through the export's pipeline (on
// any thread) and writes the PDF and the JSON, with the session's marks and recorded
// alarms; an output that is one of the captures is refused. False with *error (or
// kExportCancelled). *skipped and *seconds as for ExportCaptureFiles.
bool ReportCaptureFiles(const std::vector<std::string>& captures, const CaptureReport& request,
                        const CaptureFeedControl& control, std::string* error,
                        std::string* skipped = nullptr, int64_t* seconds = nullptr);

}  // namespace report
