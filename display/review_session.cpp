#include "display/review_session.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr uint64_t kSecondUs = 1000000;
// Keeps the checkpoints of a whole day to a few hundred.
constexpr uint64_t kMinSpacingUs = 30 * kSecondUs;
constexpr uint64_t kMaxCheckpoints = 600;

float Shown(const std::string& text) {
    const std::optional<double> v = data_export::ShownValue(text);
    return v ? static_cast<float>(*v) : std::nanf("");
}

// A plot as a review's view starts with it.
void FreshPlot(WaveformPlot& plot) {
    plot.UseOwnTrendPoints();
    plot.RedrawPlot();
    plot.TakeDirtyRegion();
}

// Stands in for a window: the plot only (the player keeps the texts).
class PlotOnly : public processing::IMeasurementView {
public:
    PlotOnly(WaveformPlot& plot, const SessionPlayer& player) : plot_(plot), player_(player) {}
    void SetFieldText(int, const char*) override {}
    void AppendSample(uint8_t value, Colour colour) override {
        plot_.AppendSample(value, colour, player_.Measurement().EventByte());
    }
    void AppendPulseTrend(uint8_t value) override { plot_.AppendPulseTrend(value); }
    void ResetPlot() override { plot_.ResetPlot(); }
    void RedrawPlot() override { plot_.RedrawPlot(); }
    void PlaySoundAsync(const char*) override {}

private:
    WaveformPlot& plot_;
    const SessionPlayer& player_;
};

}  // namespace

uint64_t ReviewIndex::CheckpointSpacingUs(uint64_t duration_us) {
    const uint64_t spread = duration_us / kMaxCheckpoints;
    const uint64_t spacing = std::max(kMinSpacingUs, spread);
    return (spacing + kSecondUs - 1) / kSecondUs * kSecondUs;
}

bool ReviewIndex::Build(const std::string& path, const std::atomic<bool>* cancel) {
    SessionPlayer player;
    auto fail = [this](const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = why;
        return false;
    };
    if (!player.Open(path)) return fail(player.Error());
    duration_us_.store(player.Duration(), std::memory_order_release);
    WaveformPlot plot;
    FreshPlot(plot);
    PlotOnly out(plot, player);
    player.SetOutput(&out);
    player.SetMuted(true);
    const uint64_t spacing = CheckpointSpacingUs(player.Duration());
    player.SetNoteObserver([this](const recordings::CaptureRecord& r) {
        Event e;
        e.time_us = r.time_us;
        session_events::AlarmRecord alarm;
        uint64_t before = 0;
        std::string text;
        if (r.kind == recordings::CaptureKind::Mark) {
            if (!session_events::DecodeMark(r.data, r.size, &before, &text)) return;
            e.time_us -= std::min(before, e.time_us);
            e.text = session_events::MarkAnnotation(text);
        } else if (session_events::DecodeAlarm(r.data, r.size, &alarm)) {
            e.type = Event::kAlarm;
            e.text = session_events::AlarmAnnotation(alarm);
            if (alarm.what == session_events::AlarmRecord::kStart) e.priority = alarm.priority;
        } else {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (e.type == Event::kAlarm) alarms_.emplace_back(r.time_us, alarm);
        events_.push_back(std::move(e));
    });
    std::string last_status;
    uint64_t damaged = 0;
    for (uint64_t t = 0;; t += kSecondUs) {
        if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) return false;
        const bool more = player.AdvanceTo(t);
        if (player.Reader().damaged_bytes() > damaged) {
            // At the second reading resumed in, as the exports annotate it.
            Event e;
            e.type = Event::kDamage;
            e.time_us = t;
            e.text = "session file damaged: " +
                     std::to_string(player.Reader().damaged_bytes() - damaged) + " bytes skipped";
            damaged = player.Reader().damaged_bytes();
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(std::move(e));
        }
        Second s;
        s.spo2 = Shown(player.FieldText(Spo2));
        s.pulse = Shown(player.FieldText(Pulse));
        s.perfusion = Shown(player.FieldText(Perfusion_IR));
        s.link = !player.PortOpen()    ? data_export::LinkState::kClosed
                 : !player.Connected() ? data_export::LinkState::kLost
                 : player.NoData()     ? data_export::LinkState::kNoData
                                       : data_export::LinkState::kConnected;
        const std::string& status = player.FieldText(StatusText);
        s.status_changed = t > 0 && status != last_status;
        last_status = status;
        std::shared_ptr<ReviewCheckpoint> checkpoint;
        if (t % spacing == 0 && more) {
            checkpoint = std::make_shared<ReviewCheckpoint>();
            player.Save(checkpoint->player);
            plot.Save(checkpoint->plot);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            seconds_.push_back(s);
            if (checkpoint) {
                checkpoint_bytes_ += checkpoint->Bytes();
                checkpoints_.push_back(std::move(checkpoint));
            }
        }
        reached_us_.store(t, std::memory_order_release);
        if (!more || t >= player.Duration()) break;
    }
    if (player.Reader().damages() > 0 || player.Reader().cut()) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = player.Reader().cut() && player.Reader().damages() == 0
                     ? "the file is cut short"
                     : recordings::DescribeCaptureEvent(player.Reader().first_damage());
    }
    done_.store(true, std::memory_order_release);
    return true;
}

std::vector<ReviewIndex::Event> ReviewIndex::EventsFrom(size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (from >= events_.size()) return {};
    return std::vector<Event>(events_.begin() + static_cast<ptrdiff_t>(from), events_.end());
}

void ReviewIndex::AlarmsAt(uint64_t time_us, session_events::AlarmReplay* out) const {
    out->Reset();
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [t, record] : alarms_) {
        if (t > time_us) break;
        out->Apply(record, t / 1000);
    }
}

double ReviewIndex::Progress() const {
    if (done_.load(std::memory_order_acquire)) return 1.0;
    const uint64_t d = duration_us_.load(std::memory_order_acquire);
    return d == 0 ? 0.0 : std::min(1.0, static_cast<double>(reached_us_.load()) / d);
}

std::string ReviewIndex::Error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

size_t ReviewIndex::SecondCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seconds_.size();
}

std::vector<ReviewIndex::Second> ReviewIndex::SecondsFrom(size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (from >= seconds_.size()) return {};
    return std::vector<Second>(seconds_.begin() + static_cast<long>(from), seconds_.end());
}

std::shared_ptr<const ReviewCheckpoint> ReviewIndex::CheckpointBefore(uint64_t time_us) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto after = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), time_us,
                                  [](uint64_t t, const std::shared_ptr<const ReviewCheckpoint>& c) {
                                      return t < c->player.time_us;
                                  });
    if (after == checkpoints_.begin()) return nullptr;
    return *(after - 1);
}

size_t ReviewIndex::CheckpointCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return checkpoints_.size();
}

size_t ReviewIndex::CheckpointBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return checkpoint_bytes_;
}

ReviewSession::ReviewSession(WaveformPlot& plot, FieldSink fields, SoundSink sound)
    : plot_(plot), fields_(std::move(fields)), sound_(std::move(sound)) {
    plot_.UseOwnTrendPoints();
}

ReviewSession::~ReviewSession() { player_.SetOutput(nullptr); }

bool ReviewSession::Open(const std::string& path) {
    if (!player_.Open(path)) return false;
    player_.Save(start_.player);
    plot_.Save(start_.plot);
    player_.SetOutput(this);
    return true;
}

bool ReviewSession::AdvanceTo(uint64_t time_us) { return player_.AdvanceTo(time_us); }

void ReviewSession::SeekTo(uint64_t time_us) {
    std::shared_ptr<const ReviewCheckpoint> checkpoint =
        index_ ? index_->CheckpointBefore(time_us) : nullptr;
    const ReviewCheckpoint& from = checkpoint ? *checkpoint : start_;
    const uint64_t here = player_.Position();
    // Going on from here is the same as going on from a checkpoint, and shorter.
    const bool go_on = here <= time_us && here >= from.player.time_us && !player_.AtEnd();
    player_.SetMuted(true);
    if (!go_on) {
        player_.Restore(from.player);
        plot_.Restore(from.plot);
    }
    player_.AdvanceTo(time_us);
    player_.SetMuted(false);
}

void ReviewSession::SetFieldText(int field, const char* text) {
    if (fields_) fields_(field, text);
}

void ReviewSession::AppendSample(uint8_t value, Colour colour) {
    plot_.AppendSample(value, colour, player_.Measurement().EventByte());
}

void ReviewSession::AppendPulseTrend(uint8_t value) { plot_.AppendPulseTrend(value); }

void ReviewSession::ResetPlot() { plot_.ResetPlot(); }

void ReviewSession::RedrawPlot() { plot_.RedrawPlot(); }

void ReviewSession::PlaySoundAsync(const char* file_name) {
    if (sound_) sound_(file_name);
}
