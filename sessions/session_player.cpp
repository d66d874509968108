#include "sessions/session_player.h"

#include <sys/stat.h>

#include <cstring>

#include "link/frame_handler.h"
#include "link/oximeter.h"

using recordings::CaptureKind;

namespace {

constexpr uint64_t kNoDataUs = static_cast<uint64_t>(kLinkNoDataMs) * 1000;
// The receive thread reads at most this much at once; a bigger recorded chunk is
// fed in such pieces, so that the queue never holds more than a live one would.
constexpr size_t kPiece = 256;
constexpr uint64_t kTailBytes = 256 * 1024;

}  // namespace

// The link's view: keeps the texts, sends everything on to the player's output and
// processes a queued frame at once (no event loop between decoder and queue).
class SessionPlayer::Sink : public ILinkView {
public:
    explicit Sink(SessionPlayer& player) : player_(player) {}
    void SetFieldText(int field, const char* text) override {
        if (text != nullptr && field >= 0 && field < ViewFieldCount) player_.SetField(field, text);
    }
    int GetFieldText(int field, char* buffer, int limit) override {
        if (buffer == nullptr || limit <= 0) return 0;
        buffer[0] = '\0';
        if (field < 0 || field >= ViewFieldCount) return 0;
        const size_t n = player_.state_.fields[field].copy(buffer, static_cast<size_t>(limit - 1));
        buffer[n] = '\0';
        return static_cast<int>(n);
    }
    bool IsFieldModified(int) override { return false; }
    void SetFieldModified(int, bool) override {}
    void AppendSample(uint8_t value, Colour colour) override {
        if (player_.out_ != nullptr) player_.out_->AppendSample(value, colour);
    }
    void AppendPulseTrend(uint8_t value) override {
        if (player_.out_ != nullptr) player_.out_->AppendPulseTrend(value);
    }
    void ResetPlot() override {
        if (player_.out_ != nullptr) player_.out_->ResetPlot();
    }
    void RedrawPlot() override {
        if (player_.out_ != nullptr) player_.out_->RedrawPlot();
    }
    void PostPacketMessage(int code, COximeter* link) override {
        if (code == 1 && link != nullptr) link->ProcessPackets();
    }
    void RunPendingCalls() override {}
    void PlaySoundAsync(const char* file_name) override {
        if (!player_.muted_ && player_.out_ != nullptr) player_.out_->PlaySoundAsync(file_name);
    }

    // Documentation loaded by the link from this machine's settings is not the
    // session's: ignored while the link attaches.
    bool attaching = false;

private:
    SessionPlayer& player_;
};

SessionPlayer::SessionPlayer() : sink_(std::make_unique<Sink>(*this)) {
    measurement_.SetLogging(false);
}

SessionPlayer::~SessionPlayer() {
    if (link_) link_->AttachView(nullptr);
}

bool SessionPlayer::Open(const std::string& path) {
    std::string why;
    auto source = recordings::OpenCaptureFileSource(path, &why);
    if (!source) {
        error_ = why;
        return false;
    }
    path_ = path;
    return Open(std::move(source));
}

bool SessionPlayer::Open(std::unique_ptr<recordings::CaptureByteSource> source) {
    if (!reader_.Open(std::move(source))) {
        error_ = reader_.Error();
        return false;
    }
    FindDuration();
    Reset();
    return true;
}

void SessionPlayer::FindDuration() {
    duration_us_ = 0;
    struct stat st {};
    uint64_t from = reader_.records_start();
    // Version 2 starts reading anywhere; the last records are near the end.
    if (!path_.empty() && reader_.header().version >= 2 && ::stat(path_.c_str(), &st) == 0 &&
        static_cast<uint64_t>(st.st_size) > from + kTailBytes)
        from = static_cast<uint64_t>(st.st_size) - kTailBytes;
    for (;;) {
        reader_.Seek(from);
        recordings::CaptureRecord r;
        bool any = false;
        while (reader_.NextRecord(&r)) {
            duration_us_ = r.time_us;
            any = true;
        }
        if (any || from == reader_.records_start()) break;
        from = reader_.records_start();  // a damaged tail: read it all
    }
}

void SessionPlayer::Reset() {
    // The link without a port: its frame handling and packet processing only.
    if (link_) link_->AttachView(nullptr);
    handler_.reset();
    link_ = std::make_unique<COximeter>(nullptr, Header().protocol, heartbeat_, &measurement_);
    handler_ = std::make_unique<LinkFrameHandler>(*link_, LinkFrameHandler::AckWriter());
    sink_->attaching = true;
    link_->AttachView(sink_.get());
    sink_->attaching = false;
    open_at_start_ = recordings::ReceivedChunks::OpenAtStart(reader_);
    Rewind();
}

void SessionPlayer::Rewind() {
    state_ = State();
    state_.protocol = Header().protocol >= 1 && Header().protocol <= 3 ? Header().protocol : 1;
    processing::Measurement fresh;  // the initial values, without opening any log
    fresh.SetLogging(false);
    fresh.SaveState(state_.measurement);
    measurement_.RestoreState(state_.measurement);
    state_.open = open_at_start_;
    reader_.Seek(reader_.records_start());
    state_.offset = reader_.records_start();
    have_pending_ = false;
    at_end_ = false;
    link_->Interpretation() = state_.interpretation;
    link_->Decoder().Reset();
    for (auto& text : state_.fields) text.clear();
    ShowHeaderFacts();
}

void SessionPlayer::ShowHeaderFacts() {
    const std::string& device = Header().device;
    const size_t hash = device.find('#');
    SetField(PortText, hash == std::string::npos ? device.c_str() : device.c_str() + hash);
    SetField(ComputerText, Header().host.c_str());
}

void SessionPlayer::SetField(int field, const char* text) {
    if (sink_->attaching && (field == DocOperator || field == DocSerial || field == DocSensor ||
                             field == DocComment || field == PortText || field == ComputerText))
        return;
    state_.fields[field] = text;
    if (!muted_ && out_ != nullptr) {
        out_->SetFieldText(field, text);
        shown_[field] = text;
    }
}

void SessionPlayer::SetMuted(bool muted) {
    if (muted_ == muted) return;
    muted_ = muted;
    if (!muted_ && out_ != nullptr) {
        for (int f = 0; f < ViewFieldCount; ++f) {
            if (shown_[f] == state_.fields[f]) continue;
            out_->SetFieldText(f, state_.fields[f].c_str());
            shown_[f] = state_.fields[f];
        }
    }
}

void SessionPlayer::ShowAllFields() {
    if (out_ == nullptr) return;
    for (int f = 0; f < ViewFieldCount; ++f) {
        out_->SetFieldText(f, state_.fields[f].c_str());
        shown_[f] = state_.fields[f];
    }
}

bool SessionPlayer::AdvanceTo(uint64_t time_us) {
    for (;;) {
        if (!have_pending_) {
            recordings::CaptureRecord r;
            if (!reader_.NextRecord(&r)) {
                at_end_ = true;
                break;
            }
            pending_ = r;
            pending_bytes_.assign(reinterpret_cast<const char*>(r.data), r.size);
            pending_.data = reinterpret_cast<const uint8_t*>(pending_bytes_.data());
            have_pending_ = true;
        }
        if (pending_.time_us > time_us) break;
        have_pending_ = false;
        CheckNoData(pending_.time_us);
        state_.time_us = pending_.time_us;
        Handle(pending_);
        state_.offset = reader_.offset();
    }
    if (have_pending_) state_.offset = pending_.offset;
    // The position moves on to the time asked for while there is more to come.
    if (!at_end_ && time_us > state_.time_us) {
        CheckNoData(time_us);
        state_.time_us = time_us;
    }
    return !at_end_;
}

void SessionPlayer::CheckNoData(uint64_t now_us) {
    if (!state_.open || !state_.connected || state_.no_data) return;
    if (now_us < state_.last_good_us + kNoDataUs) return;
    ShowNoData();
}

void SessionPlayer::ShowNoData() {
    state_.no_data = true;
    // Values shown from now on are shown afresh, not compared with stale ones.
    state_.interpreter = processing::ReducedInterpreter();
    link_->ShowNoData();
}

void SessionPlayer::ShowConnected(uint64_t time_us) {
    state_.connected = true;
    state_.no_data = false;
    state_.last_good_us = time_us;
    link_->Decoder().Reset();
    ShowReset("Connected..");
}

void SessionPlayer::ShowReset(const char* status) {
    link_->ResetDisplay();
    if (status != nullptr) SetField(StatusText, status);
}

void SessionPlayer::Handle(const recordings::CaptureRecord& r) {
    switch (r.kind) {
        case CaptureKind::PortOpened:
            state_.open = true;
            ShowConnected(r.time_us);
            break;
        case CaptureKind::PortClosed:
            state_.open = false;
            state_.no_data = false;
            ShowReset("Disconnected");
            break;
        case CaptureKind::DeviceLost: {
            state_.connected = false;
            state_.no_data = false;
            std::string text = "*** Connection lost";
            if (r.size > 0) {
                text += " (";
                text.append(reinterpret_cast<const char*>(r.data), r.size);
                text += ")";
            }
            ShowReset(text.c_str());
            break;
        }
        case CaptureKind::DeviceBack:
            ShowConnected(r.time_us);
            break;
        case CaptureKind::NoData:
            if (state_.open && state_.connected && !state_.no_data) ShowNoData();
            break;
        case CaptureKind::Protocol:
            if (r.size == 1 && r.data[0] >= 1 && r.data[0] <= 3 && r.data[0] != state_.protocol) {
                state_.protocol = r.data[0];
                link_->Decoder().Reset();
                state_.reduced.Reset();
            }
            break;
        case CaptureKind::Documentation:
            if (r.size >= 1 && r.data[0] <= 3) {
                static constexpr int kDoc[] = {DocOperator, DocSerial, DocSensor, DocComment};
                const std::string text(reinterpret_cast<const char*>(r.data + 1), r.size - 1);
                SetField(kDoc[r.data[0]], text.c_str());
            }
            break;
        case CaptureKind::Alarm:
        case CaptureKind::Mark:
            if (note_observer_) note_observer_(r);
            break;
        case CaptureKind::Handoffs:
            link_->Handoffs().Replay(r.data, r.size);
            break;
        case CaptureKind::DeviceBytes:
            if (state_.open) Feed(r.data, r.size);
            break;
        default:
            break;
    }
}

void SessionPlayer::Feed(const uint8_t* data, size_t size) {
    const int64_t unix_us = Header().start_unix_us + static_cast<int64_t>(state_.time_us);
    link_->Interpretation().shown_time = unix_us >= 0 ? unix_us / 1000000 : -1;
    state_.interpreter.SetRecordedTick(static_cast<uint32_t>(unix_us / 1000));
    const uint64_t before = link_->Statistics().Get(LinkStatistics::kFrames);
    link_->Handoffs().BeginChunk();
    for (size_t at = 0; at < size; at += kPiece) {
        const size_t n = size - at < kPiece ? size - at : kPiece;
        if (state_.protocol == 3) {
            state_.reduced.Feed(data + at, n, [&](uint8_t code, uint8_t value) {
                link_->Statistics().Add(LinkStatistics::kFrames);
                if (state_.no_data) {
                    // Data again: the status the device last sent comes back first.
                    state_.no_data = false;
                    if (state_.last_status >= 0)
                        state_.interpreter.OnRecord(ReducedDecoder::kStatus,
                                                    static_cast<uint8_t>(state_.last_status),
                                                    sink_.get(), false);
                    else
                        SetField(StatusText, "Connected..");
                }
                if (code == ReducedDecoder::kStatus) state_.last_status = value;
                state_.interpreter.OnRecord(code, value, sink_.get(), heartbeat_ && !muted_);
            });
        } else {
            link_->Decoder().Feed(data + at, n, *handler_);
        }
    }
    if (link_->Statistics().Get(LinkStatistics::kFrames) != before) {
        state_.last_good_us = state_.time_us;
        state_.no_data = false;
    }
}

void SessionPlayer::Save(State& out) const {
    out = state_;
    out.offset = have_pending_ ? pending_.offset : reader_.offset();
    measurement_.SaveState(out.measurement);
    out.interpretation = link_->Interpretation();
    out.decoder = link_->Decoder();
    out.newest = link_->Handoffs().Newest();
}

bool SessionPlayer::Restore(const State& in) {
    if (!reader_.Seek(in.offset)) return false;
    state_ = in;
    measurement_.RestoreState(in.measurement);
    link_->Interpretation() = in.interpretation;
    link_->Decoder() = in.decoder;
    link_->Handoffs().SetNewest(in.newest);
    have_pending_ = false;
    at_end_ = false;
    return true;
}
