// The once-a-second values as CSV (RFC 4180: comma separated, CR LF line ends,
// fields with a comma, quote or line break quoted, "." as the decimal separator), for
// spreadsheets. A header row, then one row per second: time (ISO 8601 local time with
// milliseconds and offset), SpO2, pulse, perfusion, R-HbCO (the window's text when it
// showed a number, else empty), status text, link state, and the annotations the EDF+
// export makes in that second ("; " between them: damage, gaps, alarms, marks, link
// events). Qt-free.
#pragma once

#include <cstdio>
#include <string>

#include "export/second_values.h"

namespace data_export {

// The header row, without its line end.
extern const char kCsvHeader[];

// Appends `text` to `out` as one RFC 4180 field.
void AppendCsvField(std::string& out, const std::string& text);

class CsvWriter {
public:
    CsvWriter() = default;
    ~CsvWriter();
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    // Creates or truncates the file and writes the header row. False with Error().
    bool Open(const std::string& path);
    bool AddRow(const SecondValues& values, const std::string& annotations = std::string());
    // False when anything failed since Open (a full disk, say).
    bool Close();
    const std::string& Error() const { return error_; }

private:
    bool Fail(const std::string& what);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string row_;  // reused for every row
    std::string error_;
};

}  // namespace data_export
