// velt-process's export options: --edf, --csv, --from, --to, --start, --patient.
#pragma once

#include <cstdint>
#include <string>

#include "sessions/session_export.h"

extern const char kExportUsage[];

struct ExportArguments {
    ExportOptions options;
    bool start_given = false;
    int64_t start_unix_us = 0;
    std::string report_pdf, report_json;  // the session's report
    bool alarms = false;                  // print the alarms' starts and ends
    std::string alarm_settings;           // an INI file with an [alarms] section
    std::string error;                    // what was wrong, after a refusal
    bool Files() const { return !options.edf_path.empty() || !options.csv_path.empty(); }
    bool Report() const { return !report_pdf.empty() || !report_json.empty(); }
    // The once-a-second pipeline of a framed stream runs.
    bool Wanted() const { return Files() || Report() || alarms; }
};

// argv[i] and its value when it is an export option: 1 taken (i moved past the
// value), -1 refused (error set), 0 not an export option.
int ParseExportOption(int argc, char** argv, int& i, ExportArguments* args);
// The options together; false with error set. (Outputs against inputs and each other:
// velt-process's CheckFiles.)
bool CheckExportArguments(ExportArguments* args, bool capture);
// Where a raw stream's time 0 lies: its file's last change less the stream's length
// in records, or, for standard input, when the run began. False with error set.
bool RawStreamStart(ExportArguments& args, const std::string& input, int protocol,
                    int64_t* start_unix_us);
