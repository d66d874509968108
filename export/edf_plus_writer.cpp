#include "export/edf_plus_writer.h"

#include <edflib.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>
#include <tuple>

namespace data_export {

namespace {

constexpr int kMaxAnnotationSignals = 64;

struct ValueSignal {
    const char* label;
    const char* name;  // in annotations
    const char* dimension;
    double step;  // one digital step; the digital minimum lies one step below 0
};
// SpO2, pulse, perfusion, R-HbCO: the resolution of the window's texts, over the whole
// range the device's 16-bit results can reach.
constexpr ValueSignal kValues[4] = {{"SpO2", "SpO2", "%", 0.1},
                                    {"Pulse", "pulse", "bpm", 0.1},
                                    {"Perfusion", "perfusion", "%", 0.01},
                                    {"R-HbCO", "R-HbCO", "%", 0.1}};

const std::string& ValueText(const SecondValues& v, int signal) {
    switch (signal) {
        case 0:
            return v.spo2;
        case 1:
            return v.pulse;
        case 2:
            return v.perfusion;
        default:
            return v.rhbco;
    }
}

int16_t DigitalValue(double value, double step) {
    const long long d = std::llround(value / step) - 32767;
    return static_cast<int16_t>(std::clamp<long long>(d, -32767, 32767));
}

std::string EdlibError(int code) {
    switch (code) {
        case EDFLIB_NO_SUCH_FILE_OR_DIRECTORY:
            return "cannot create the file";
        case EDFLIB_MAXFILES_REACHED:
            return "too many EDF files open";
        case EDFLIB_FILE_ALREADY_OPENED:
            return "the file is already open";
        case EDFLIB_MALLOC_ERROR:
            return "out of memory";
        default:
            return "EDFlib error " + std::to_string(code);
    }
}

// The longest prefix of at most `limit` bytes that ends on a UTF-8 character boundary.
size_t Utf8Prefix(const std::string& s, size_t from, size_t limit) {
    size_t n = std::min(limit, s.size() - from);
    if (from + n == s.size()) return n;
    while (n > 0 && (static_cast<unsigned char>(s[from + n]) & 0xC0) == 0x80) --n;
    return n > 0 ? n : std::min(limit, s.size() - from);
}

const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                 "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

struct Patient {
    std::string code, sex, birthdate, name;
    int year = 0, month = 0, day = 0;
};

std::string ParsePatient(const std::string& text, Patient* p) {
    std::istringstream in(text);
    std::string extra;
    if (!(in >> p->code >> p->sex >> p->birthdate >> p->name) || (in >> extra))
        return "the patient field needs four subfields: code sex birthdate name (X when unknown)";
    for (char c : text)
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126)
            return "the patient field takes printable ASCII only";
    if (text.find("  ") != std::string::npos || text.front() == ' ' || text.back() == ' ')
        return "the patient subfields are separated by single spaces";
    if (p->sex != "M" && p->sex != "F" && p->sex != "X") return "the patient's sex is M, F or X";
    if (p->birthdate != "X") {
        const std::string& b = p->birthdate;
        int month = 0;
        for (int i = 0; i < 12; ++i)
            if (b.size() == 11 && b.compare(3, 3, kMonths[i]) == 0) month = i + 1;
        char* end = nullptr;
        const long day = b.size() == 11 ? std::strtol(b.substr(0, 2).c_str(), &end, 10) : 0;
        const long year = b.size() == 11 ? std::strtol(b.substr(7).c_str(), &end, 10) : 0;
        if (b.size() != 11 || b[2] != '-' || b[6] != '-' || month == 0 || day < 1 || day > 31 ||
            year < 1800 || year > 3000 || !std::isdigit(static_cast<unsigned char>(b[0])) ||
            !std::isdigit(static_cast<unsigned char>(b[1])))
            return "the patient's birthdate is dd-MMM-yyyy, e.g. 02-MAY-1951, or X";
        p->year = static_cast<int>(year);
        p->month = month;
        p->day = static_cast<int>(day);
    }
    return "";
}

}  // namespace

void WaveSecond::Clear() {
    for (auto& channel : pleth) std::fill(std::begin(channel), std::end(channel), kNoSample);
    std::fill(std::begin(ecg), std::end(ecg), kNoSample);
}

std::string CheckPatientField(const std::string& patient) {
    Patient p;
    return patient.empty() ? "" : ParsePatient(patient, &p);
}

EdfPlusWriter::~EdfPlusWriter() {
    if (spool_ != nullptr) std::fclose(spool_);
}

bool EdfPlusWriter::Fail(const std::string& what) {
    if (error_.empty()) error_ = what;
    return false;
}

bool EdfPlusWriter::Open(const std::string& path, bool ecg) {
    path_ = path;
    ecg_ = ecg;
    // Refuse an unwritable output now, not after the whole stream has run.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Fail("cannot write \"" + path + "\": " + std::strerror(errno));
    ::close(fd);
    // The spool lives beside the output (a day's spool is 180 MB, too much for a
    // memory-backed /tmp), unnamed, so nothing is left behind.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int spool = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    spool_ = spool >= 0 ? ::fdopen(spool, "w+b") : std::tmpfile();
    if (spool_ == nullptr) {
        if (spool >= 0) ::close(spool);
        return Fail(std::string("cannot make a spool file: ") + std::strerror(errno));
    }
    record_.assign(3 * kPlethPerSecond + (ecg ? kEcgPerSecond : 0) + 4, 0);
    return true;
}

void EdfPlusWriter::EndRun(int signal, int64_t end_second) {
    Run& run = runs_[signal];
    if (!run.open) return;
    run.open = false;
    // Merged with the other signals' identical runs at Close.
    annotations_.push_back({run.start * 1000000, (end_second - run.start) * 1000000,
                            std::string("\x01") + static_cast<char>('0' + signal) + run.text});
}

bool EdfPlusWriter::AddSecond(const SecondValues& values, const WaveSecond& wave) {
    if (spool_ == nullptr) return Fail("the EDF+ writer is not open");
    int16_t* out = record_.data();
    for (const auto& channel : wave.pleth)
        for (int32_t s : channel)
            *out++ =
                static_cast<int16_t>(s == kNoSample ? -32768 : std::clamp(s, 0, 65535) - 32768);
    if (ecg_)
        for (int32_t s : wave.ecg)
            *out++ = static_cast<int16_t>(s == kNoSample ? -32768 : std::clamp(s, -32768, 32767));
    for (int v = 0; v < 4; ++v) {
        const std::string& text = ValueText(values, v);
        const std::optional<double> shown = ShownValue(text);
        Run& run = runs_[v];
        if (shown) {
            *out++ = DigitalValue(*shown, kValues[v].step);
            EndRun(v, seconds_);
        } else {
            *out++ = -32768;
            if (run.open && run.text != text) EndRun(v, seconds_);
            if (!run.open) run = {true, seconds_, text};
        }
    }
    if (std::fwrite(record_.data(), sizeof(int16_t), record_.size(), spool_) != record_.size())
        return Fail(std::string("cannot write the spool file: ") + std::strerror(errno));
    ++seconds_;
    return true;
}

void EdfPlusWriter::AddAnnotation(int64_t onset_us, int64_t duration_us, const std::string& text) {
    std::string clean = text;
    // 0, 20 and 21 delimit the annotation lists; other control characters have no
    // place in a one-line description either.
    for (char& c : clean)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
    if (clean.empty()) return;
    // A long text (a documentation text) goes into several annotations at the onset,
    // split between words so that a viewer lists no torn word; a space goes with the
    // words before it. Only a word longer than an annotation is cut.
    for (size_t at = 0; at < clean.size();) {
        size_t n = Utf8Prefix(clean, at, kAnnotationBytes);
        if (at + n < clean.size()) {
            if (clean[at + n] == ' ') {
                annotations_.push_back({onset_us, duration_us, clean.substr(at, n)});
                at += n + 1;  // the space between them would not fit
                continue;
            }
            const size_t space = clean.rfind(' ', at + n - 1);
            if (space != std::string::npos && space > at) n = space + 1 - at;
        }
        annotations_.push_back({onset_us, duration_us, clean.substr(at, n)});
        at += n;
    }
}

std::string FirstFitting(std::initializer_list<std::string> texts) {
    for (const std::string& text : texts)
        if (text.size() <= kAnnotationBytes) return text;
    return texts.size() == 0 ? std::string() : *(texts.end() - 1);
}

bool EdfPlusWriter::Close(const EdfPlusHeader& header) {
    if (spool_ == nullptr) return Fail("the EDF+ writer is not open");
    for (int v = 0; v < 4; ++v) EndRun(v, seconds_);
    if (seconds_ == 0) {
        std::fclose(spool_);
        spool_ = nullptr;
        return Fail("nothing to export: no data in the chosen span");
    }
    // One annotation per value run, naming every signal that showed the same text
    // over the same seconds ("SpO2, pulse, perfusion, R-HbCO: x").
    std::vector<Annotation> merged;
    std::map<std::tuple<int64_t, int64_t, std::string>, std::string> runs;
    std::vector<std::tuple<int64_t, int64_t, std::string>> order;
    for (Annotation& a : annotations_) {
        if (a.text.size() < 2 || a.text[0] != '\x01') {
            merged.push_back(std::move(a));
            continue;
        }
        const int signal = a.text[1] - '0';
        const auto key = std::make_tuple(a.onset_us, a.duration_us, a.text.substr(2));
        std::string& names = runs[key];
        if (names.empty()) order.push_back(key);
        names += (names.empty() ? "" : ", ") + std::string(kValues[signal].name);
    }
    annotations_.clear();
    for (const auto& key : order) {
        const std::string& shown = std::get<2>(key);
        AddAnnotation(std::get<0>(key), std::get<1>(key),
                      runs[key] + ": " + (shown.empty() ? "(empty)" : shown));
    }
    annotations_.insert(annotations_.end(), std::make_move_iterator(merged.begin()),
                        std::make_move_iterator(merged.end()));
    std::stable_sort(
        annotations_.begin(), annotations_.end(),
        [](const Annotation& a, const Annotation& b) { return a.onset_us < b.onset_us; });
    const bool ok = WriteEdf(header);
    std::fclose(spool_);
    spool_ = nullptr;
    return ok;
}

bool EdfPlusWriter::WriteEdf(const EdfPlusHeader& header) {
    Patient patient;
    if (!header.patient.empty()) {
        const std::string problem = ParsePatient(header.patient, &patient);
        if (!problem.empty()) return Fail(problem);
    }
    int64_t start_s = header.start_unix_us / 1000000;
    int64_t start_sub = header.start_unix_us % 1000000;
    if (start_sub < 0) {
        start_sub += 1000000;
        --start_s;
    }
    const std::time_t t = static_cast<std::time_t>(start_s);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr || local.tm_year + 1900 < 1985 ||
        local.tm_year + 1900 > 2084)
        return Fail("EDF+ holds start dates from 1985 to 2084 only");
    // EDFlib stores every annotation signal's 114 bytes in every record; as few as
    // hold them all (it drops, without a word, what does not fit).
    const int64_t per_record =
        (static_cast<int64_t>(annotations_.size()) + seconds_ - 1) / seconds_;
    if (per_record > kMaxAnnotationSignals)
        return Fail("too many annotations for an EDF+ file of " + std::to_string(seconds_) +
                    " s: " + std::to_string(annotations_.size()));

    const int signals = 3 + (ecg_ ? 1 : 0) + 4;
    const int h = edfopen_file_writeonly(path_.c_str(), EDFLIB_FILETYPE_EDFPLUS, signals);
    if (h < 0) return Fail("cannot write \"" + path_ + "\": " + EdlibError(h));
    bool ok = true;
    auto check = [&ok](int rc) { ok = ok && rc == 0; };
    int s = 0;
    auto define = [&](const char* label, const char* dimension, int rate, double phys_min,
                      double phys_max, const char* transducer) {
        check(edf_set_samplefrequency(h, s, rate));
        check(edf_set_physical_minimum(h, s, phys_min));
        check(edf_set_physical_maximum(h, s, phys_max));
        check(edf_set_digital_minimum(h, s, -32768));
        check(edf_set_digital_maximum(h, s, 32767));
        check(edf_set_label(h, s, label));
        check(edf_set_physical_dimension(h, s, dimension));
        check(edf_set_transducer(h, s, transducer));
        ++s;
    };
    define("Pleth IR", "count", kPlethPerSecond, 0, 65535, "VELT oximeter ADC");
    define("Pleth Red", "count", kPlethPerSecond, 0, 65535, "VELT oximeter ADC");
    define("Pleth Red2", "count", kPlethPerSecond, 0, 65535, "VELT oximeter ADC");
    if (ecg_) define("ECG", "count", kEcgPerSecond, -32768, 32767, "VELT oximeter ECG");
    for (const ValueSignal& v : kValues)
        define(v.label, v.dimension, 1, -v.step, v.step * 65534, "as the window showed it");
    check(edf_set_startdatetime(h, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec));
    // Whole 100 µs: finer start offsets trouble some readers.
    check(edf_set_subsecond_starttime(h, static_cast<int>(start_sub / 100) * 1000));
    if (!header.patient.empty()) {
        if (patient.code != "X") check(edf_set_patientcode(h, patient.code.c_str()));
        if (patient.sex != "X") check(edf_set_gender(h, patient.sex == "M" ? 1 : 0));
        if (patient.year != 0)
            check(edf_set_birthdate(h, patient.year, patient.month, patient.day));
        if (patient.name != "X") check(edf_set_patientname(h, patient.name.c_str()));
    }
    if (!header.technician.empty()) check(edf_set_technician(h, header.technician.c_str()));
    if (!header.equipment.empty()) check(edf_set_equipment(h, header.equipment.c_str()));
    if (!header.recording_additional.empty())
        check(edf_set_recording_additional(h, header.recording_additional.c_str()));
    check(edf_set_number_of_annotation_signals(h,
                                               static_cast<int>(std::max<int64_t>(1, per_record))));
    if (!ok) {
        edfclose_file(h);
        return Fail("EDFlib refused the signal or header settings");
    }
    std::rewind(spool_);
    for (int64_t i = 0; i < seconds_ && ok; ++i) {
        if (std::fread(record_.data(), sizeof(int16_t), record_.size(), spool_) != record_.size()) {
            edfclose_file(h);
            return Fail("cannot read the spool file back");
        }
        if (edf_blockwrite_digital_short_samples(h, record_.data()) != 0) ok = false;
    }
    for (const Annotation& a : annotations_)
        if (ok)
            check(edfwrite_annotation_utf8(
                h, a.onset_us / 100, a.duration_us < 0 ? -1 : a.duration_us / 100, a.text.c_str()));
    const int closed = edfclose_file(h);
    if (!ok || closed != 0) return Fail("cannot write \"" + path_ + "\": " + std::strerror(errno));

    // EDFlib reports no failure of its last writes (the annotations); its reader
    // refuses a file that breaks the EDF+ rules and counts what arrived.
    edf_hdr_struct read{};
    if (edfopen_file_readonly(path_.c_str(), &read, EDFLIB_READ_ALL_ANNOTATIONS) != 0)
        return Fail("\"" + path_ + "\" was written but does not read back as EDF+ (EDFlib " +
                    std::to_string(read.filetype) + ")");
    const bool whole = read.datarecords_in_file == seconds_ &&
                       read.annotations_in_file == static_cast<long long>(annotations_.size());
    edfclose_file(read.handle);
    if (!whole) return Fail("\"" + path_ + "\" was written incompletely (a full disk?)");
    return true;
}

}  // namespace data_export
