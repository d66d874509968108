// EDF+ (continuous, data records of 1 s) through EDFlib, the library the common EDF
// viewers read with. Signals: the plethysmogram channels IR, Red and Red2 at the
// device's 50 samples a second as the device sent them, the ECG at 900 a second
// (when the stream carries it), and once a second SpO2, pulse, perfusion and R-HbCO
// as the window showed them. A value the window did not show as a number ("x",
// "Perfus?", an empty field) and a missing sample get the signal's digital minimum;
// each run of such values is covered by an annotation.
//
// Seconds are spooled to an unnamed file beside the output and the EDF+ file is
// written at Close: only then are the number of annotations (EDFlib needs the
// annotation signals sized before the first record and drops what does not fit) and,
// for a raw stream, the start time known. Qt-free.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "export/second_values.h"

namespace data_export {

constexpr int kPlethPerSecond = 50;
constexpr int kEcgPerSecond = 900;
// EDFlib keeps at most this many bytes of one annotation's text.
constexpr size_t kAnnotationBytes = 40;
// The first of texts (the program's own, longest first) that one annotation holds
// whole, so that none of them is ever split; the last when none fits.
std::string FirstFitting(std::initializer_list<std::string> texts);

// A sample slot that holds no sample (a gap, a record without ECG).
constexpr int32_t kNoSample = INT32_MIN;

// The waveforms of one second, in sample slots: pleth raw ADC words 0..65535 (IR,
// Red, Red2), ECG samples -32768..32767; kNoSample where none arrived.
struct WaveSecond {
    int32_t pleth[3][kPlethPerSecond];
    int32_t ecg[kEcgPerSecond];
    void Clear();
};

struct EdfPlusHeader {
    int64_t start_unix_us = 0;  // written as local time, as EDF+ asks
    bool ecg = false;
    // The EDF+ patient subfields "code sex birthdate name"; empty: "X X X X".
    std::string patient;
    std::string technician;  // the operator
    std::string equipment;   // with the device's serial
    std::string recording_additional;
};

// Checks a patient field "code sex birthdate name" (each subfield "X" when unknown,
// sex M/F/X, birthdate dd-MMM-yyyy, no spaces inside a subfield: use "_"). Empty
// text when it is good, otherwise what is wrong.
std::string CheckPatientField(const std::string& patient);

class EdfPlusWriter {
public:
    EdfPlusWriter() = default;
    ~EdfPlusWriter();
    EdfPlusWriter(const EdfPlusWriter&) = delete;
    EdfPlusWriter& operator=(const EdfPlusWriter&) = delete;

    // Makes sure the output can be written and opens the spool. False with Error().
    bool Open(const std::string& path, bool ecg);
    // One data record. `values` is what the window showed at the record's start.
    bool AddSecond(const SecondValues& values, const WaveSecond& wave);
    // onset: µs from the start of the file; duration_us < 0: none. A text longer than
    // one EDF+ annotation holds is kept, in several annotations at the onset split
    // between words.
    void AddAnnotation(int64_t onset_us, int64_t duration_us, const std::string& text);
    // Writes the EDF+ file and reads it back with EDFlib; false with Error().
    bool Close(const EdfPlusHeader& header);

    int64_t Seconds() const { return seconds_; }
    size_t Annotations() const { return annotations_.size(); }
    const std::string& Error() const { return error_; }

private:
    struct Annotation {
        int64_t onset_us;
        int64_t duration_us;
        std::string text;
    };
    struct Run {  // seconds a value signal showed the same non-number
        bool open = false;
        int64_t start = 0;
        std::string text;
    };
    bool Fail(const std::string& what);
    void EndRun(int signal, int64_t end_second);
    bool WriteEdf(const EdfPlusHeader& header);

    std::string path_;
    std::string error_;
    std::FILE* spool_ = nullptr;
    bool ecg_ = false;
    int64_t seconds_ = 0;
    std::vector<int16_t> record_;  // one record's digital samples, made once
    std::vector<Annotation> annotations_;
    Run runs_[4];
};

}  // namespace data_export
