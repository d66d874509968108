#include "export/csv_writer.h"

#include <cerrno>
#include <cstring>

namespace data_export {

const char kCsvHeader[] = "time,spo2,pulse,perfusion,rhbco,status,link,annotations";

void AppendCsvField(std::string& out, const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
}

CsvWriter::~CsvWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

bool CsvWriter::Fail(const std::string& what) {
    if (error_.empty()) error_ = "cannot write \"" + path_ + "\": " + what;
    return false;
}

bool CsvWriter::Open(const std::string& path) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) return Fail(std::strerror(errno));
    if (std::fprintf(file_, "%s\r\n", kCsvHeader) < 0) return Fail(std::strerror(errno));
    return true;
}

bool CsvWriter::AddRow(const SecondValues& v, const std::string& annotations) {
    if (file_ == nullptr) return Fail("not open");
    char time[40];
    if (FormatIsoLocalTime(v.unix_us, time, sizeof time) == 0) return Fail("time out of range");
    row_.assign(time);
    for (const std::string* value : {&v.spo2, &v.pulse, &v.perfusion, &v.rhbco}) {
        row_ += ',';
        // A number exactly as the window wrote it; "x", "Perfus?" and the like leave
        // the cell empty (the status and link columns say why).
        if (ShownValue(*value)) row_ += *value;
    }
    row_ += ',';
    AppendCsvField(row_, v.status);
    row_ += ',';
    row_ += LinkStateName(v.link);
    row_ += ',';
    AppendCsvField(row_, annotations);
    row_ += "\r\n";
    if (std::fwrite(row_.data(), 1, row_.size(), file_) != row_.size())
        return Fail(std::strerror(errno));
    return true;
}

bool CsvWriter::Close() {
    if (file_ == nullptr) return error_.empty();
    const bool flushed = std::fflush(file_) == 0 && !std::ferror(file_);
    const int error = errno;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed || !closed) return Fail(std::strerror(flushed ? errno : error));
    return error_.empty();
}

}  // namespace data_export
