// The EDF+ and CSV export of a device stream, for velt-process --edf / --csv and the
// review window's Export.. alike: what runs through the headless pipeline. The
// waveforms come from the interpretation's sample hook (every framed record's
// samples as the device sent them), the once-a-second values from the SecondSampler
// over the headless view, the annotations from the status text's changes, the
// documentation texts and the caller (a capture's events).
//
// Time: a raw stream's records are the device's 20 ms apart; a capture's records
// follow the device's count too, but a record that arrives more than half a second
// after its turn (frames lost on the line, the device gone) starts at its recorded
// time, and the slots skipped hold no samples. Frames lost on the line (a gap of up to
// half a second in the record count each record carries) leave their slots empty,
// so the records after them keep their time.
//
// Files: each output is written under a temporary name beside it and renamed over the
// chosen name only when it is whole; a failed or abandoned export leaves nothing. A
// chosen name that is a symbolic link keeps the link: the file it points to takes the
// export. A session being recorded (its recorder's lock) is never written over.
// Qt-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "export/csv_writer.h"
#include "export/edf_plus_writer.h"
#include "link/link_view.h"
#include "sessions/report_pdf.h"
#include "sessions/second_snapshot.h"
#include "sessions/session_events.h"

class COximeter;
namespace recordings {
struct CaptureRecord;
class CaptureConnectionReader;
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

    // Opens the outputs (under their temporary names); false with Error().
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
    // Marks kept beside the session (session_events::LoadMarks), annotated at their times.
    void AddMarks(const std::vector<session_events::Mark>& marks);
    // A mark or an alarm record of the session at stream time t_us: an annotation, and
    // what the report counts.
    void OnMark(int64_t t_us, const std::string& text);
    void OnAlarm(int64_t t_us, const session_events::AlarmRecord& alarm);
    // The marks in the range (times from its start) and the alarms the window recorded
    // there (starts by kind; AlarmsRecorded: the session holds the window's alarm records).
    const std::vector<session_events::Mark>& MarksNoted() const { return marks_noted_; }
    const int* AlarmStarts() const { return alarm_starts_; }
    bool AlarmsRecorded() const { return alarms_recorded_; }
    // A documentation text (0 operator, 1 serial, 2 sensor, 3 comment) at stream time
    // t_us (a capture's): an annotation, and the header's technician, equipment and
    // recording. A raw stream has none.
    void OnDocumentation(int index, const std::string& text, int64_t t_us);
    void SetDisplayReset(std::function<void(const char* status)> show) { show_ = std::move(show); }
    // Each second of the range as the window showed it at its end (a report's input).
    using SecondObserver = std::function<void(int64_t second, const data_export::SecondValues&)>;
    void SetSecondObserver(SecondObserver observer) { second_observer_ = std::move(observer); }
    // The stream's time at each record, before it is interpreted, and at each link
    // event, with the fields as they then are and whether the link is lost (alarms).
    using MomentObserver = std::function<void(int64_t t_us, bool link_lost)>;
    void SetMomentObserver(MomentObserver observer) { moment_observer_ = std::move(observer); }
    // The documentation texts seen so far (0 operator, 1 serial, 2 sensor, 3 comment).
    const std::string& Documentation(int index) const { return docs_[index]; }
    // Writes the last second, closes the outputs and gives them their names; false
    // with Error() (and no output left).
    bool Finish();
    const std::string& Error() const { return error_; }
    // The seconds written to the outputs (after Finish: the whole export's).
    int64_t SecondsWritten() const { return seconds_written_; }

private:
    static void OnSample(void* self, const processing::CurrentSample& sample, const uint8_t* ecg);
    void Sample(const processing::CurrentSample& sample, const uint8_t* ecg);
    void OnSecond(int64_t second, const data_export::SecondValues& values);
    // last: the export's last row, which takes every note left.
    void WritePending(bool last = false);
    // An annotation of the EDF+ and the CSV (duration -1: none), inside the range.
    void Note(int64_t t_us, int64_t duration_us, const std::string& text);
    // The CSV's notes up to the end of second (all: every one left), "; " between them.
    std::string TakeNotes(int64_t second, bool all);
    // The CSV rows held back before `before` (last: all of them). A row waits
    // kCsvHoldSeconds, so that a mark made while its dialog was open reaches its row.
    void WriteCsvRows(int64_t before, bool last);
    static constexpr int64_t kCsvHoldSeconds = 120;
    void NoteStatus(int64_t t_us);
    void Moment(int64_t t_us);
    void NoteMarks(int64_t t_us);  // the marks up to t_us
    // A "No samples" annotation from gap_start to the slot now next.
    void NoSamples(int64_t gap_start);
    bool InRange(int64_t second) const;
    bool Fail(const std::string& what);
    void Discard();

    ExportOptions options_;
    std::string edf_temp_, csv_temp_;      // where the outputs are written until they are whole
    std::string edf_target_, csv_target_;  // the files the chosen names lead to (links followed)
    const std::string* fields_;
    processing::Measurement& measurement_;
    int protocol_;
    int64_t start_unix_us_;
    bool recorded_times_;
    SecondSampler sampler_;
    std::unique_ptr<data_export::EdfPlusWriter> edf_;
    std::unique_ptr<data_export::CsvWriter> csv_;

    int64_t chunk_us_ = 0;
    int64_t slot_ = 0;           // the next record's 20 ms slot
    int last_number_ = 0;        // the device's count in the last new record
    int64_t numbered_slot_ = 0;  // and that record's slot
    int counted_ = 0;            // steps of one in the count just before
    int64_t last_record_us_ = 0;
    bool any_record_ = false;
    std::string docs_[4];
    bool no_data_ = false;  // "No data" until the next record
    std::function<void(const char*)> show_;
    SecondObserver second_observer_;
    MomentObserver moment_observer_;
    std::vector<session_events::Mark> marks_;
    size_t next_mark_ = 0;
    std::vector<session_events::Mark> marks_noted_;
    int alarm_starts_[alarms::kKindCount] = {};
    bool alarms_recorded_ = false;
    std::vector<std::pair<int64_t, std::string>> csv_notes_;  // second, text: for the rows
    std::deque<std::pair<int64_t, data_export::SecondValues>> csv_rows_;  // not yet written
    std::string status_;    // the status text last annotated
    bool pending_ = false;  // a second whose waves are being gathered
    int64_t pending_second_ = 0;
    data_export::SecondValues pending_values_;
    data_export::WaveSecond wave_;
    int64_t seconds_written_ = 0;
    std::string error_;
};

// What an export noted for its report: the marks (count and list) and the alarms the
// window recorded.
void NoteForReport(const ExportSession& exporter, report::Numbers* numbers,
                   std::vector<report::Mark>* marks);

// A capture's record other than the device's bytes, as a link event of the export.
void ExportCaptureEvent(ExportSession& session, const recordings::CaptureRecord& record);

// The view of a pipeline without a window: the field texts, nothing drawn or played.
// Packets are processed as soon as they are queued (there is no event loop).
class HeadlessView : public ILinkView {
public:
    void SetFieldText(int field, const char* text) override;
    int GetFieldText(int field, char* buffer, int limit) override;
    bool IsFieldModified(int) override { return false; }
    void SetFieldModified(int, bool) override {}
    void AppendSample(uint8_t, Colour) override {}
    void AppendPulseTrend(uint8_t) override {}
    void ResetPlot() override {}
    void RedrawPlot() override {}
    void PostPacketMessage(int code, COximeter* link) override;
    void RunPendingCalls() override {}
    void PlaySoundAsync(const char*) override {}
    std::string fields[ViewFieldCount];
};

// An export's display reset: what the window shows at a loss, a close and "No data"
// (the values give way to "x", the status text says why).
void ResetHeadlessDisplay(COximeter& link, HeadlessView& view, const char* status);

// Feeds a capture to a headless pipeline as the recorded program received it: the
// device bytes while its port was open, through feed, in the recorded chunks; the
// other records to the export (if any). A session the program recorded itself
// carries its clock: the ticks its records were read at follow from it, and after a
// loss it opened the device afresh, so no frame spans the gap (and the link counts
// the reconnect, as the recording program's did). Damage and a cut tail the reader
// passes over are annotated where they were ("session file damaged: N bytes
// skipped", "session file cut at byte N"). Stops early, returning
// false, once *cancel is true; *offset (when given) follows the reader through the files
// (the bytes read of them all). A connection's files play as one stream; a part missing
// between two files is annotated where the next one begins ("session files missing: ...").
struct CaptureFeedControl {
    const std::atomic<bool>* cancel = nullptr;
    std::atomic<uint64_t>* offset = nullptr;
};
bool FeedCapture(recordings::CaptureConnectionReader& reader, COximeter& link,
                 ExportSession* exporter, const std::function<void(const uint8_t*, size_t)>& feed,
                 const CaptureFeedControl& control = {});

// The error of an export stopped through its cancel flag.
inline constexpr char kExportCancelled[] = "cancelled";

// The whole export of a capture file (velt-process --capture FILE --edf/--csv without
// its other outputs), for callers that run it on a worker thread: no logs, the
// protocol recorded in the file; an output that is the capture itself is refused.
// False with *error saying why (naming the file);
// cancelled: false with *error kExportCancelled. Either way no output is left behind.
// *skipped: what reading passed over in the file (CaptureSkipped), also on success;
// *seconds: the seconds exported.
// What a caller takes from an export besides its files (the report): each second as
// shown, and, once it is whole, the capture's start, protocol and documentation texts.
struct ExportTaps {
    ExportSession::SecondObserver second;
    int64_t start_unix_us = 0;
    int protocol = 0;
    std::string documentation[4];
    report::Numbers noted;  // the marks and the recorded alarms (NoteForReport)
    std::vector<report::Mark> marks;
};
bool ExportCaptureFile(const std::string& capture, const ExportOptions& options,
                       const CaptureFeedControl& control, std::string* error,
                       std::string* skipped = nullptr, int64_t* seconds = nullptr,
                       ExportTaps* taps = nullptr);
// The same over the files of one connection, in order (recordings::FindConnectionFiles),
// exported as one session; no output may be any of them.
bool ExportCaptureFiles(const std::vector<std::string>& captures, const ExportOptions& options,
                        const CaptureFeedControl& control, std::string* error,
                        std::string* skipped = nullptr, int64_t* seconds = nullptr,
                        ExportTaps* taps = nullptr);

// What reading a capture passed over, in words ("" when nothing): its first damage
// (and how many places and bytes in all), and where it was cut short.
std::string CaptureSkipped(const recordings::CaptureConnectionReader& reader);

// A raw stream holds no clock: the records a framed protocol's stream holds, counted
// through the same decoding and interpretation (its length in 20 ms records). -1 when
// the file cannot be read. Mutes the debugger output while it counts and gives it
// back to standard error: call it before choosing another sink.
int64_t CountStreamRecords(const std::string& path, int protocol);
