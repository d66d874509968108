#include "sessions/session_export.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <vector>

#include "link/frame_handler.h"
#include "link/oximeter.h"
#include "platform/debug_output.h"
#include "platform/file_identity.h"
#include "platform/tick.h"
#include "processing/measurement.h"
#include "processing/view_field.h"
#include "recordings/capture_connection.h"
#include "recordings/capture_file.h"
#include "sessions/session_events.h"

namespace {

constexpr int64_t kRecordUs = 20000;
constexpr int kEcgPerRecord = 18;
// A capture's record this late for its slot starts at its recorded time instead.
constexpr int64_t kResyncUs = 500000;

// "<head>: <detail>" in one annotation; when that would not fit, the short head, then
// without the detail's "(…)", then the head alone.
std::string WithDetail(const std::string& head, const std::string& short_head,
                       const std::string& detail) {
    if (detail.empty()) return head;
    return data_export::FirstFitting({head + ": " + detail, short_head + ": " + detail,
                                      short_head + ": " + detail.substr(0, detail.find(" (")),
                                      head});
}
// The device counts its records in the first word of each (15 bits kept here, so a
// 16-bit count wraps alike). A step of more than one up to this many is frames lost on
// the line: their slots stay empty. Longer gaps are a capture's resync's to judge.
constexpr int kMaxLostFrames = 25;
constexpr int kRecordNumberMask = 0x7FFF;

// A new empty file beside target, named after it, for writing it whole before it
// takes target's name; empty with errno when none can be made.
std::string MakeTempBeside(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string temp = target + ".part." + std::to_string(::getpid()) + "." +
                           std::to_string(counter.fetch_add(1));
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return temp;
        }
        if (errno != EEXIST) return std::string();
    }
    return std::string();
}

// The writers name the file they write: the user chose the other name.
void Rename(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty()) return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

}  // namespace

ExportSession::ExportSession(const ExportOptions& options, const std::string* fields,
                             const LinkStatistics& statistics, processing::Measurement& measurement,
                             int protocol, int64_t start_unix_us, bool recorded_times)
    : options_(options),
      fields_(fields),
      measurement_(measurement),
      protocol_(protocol),
      start_unix_us_(start_unix_us),
      recorded_times_(recorded_times),
      sampler_(fields, statistics, start_unix_us) {
    wave_.Clear();
    measurement_.SetSampleObserver(&ExportSession::OnSample, this);
}

ExportSession::~ExportSession() {
    measurement_.SetSampleObserver(nullptr, nullptr);
    Discard();
}

bool ExportSession::Fail(const std::string& what) {
    if (error_.empty()) {
        error_ = what;
        Rename(error_, edf_temp_, options_.edf_path);
        Rename(error_, csv_temp_, options_.csv_path);
    }
    return false;
}

void ExportSession::Discard() {
    if (csv_ != nullptr) csv_->Close();
    csv_.reset();
    edf_.reset();  // its spool has no name
    for (std::string* temp : {&edf_temp_, &csv_temp_}) {
        if (!temp->empty()) ::unlink(temp->c_str());
        temp->clear();
    }
}

bool ExportSession::Open() {
    auto temp_for = [this](const std::string& chosen, std::string* target, std::string* temp) {
        // A recorder's file renamed over would go on being written with no name.
        if (platform::HeldByWriter(chosen))
            return Fail("\"" + chosen + "\" is a session being recorded: choose another file");
        // A symbolic link stays: the file it points to takes the export.
        *target = platform::WriteTarget(chosen);
        *temp = MakeTempBeside(*target);
        if (temp->empty()) return Fail("cannot write \"" + chosen + "\": " + std::strerror(errno));
        return true;
    };
    if (!options_.edf_path.empty()) {
        if (!temp_for(options_.edf_path, &edf_target_, &edf_temp_)) return false;
        edf_ = std::make_unique<data_export::EdfPlusWriter>();
        if (!edf_->Open(edf_temp_, protocol_ == 2)) return Fail(edf_->Error());
    }
    if (!options_.csv_path.empty()) {
        if (!temp_for(options_.csv_path, &csv_target_, &csv_temp_)) return false;
        csv_ = std::make_unique<data_export::CsvWriter>();
        if (!csv_->Open(csv_temp_)) return Fail(csv_->Error());
    }
    return true;
}

bool ExportSession::InRange(int64_t second) const {
    return second >= options_.from_s && (options_.to_s < 0 || second < options_.to_s);
}

void ExportSession::Annotate(int64_t t_us, const std::string& text) { Note(t_us, -1, text); }

void ExportSession::Note(int64_t t_us, int64_t duration_us, const std::string& text) {
    if (t_us < options_.from_s * 1000000) return;
    if (options_.to_s >= 0 && t_us >= options_.to_s * 1000000) return;
    if (edf_ != nullptr) edf_->AddAnnotation(t_us - options_.from_s * 1000000, duration_us, text);
    if (csv_ != nullptr) csv_notes_.push_back({t_us / 1000000, text});
}

std::string ExportSession::TakeNotes(int64_t second, bool all) {
    // A note of a second already written goes with the next row.
    std::string out;
    auto kept = csv_notes_.begin();
    for (auto& note : csv_notes_) {
        if (all || note.first <= second) {
            if (!out.empty()) out += "; ";
            out += note.second;
        } else {
            if (&*kept != &note) *kept = std::move(note);
            ++kept;
        }
    }
    csv_notes_.erase(kept, csv_notes_.end());
    return out;
}

void ExportSession::WriteCsvRows(int64_t before, bool last) {
    while (!csv_rows_.empty() && (last || csv_rows_.front().first < before)) {
        const bool final_row = last && csv_rows_.size() == 1;
        if (!csv_->AddRow(csv_rows_.front().second, TakeNotes(csv_rows_.front().first, final_row)))
            Fail(csv_->Error());
        csv_rows_.pop_front();
    }
}

void ExportSession::OnLinkEvent(LinkEvent event, int64_t t_us, const std::string& detail) {
    // The seconds before the event still show what came before it.
    sampler_.AdvanceTo(t_us, [this](int64_t second, const data_export::SecondValues& values) {
        OnSecond(second, values);
    });
    using data_export::LinkState;
    switch (event) {
        case LinkEvent::kPortOpened:
            Annotate(t_us, "Port opened");
            SetLinkState(LinkState::kConnected);
            break;
        case LinkEvent::kPortClosed:
            Annotate(t_us, "Port closed");
            SetLinkState(LinkState::kClosed);
            if (show_) show_("Disconnected");
            break;
        case LinkEvent::kLost:
            Annotate(t_us, WithDetail("Connection lost", "Lost", detail));
            SetLinkState(LinkState::kLost);
            // No number from a device that is gone stays on screen.
            if (show_) show_("*** Connection lost");
            break;
        case LinkEvent::kBack:
            Annotate(t_us, WithDetail("Connection back", "Back", detail));
            SetLinkState(LinkState::kConnected);
            if (show_) show_("Connected..");
            break;
        case LinkEvent::kNoData:
            Annotate(t_us, "No data");
            SetLinkState(LinkState::kNoData);
            no_data_ = true;
            if (show_) show_("*** No data");
            break;
    }
    // The event's own annotation says what the status text now says.
    status_ = fields_[StatusText];
    Moment(t_us);
}

void ExportSession::AddMarks(const std::vector<session_events::Mark>& marks) {
    marks_.insert(marks_.end(), marks.begin(), marks.end());
    std::stable_sort(marks_.begin(), marks_.end(),
                     [](const auto& a, const auto& b) { return a.time_us < b.time_us; });
}

void ExportSession::NoteMarks(int64_t t_us) {
    while (next_mark_ < marks_.size() && static_cast<int64_t>(marks_[next_mark_].time_us) <= t_us) {
        const session_events::Mark& m = marks_[next_mark_++];
        OnMark(static_cast<int64_t>(m.time_us), m.text);
    }
}

void ExportSession::OnMark(int64_t t_us, const std::string& text) {
    Annotate(t_us, session_events::MarkAnnotation(text));
    if (InRange(t_us / 1000000))
        marks_noted_.push_back({static_cast<uint64_t>(t_us - options_.from_s * 1000000), text});
}

void ExportSession::OnAlarm(int64_t t_us, const session_events::AlarmRecord& alarm) {
    Annotate(t_us, session_events::AlarmAnnotation(alarm));
    if (alarm.what == session_events::AlarmRecord::kSettings) alarms_recorded_ = true;
    if (alarm.what == session_events::AlarmRecord::kStart && InRange(t_us / 1000000)) {
        alarms_recorded_ = true;
        ++alarm_starts_[alarm.kind];
    }
}

void ExportSession::Moment(int64_t t_us) {
    NoteMarks(t_us);
    if (moment_observer_)
        moment_observer_(t_us, sampler_.LinkState() == data_export::LinkState::kLost);
}

void ExportSession::OnDocumentation(int index, const std::string& text, int64_t t_us) {
    static const char* const kNames[4] = {"Operator: ", "Serial: ", "Sensor: ", "Comment: "};
    if (index < 0 || index > 3 || text.empty()) return;
    docs_[index] = text;
    // Texts given before the part starts are noted at its start.
    Annotate(std::max(t_us, options_.from_s * 1000000), kNames[index] + text);
}

void ExportSession::OnSample(void* self, const processing::CurrentSample& sample,
                             const uint8_t* ecg) {
    static_cast<ExportSession*>(self)->Sample(sample, ecg);
}

void ExportSession::NoteStatus(int64_t t_us) {
    if (fields_[StatusText] == status_) return;
    status_ = fields_[StatusText];
    if (!status_.empty()) Annotate(t_us, status_);
}

void ExportSession::NoSamples(int64_t gap_start) {
    if (any_record_) Note(gap_start, slot_ * kRecordUs - gap_start, "No samples");
}

void ExportSession::Sample(const processing::CurrentSample& sample, const uint8_t* ecg) {
    if (recorded_times_ && chunk_us_ - slot_ * kRecordUs > kResyncUs) {
        const int64_t gap_start = slot_ * kRecordUs;
        slot_ = chunk_us_ / kRecordUs;
        NoSamples(gap_start);
        counted_ = 0;
    }
    // Frames lost on the line: the records after them keep their slots. Trusted only
    // once the device's count has stepped by one, so a device that does not count
    // (or a stand-in repeat of a record, the same number again) moves nothing.
    const int number = sample.sample_number & kRecordNumberMask;
    const int step = (number - last_number_) & kRecordNumberMask;
    if (any_record_ && step > 1 && step <= kMaxLostFrames && counted_ > 0 &&
        numbered_slot_ + step > slot_) {
        const int64_t gap_start = slot_ * kRecordUs;
        slot_ = numbered_slot_ + step;
        NoSamples(gap_start);
    }
    if (!any_record_ || step != 0) {
        counted_ = step == 1 ? counted_ + 1 : 0;
        last_number_ = number;
        numbered_slot_ = slot_;
    }
    const int64_t t = slot_ * kRecordUs;
    Moment(t);
    // The view changed while the record before this one was interpreted.
    NoteStatus(any_record_ ? last_record_us_ : 0);
    sampler_.AdvanceTo(t, [this](int64_t second, const data_export::SecondValues& values) {
        OnSecond(second, values);
    });
    // The seconds before this frame still had no data.
    if (no_data_) {
        no_data_ = false;
        Annotate(t, "Data again");
        sampler_.SetLinkState(data_export::LinkState::kConnected);
    }
    const int64_t index = slot_ % data_export::kPlethPerSecond;
    wave_.pleth[0][index] = sample.sIR;
    wave_.pleth[1][index] = sample.sRed;
    wave_.pleth[2][index] = sample.sOra;
    if (ecg != nullptr) {
        int32_t* out = wave_.ecg + index * kEcgPerRecord;
        for (int i = 0; i < kEcgPerRecord; ++i)
            out[i] = static_cast<int16_t>(ecg[2 * i] | (ecg[2 * i + 1] << 8));
    }
    last_record_us_ = t;
    any_record_ = true;
    ++slot_;
}

void ExportSession::OnSecond(int64_t second, const data_export::SecondValues& values) {
    if (pending_) WritePending();
    pending_ = true;
    pending_second_ = second;
    pending_values_ = values;
    wave_.Clear();
    if (!InRange(second)) return;
    // A part that starts later says what the status was at its start.
    if (second == options_.from_s && second > 0 && !values.status.empty())
        Annotate(second * 1000000, values.status);
    ++seconds_written_;
    if (second_observer_) second_observer_(second - options_.from_s, values);
}

void ExportSession::WritePending(bool last) {
    pending_ = false;
    if (InRange(pending_second_)) {
        if (edf_ != nullptr && !edf_->AddSecond(pending_values_, wave_)) Fail(edf_->Error());
        if (csv_ != nullptr) csv_rows_.emplace_back(pending_second_, pending_values_);
    }
    if (csv_ != nullptr) WriteCsvRows(pending_second_ - kCsvHoldSeconds, last);
}

bool ExportSession::Finish() {
    NoteStatus(last_record_us_);
    NoteMarks(INT64_MAX);
    if (pending_) WritePending(true);
    if (csv_ != nullptr) WriteCsvRows(0, true);
    bool ok = error_.empty();
    if (ok && seconds_written_ == 0) Fail("nothing to export: no framed record in the chosen span");
    if (csv_ != nullptr && !csv_->Close()) Fail(csv_->Error());
    if (edf_ != nullptr && error_.empty()) {
        data_export::EdfPlusHeader header;
        header.start_unix_us = start_unix_us_ + options_.from_s * 1000000;
        header.ecg = protocol_ == 2;
        header.patient = options_.patient;
        header.technician = docs_[0];
        header.equipment = "VELT oximeter";
        if (!docs_[1].empty()) header.equipment += " SN " + docs_[1];
        if (!docs_[2].empty()) header.recording_additional = "sensor " + docs_[2];
        if (!edf_->Close(header)) Fail(edf_->Error());
    }
    csv_.reset();
    edf_.reset();
    // Only whole files take the chosen names.
    for (auto [temp, target, chosen] : {std::tuple{&edf_temp_, &edf_target_, &options_.edf_path},
                                        std::tuple{&csv_temp_, &csv_target_, &options_.csv_path}}) {
        if (temp->empty() || !error_.empty()) continue;
        if (::rename(temp->c_str(), target->c_str()) != 0)
            Fail("cannot write \"" + *chosen + "\": " + std::strerror(errno));
        else
            temp->clear();
    }
    if (!error_.empty()) Discard();
    return error_.empty();
}

void NoteForReport(const ExportSession& exporter, report::Numbers* numbers,
                   std::vector<report::Mark>* marks) {
    numbers->marks = static_cast<int>(exporter.MarksNoted().size());
    for (const session_events::Mark& m : exporter.MarksNoted())
        marks->push_back({static_cast<int64_t>(m.time_us / 1000000), m.text});
    numbers->alarms_recorded = exporter.AlarmsRecorded();
    std::copy(exporter.AlarmStarts(), exporter.AlarmStarts() + alarms::kKindCount,
              numbers->alarm_starts);
}

void ExportCaptureEvent(ExportSession& session, const recordings::CaptureRecord& record) {
    using recordings::CaptureKind;
    using Event = ExportSession::LinkEvent;
    const int64_t t = static_cast<int64_t>(record.time_us);
    const std::string detail =
        record.size > 0 ? std::string(reinterpret_cast<const char*>(record.data), record.size)
                        : std::string();
    auto u64 = [&record](size_t at) {
        uint64_t v = 0;
        for (size_t i = 0; i < 8 && at + i < record.size; ++i)
            v |= static_cast<uint64_t>(record.data[at + i]) << (8 * i);
        return v;
    };
    switch (record.kind) {
        case CaptureKind::PortOpened:
            session.OnLinkEvent(Event::kPortOpened, t, detail);
            break;
        case CaptureKind::PortClosed:
            session.OnLinkEvent(Event::kPortClosed, t, detail);
            break;
        case CaptureKind::DeviceLost:
            session.OnLinkEvent(Event::kLost, t, detail);
            break;
        case CaptureKind::DeviceBack:
            session.OnLinkEvent(Event::kBack, t, detail);
            break;
        case CaptureKind::NoData:
            session.OnLinkEvent(Event::kNoData, t, detail);
            break;
        case CaptureKind::Documentation:
            if (record.size > 0) session.OnDocumentation(record.data[0], detail.substr(1), t);
            break;
        case CaptureKind::Alarm: {
            session_events::AlarmRecord alarm;
            if (session_events::DecodeAlarm(record.data, record.size, &alarm))
                session.OnAlarm(t, alarm);
            break;
        }
        case CaptureKind::Mark: {
            uint64_t before = 0;
            std::string text;
            if (session_events::DecodeMark(record.data, record.size, &before, &text))
                session.OnMark(t - static_cast<int64_t>(std::min<uint64_t>(before, t)), text);
            break;
        }
        case CaptureKind::DeviceBytesDropped:
            // Bytes the program never received: their records are missing here too.
            session.Annotate(t, "Tap dropped " + std::to_string(record.size) + " device bytes");
            break;
        case CaptureKind::RecordsDropped: {
            const std::string lost = "Capture lost " + std::to_string(u64(0)) + " records";
            const std::string bytes = lost + " (" + std::to_string(u64(8)) + " bytes)";
            session.Annotate(
                t, data_export::FirstFitting(
                       {record.size > 16 ? bytes + ": " + detail.substr(16) : bytes, bytes, lost}));
            break;
        }
        case CaptureKind::Protocol:
            if (record.size > 0) session.Annotate(t, "Protocol " + std::to_string(record.data[0]));
            break;
        default:
            break;
    }
}

void HeadlessView::SetFieldText(int field, const char* text) {
    if (text != nullptr && field >= 0 && field < ViewFieldCount) fields[field] = text;
}

int HeadlessView::GetFieldText(int field, char* buffer, int limit) {
    if (field < 0 || field >= ViewFieldCount || limit <= 0) return 0;
    size_t n = fields[field].copy(buffer, static_cast<size_t>(limit - 1));
    buffer[n] = '\0';
    return static_cast<int>(n);
}

void HeadlessView::PostPacketMessage(int code, COximeter* link) {
    if (code == 1 && link != nullptr) link->ProcessPackets();
}

void ResetHeadlessDisplay(COximeter& link, HeadlessView& view, const char* status) {
    link.ResetDisplay();
    view.SetFieldText(StatusText, status);
}

namespace {

// Where one file of a connection ends and the next begins: a hole (parts missing) is
// annotated there, and what the next file repeats at its start (the protocol, the
// documentation texts, a loss still going on) is not said again.
class PartSeams {
public:
    // True when r only repeats what is known.
    bool Repeats(const recordings::CaptureConnectionReader& reader,
                 const recordings::CaptureRecord& r, ExportSession* exporter) {
        using recordings::CaptureKind;
        if (reader.CurrentPart() != part_) {
            part_ = reader.CurrentPart();
            const uint32_t a = reader.Part(part_ - 1).header.part;
            const uint32_t b = reader.Part(part_).header.part;
            if (exporter != nullptr && b > a + 1)
                exporter->Annotate(
                    static_cast<int64_t>(reader.Part(part_).begin_us),
                    "session files missing: " + (b == a + 2 ? "part " + std::to_string(a + 1)
                                                            : "parts " + std::to_string(a + 1) +
                                                                  " to " + std::to_string(b - 1)));
        }
        const bool opening = part_ > 0 && r.time_us == reader.Part(part_).begin_us;
        const std::string bytes(reinterpret_cast<const char*>(r.data), r.size);
        auto known = [&](std::string& said) {
            const bool same = opening && said == bytes;
            said = bytes;
            return same;
        };
        switch (r.kind) {
            case CaptureKind::Documentation:
                return r.size > 0 && r.data[0] <= 3 && known(said_[r.data[0]]);
            case CaptureKind::Protocol:
                return known(said_[4]);
            case CaptureKind::DeviceLost: {
                const bool again = opening && lost_;
                lost_ = true;
                return again;
            }
            case CaptureKind::DeviceBack:
            case CaptureKind::PortOpened:
                lost_ = false;
                return false;
            default:
                return false;
        }
    }

private:
    size_t part_ = 0;
    std::string said_[5];  // the documentation texts 0 to 3, the protocol
    bool lost_ = false;
};

}  // namespace

bool FeedCapture(recordings::CaptureConnectionReader& reader, COximeter& link,
                 ExportSession* exporter, const std::function<void(const uint8_t*, size_t)>& feed,
                 const CaptureFeedControl& control) {
    recordings::ReceivedChunks received(reader.OpenAtStart());
    PartSeams seams;
    recordings::CaptureRecord r;
    bool session = false;
    uint64_t clock_us = 0;
    // Damage the reader passed over shows where it was: an annotation at the last
    // record's time before it.
    uint64_t last_us = 0, skipped = 0;
    auto note_damage = [&] {
        if (exporter == nullptr || reader.damaged_bytes() == skipped) return;
        const std::string bytes = std::to_string(reader.damaged_bytes() - skipped);
        exporter->Annotate(
            static_cast<int64_t>(last_us),
            data_export::FirstFitting({"session file damaged: " + bytes + " bytes skipped",
                                       "file damaged: " + bytes + " bytes skipped"}));
        skipped = reader.damaged_bytes();
    };
    while (reader.NextRecord(&r)) {
        note_damage();
        last_us = r.time_us;
        if (control.cancel != nullptr && control.cancel->load(std::memory_order_relaxed))
            return false;
        if (control.offset != nullptr)
            control.offset->store(reader.BytesDone(), std::memory_order_relaxed);
        if (seams.Repeats(reader, r, exporter)) continue;
        if (r.kind == recordings::CaptureKind::Clock && r.size == 8) {
            session = true;
            clock_us = 0;
            for (int i = 7; i >= 0; --i) clock_us = clock_us << 8 | r.data[i];
            clock_us -= r.time_us;
        }
        if (session && r.kind == recordings::CaptureKind::DeviceBack) {
            // The recording program reopened its device: its link counted a reconnect.
            link.Decoder().Reset();
            link.Statistics().Add(LinkStatistics::kReconnects);
        }
        if (r.kind == recordings::CaptureKind::Handoffs) link.Handoffs().Replay(r.data, r.size);
        if (!received.Take(r)) {
            if (exporter != nullptr) ExportCaptureEvent(*exporter, r);
            continue;
        }
        if (session) link.SetReceiveTick(platform::TickAt(clock_us + r.time_us));
        if (exporter != nullptr) exporter->SetChunkTime(static_cast<int64_t>(r.time_us));
        link.Handoffs().BeginChunk();
        feed(r.data, r.size);
    }
    note_damage();
    if (exporter != nullptr && reader.cut())
        exporter->Annotate(static_cast<int64_t>(last_us),
                           "session file cut at byte " + std::to_string(reader.cut_at()));
    return true;
}

std::string CaptureSkipped(const recordings::CaptureConnectionReader& reader) {
    std::string out;
    // A connection's damage and cut are in one of its files: named.
    auto in = [](const std::string& path) { return path.empty() ? path : "\"" + path + "\" "; };
    if (reader.damages() > 0) {
        out = in(reader.DamagePath()) + recordings::DescribeCaptureEvent(reader.first_damage());
        if (reader.damages() > 1)
            out += "; damaged in " + std::to_string(reader.damages()) + " places, " +
                   std::to_string(reader.damaged_bytes()) + " bytes skipped in all";
    }
    if (reader.cut()) {
        if (!out.empty()) out += "; ";
        out += in(reader.CutPath()) + "cut at byte " + std::to_string(reader.cut_at()) +
               ": processed the whole records before it";
    }
    return out;
}

bool ExportCaptureFile(const std::string& capture, const ExportOptions& options,
                       const CaptureFeedControl& control, std::string* error, std::string* skipped,
                       int64_t* seconds, ExportTaps* taps) {
    return ExportCaptureFiles({capture}, options, control, error, skipped, seconds, taps);
}

bool ExportCaptureFiles(const std::vector<std::string>& captures, const ExportOptions& options,
                        const CaptureFeedControl& control, std::string* error, std::string* skipped,
                        int64_t* seconds, ExportTaps* taps) {
    error->clear();
    if (skipped != nullptr) skipped->clear();
    if (seconds != nullptr) *seconds = 0;
    const std::string capture = captures.empty() ? std::string() : captures.front();
    recordings::CaptureConnectionReader reader;
    if (!reader.Open(captures)) {
        *error = captures.size() == 1 ? "\"" + capture + "\": " + reader.Error() : reader.Error();
        return false;
    }
    for (const std::string* out : {&options.edf_path, &options.csv_path}) {
        for (const std::string& in : captures) {
            if (!out->empty() && platform::SameFile(*out, in)) {
                *error = "\"" + *out + "\" is the session being exported: choose another file";
                return false;
            }
        }
    }
    const int protocol = reader.header().protocol;
    if (protocol != 1 && protocol != 2) {
        *error = "\"" + capture +
                 "\": EDF+ and CSV need a framed protocol (1 or 2): the reduced protocol's "
                 "records carry no timing";
        return false;
    }
    processing::Measurement measurement;
    measurement.SetLogging(false);
    HeadlessView view;
    COximeter link(nullptr, protocol, true, &measurement);
    link.AttachView(&view);
    // Acknowledgements go nowhere: nothing is listening.
    LinkFrameHandler handler(link, [](const uint8_t*, size_t) { return 0; });
    bool ok;
    {
        ExportSession exporter(options, view.fields, link.Statistics(), measurement, protocol,
                               reader.header().start_unix_us, true);
        exporter.SetDisplayReset(
            [&](const char* status) { ResetHeadlessDisplay(link, view, status); });
        if (taps != nullptr && taps->second) exporter.SetSecondObserver(taps->second);
        ok = exporter.Open();
        std::vector<session_events::Mark> marks;
        if (ok && !session_events::LoadMarks(capture, &marks, error)) ok = false;
        exporter.AddMarks(marks);
        if (ok) {
            const bool whole = FeedCapture(
                reader, link, &exporter,
                [&](const uint8_t* bytes, size_t size) {
                    link.Statistics().Add(LinkStatistics::kBytes, size);
                    link.Decoder().Feed(bytes, size, handler);
                },
                control);
            if (!whole) {
                *error = kExportCancelled;
                ok = false;
            } else if (!reader.Error().empty()) {
                *error = captures.size() == 1 ? "\"" + capture + "\": " + reader.Error()
                                              : reader.Error();
                ok = false;
            } else {
                ok = exporter.Finish();
                if (seconds != nullptr) *seconds = exporter.SecondsWritten();
                if (taps != nullptr) {
                    taps->start_unix_us = reader.header().start_unix_us;
                    taps->protocol = protocol;
                    for (int i = 0; i < 4; ++i) taps->documentation[i] = exporter.Documentation(i);
                    NoteForReport(exporter, &taps->noted, &taps->marks);
                }
            }
        }
        if (!ok && error->empty()) *error = exporter.Error();
    }  // an unfinished export takes its files with it
    if (skipped != nullptr) *skipped = CaptureSkipped(reader);
    link.AttachView(nullptr);
    return ok;
}

int64_t CountStreamRecords(const std::string& path, int protocol) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) return -1;
    processing::Measurement measurement;
    measurement.SetLogging(false);
    int64_t records = 0;
    measurement.SetSampleObserver([](void* count, const processing::CurrentSample&,
                                     const uint8_t*) { ++*static_cast<int64_t*>(count); },
                                  &records);
    // Only counting: the debugger output of this pass would repeat the real one's.
    platform::SetDebugSink([](std::string_view) {});
    COximeter link(nullptr, protocol, false, &measurement);
    LinkFrameHandler handler(link, nullptr);
    std::vector<uint8_t> chunk(2048);  // fewer frames than the queue holds
    size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), in)) > 0) {
        link.Decoder().Feed(chunk.data(), got, handler);
        link.ProcessPackets();
    }
    platform::SetDebugSink({});
    const bool ok = !std::ferror(in);
    std::fclose(in);
    return ok ? records : -1;
}
