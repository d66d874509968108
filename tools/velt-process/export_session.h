// velt-process --edf / --csv: exports what runs through the headless pipeline. The
// waveforms come from the interpretation's sample hook (every framed record's
// samples as the device sent them), the once-a-second values from the SecondSampler
// over the headless view, the annotations from the status text's changes, the
// documentation texts and the caller (a capture's events).
//
// Time: a raw stream's records are the device's 20 ms apart; a capture's records
// follow the device's count too, but a record that arrives more than half a second
// after its turn (frames lost on the line, the device gone) starts at its recorded
// time, and the slots skipped hold no samples.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "export/csv_writer.h"
#include "export/edf_plus_writer.h"
#include "tools/velt-process/second_sampler.h"

namespace recordings {
struct CaptureRecord;
}  // namespace recordings
namespace processing {
class Measurement;
struct CurrentSample;
}  // namespace processing

struct ExportOptions {
    std::string edf_path;
    std::string csv_path;
    std::string patient;  // EDF+ patient field; empty: "X X X X"
    int64_t from_s = 0;   // whole seconds from the stream's start
    int64_t to_s = -1;    // -1: to the end
};

class ExportSession {
public:
    // fields: the headless view's texts; the session registers itself as the
    // measurement's sample observer until it is destroyed.
    ExportSession(const ExportOptions& options, const std::string* fields,
                  const LinkStatistics& statistics, processing::Measurement& measurement,
                  int protocol, int64_t start_unix_us, bool recorded_times);
    ~ExportSession();
    ExportSession(const ExportSession&) = delete;
    ExportSession& operator=(const ExportSession&) = delete;

    // Opens the outputs; false with Error().
    bool Open();
    // A capture: the recorded time (µs from its start) of the bytes fed next.
    void SetChunkTime(int64_t t_us) { chunk_us_ = t_us; }
    void SetLinkState(data_export::LinkState state) { sampler_.SetLinkState(state); }
    // An annotation at stream time t_us.
    void Annotate(int64_t t_us, const std::string& text);

    // What happened to the link at stream time t_us (a capture's events): an
    // annotation, the link state from then on, and what the window showed then,
    // through `show` (the caller's display reset with the status text).
    enum class LinkEvent { kPortOpened, kPortClosed, kLost, kBack, kNoData };
    void OnLinkEvent(LinkEvent event, int64_t t_us, const std::string& detail);
    // A documentation text (0 operator, 1 serial, 2 sensor, 3 comment) at stream time
    // t_us (a capture's): an annotation, and the header's technician, equipment and
    // recording. A raw stream has none.
    void OnDocumentation(int index, const std::string& text, int64_t t_us);
    void SetDisplayReset(std::function<void(const char* status)> show) { show_ = std::move(show); }
    // Writes the last second and closes the outputs; false with Error().
    bool Finish();
    const std::string& Error() const { return error_; }

private:
    static void OnSample(void* self, const processing::CurrentSample& sample, const uint8_t* ecg);
    void Sample(const processing::CurrentSample& sample, const uint8_t* ecg);
    void OnSecond(int64_t second, const data_export::SecondValues& values);
    void WritePending();
    void NoteStatus(int64_t t_us);
    bool InRange(int64_t second) const;
    bool Fail(const std::string& what);

    ExportOptions options_;
    const std::string* fields_;
    processing::Measurement& measurement_;
    int protocol_;
    int64_t start_unix_us_;
    bool recorded_times_;
    SecondSampler sampler_;
    std::unique_ptr<data_export::EdfPlusWriter> edf_;
    std::unique_ptr<data_export::CsvWriter> csv_;

    int64_t chunk_us_ = 0;
    int64_t slot_ = 0;  // the next record's 20 ms slot
    int64_t last_record_us_ = 0;
    bool any_record_ = false;
    std::string docs_[4];
    bool no_data_ = false;  // "No data" until the next record
    std::function<void(const char*)> show_;
    std::string status_;    // the status text last annotated
    bool pending_ = false;  // a second whose waves are being gathered
    int64_t pending_second_ = 0;
    data_export::SecondValues pending_values_;
    data_export::WaveSecond wave_;
    int64_t seconds_written_ = 0;
    std::string error_;
};

// A capture's record other than the device's bytes, as a link event of the export.
void ExportCaptureEvent(ExportSession& session, const recordings::CaptureRecord& record);

// A raw stream holds no clock: the records a framed protocol's stream holds, counted
// through the same decoding and interpretation (its length in 20 ms records). -1 when
// the file cannot be read. Mutes the debugger output while it counts and gives it
// back to standard error: call it before choosing another sink.
int64_t CountStreamRecords(const std::string& path, int protocol);
