// The review of a recorded session without its window: a session player drawing into
// a plot and writing fields to whoever shows them, the index a worker thread builds
// over the whole file (the overview's values per second and checkpoints of the whole
// state), and seeking from the nearest checkpoint. Qt-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "display/waveform_plot.h"
#include "export/second_values.h"
#include "sessions/session_events.h"
#include "sessions/session_player.h"

// The whole state a review goes on from.
struct ReviewCheckpoint {
    SessionPlayer::State player;
    WaveformPlot::Snapshot plot;
    size_t Bytes() const { return sizeof *this + plot.runs.size() * sizeof(uint32_t); }
};

// Built once over the file, read while it is built (any thread).
class ReviewIndex {
public:
    // One second of the overview, from what the window showed at its end.
    struct Second {
        float spo2 = 0, pulse = 0, perfusion = 0;  // NaN: not shown (a gap, "x")
        data_export::LinkState link = data_export::LinkState::kClosed;
        bool status_changed = false;  // the status word differs from the second before
    };

    // Something the overview marks at its moment: a mark or an alarm the window
    // recorded, damage the reader passed over.
    struct Event {
        enum Type : uint8_t { kMark, kAlarm, kDamage };
        Type type = kMark;
        uint64_t time_us = 0;
        alarms::Priority priority = alarms::Priority::kNone;  // an alarm's start
        std::string text;                                     // as an export annotates it
    };

    // Checkpoints this far apart at least: a seek processes no more than this.
    static uint64_t CheckpointSpacingUs(uint64_t duration_us);

    // Plays the file through a player and plot of its own (as fast as it goes),
    // noting each second and a checkpoint every spacing. Stops early (false) when
    // cancel becomes true or the file cannot be read (Error()).
    bool Build(const std::string& path, const std::atomic<bool>* cancel);

    uint64_t DurationUs() const { return duration_us_.load(std::memory_order_acquire); }
    // 0..1 of the file processed.
    double Progress() const;
    bool Done() const { return done_.load(std::memory_order_acquire); }
    std::string Error() const;
    size_t SecondCount() const;
    // The seconds from `from` on that are there.
    std::vector<Second> SecondsFrom(size_t from) const;
    // The events from `from` on that are there, in time order.
    std::vector<Event> EventsFrom(size_t from) const;
    // The window's alarm pane at time_us, from the alarm records read so far.
    void AlarmsAt(uint64_t time_us, session_events::AlarmReplay* out) const;
    // The latest checkpoint at or before time_us (null when there is none yet).
    std::shared_ptr<const ReviewCheckpoint> CheckpointBefore(uint64_t time_us) const;
    size_t CheckpointCount() const;
    size_t CheckpointBytes() const;

private:
    mutable std::mutex mutex_;
    std::vector<Second> seconds_;
    std::vector<Event> events_;
    std::vector<std::pair<uint64_t, session_events::AlarmRecord>> alarms_;  // time, record
    std::vector<std::shared_ptr<const ReviewCheckpoint>> checkpoints_;
    size_t checkpoint_bytes_ = 0;
    std::string error_;
    std::atomic<uint64_t> duration_us_{0};
    std::atomic<uint64_t> reached_us_{0};
    std::atomic<bool> done_{false};
};

// A review's player with its plot and fields.
class ReviewSession : private processing::IMeasurementView {
public:
    using FieldSink = std::function<void(int field, const char* text)>;
    using SoundSink = std::function<void(const char* file_name)>;

    // The plot must be the one shown, fresh (reset and redrawn once); it gets its own
    // pulse trend points. Fields and sounds go to the sinks (either may be empty).
    ReviewSession(WaveformPlot& plot, FieldSink fields, SoundSink sound);
    ~ReviewSession() override;

    bool Open(const std::string& path);
    const std::string& Error() const { return player_.Error(); }
    SessionPlayer& Player() { return player_; }
    const SessionPlayer& Player() const { return player_; }
    uint64_t DurationUs() const { return player_.Duration(); }
    uint64_t PositionUs() const { return player_.Position(); }

    // Plays on up to time_us (never back); false at the end of the file.
    bool AdvanceTo(uint64_t time_us);
    // Shows what playing from the start to time_us shows, from the nearest
    // checkpoint of the index (when one is set), or from here when that is nearer.
    void SeekTo(uint64_t time_us);
    void SetIndex(std::shared_ptr<const ReviewIndex> index) { index_ = std::move(index); }

private:
    void SetFieldText(int field, const char* text) override;
    void AppendSample(uint8_t value, Colour colour) override;
    void AppendPulseTrend(uint8_t value) override;
    void ResetPlot() override;
    void RedrawPlot() override;
    void PlaySoundAsync(const char* file_name) override;

    WaveformPlot& plot_;
    FieldSink fields_;
    SoundSink sound_;
    SessionPlayer player_;
    std::shared_ptr<const ReviewIndex> index_;
    // The start: the player's state before the first record and the fresh plot.
    ReviewCheckpoint start_;
};
