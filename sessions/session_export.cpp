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
#include "recordings/capture_file.h"

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

void ExportSession::Annotate(int64_t t_us, const std::string& text) {
    if (edf_ == nullptr || t_us < options_.from_s * 1000000) return;
    if (options_.to_s >= 0 && t_us >= options_.to_s * 1000000) return;
    edf_->AddAnnotation(t_us - options_.from_s * 1000000, -1, text);
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

void ExportSession::Moment(int64_t t_us) {
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
    if (any_record_ && edf_ != nullptr && gap_start >= options_.from_s * 1000000 &&
        (options_.to_s < 0 || gap_start < options_.to_s * 1000000))
        edf_->AddAnnotation(gap_start - options_.from_s * 1000000, slot_ * kRecordUs - gap_start,
                            "No samples");
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
    if (csv_ != nullptr && !csv_->AddRow(values)) Fail(csv_->Error());
}

void ExportSession::WritePending() {
    pending_ = false;
    if (edf_ != nullptr && InRange(pending_second_) && !edf_->AddSecond(pending_values_, wave_))
        Fail(edf_->Error());
}

bool ExportSession::Finish() {
    NoteStatus(last_record_us_);
    if (pending_) WritePending();
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

bool FeedCapture(recordings::CaptureFileReader& reader, COximeter& link, ExportSession* exporter,
                 const std::function<void(const uint8_t*, size_t)>& feed,
                 const CaptureFeedControl& control) {
    recordings::ReceivedChunks received(recordings::ReceivedChunks::OpenAtStart(reader));
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
            control.offset->store(reader.offset(), std::memory_order_relaxed);
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

std::string CaptureSkipped(const recordings::CaptureFileReader& reader) {
    std::string out;
    if (reader.damages() > 0) {
        out = recordings::DescribeCaptureEvent(reader.first_damage());
        if (reader.damages() > 1)
            out += "; damaged in " + std::to_string(reader.damages()) + " places, " +
                   std::to_string(reader.damaged_bytes()) + " bytes skipped in all";
    }
    if (reader.cut()) {
        if (!out.empty()) out += "; ";
        out += "cut at byte " + std::to_string(reader.cut_at()) +
               ": processed the whole records before it";
    }
    return out;
}

bool ExportCaptureFile(const std::string& capture, const ExportOptions& options,
                       const CaptureFeedControl& control, std::string* error, std::string* skipped,
                       int64_t* seconds, ExportTaps* taps) {
    error->clear();
    if (skipped != nullptr) skipped->clear();
    if (seconds != nullptr) *seconds = 0;
    recordings::CaptureFileReader reader;
    if (!reader.Open(capture)) {
        *error = "\"" + capture + "\": " + reader.Error();
        return false;
    }
    for (const std::string* out : {&options.edf_path, &options.csv_path}) {
        if (!out->empty() && platform::SameFile(*out, capture)) {
            *error = "\"" + *out + "\" is the session being exported: choose another file";
            return false;
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
                *error = "\"" + capture + "\": " + reader.Error();
                ok = false;
            } else {
                ok = exporter.Finish();
                if (seconds != nullptr) *seconds = exporter.SecondsWritten();
                if (taps != nullptr) {
                    taps->start_unix_us = reader.header().start_unix_us;
                    taps->protocol = protocol;
                    for (int i = 0; i < 4; ++i) taps->documentation[i] = exporter.Documentation(i);
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
