// The alarm signals one hears: a burst of tone pulses per priority (high: 3 + 2 pulses,
// a pause, 3 + 2, every 5 s; medium: 3 pulses every 15 s; low: 2 pulses once per alarm)
// with only the highest active priority sounding, and an audio pause of two minutes that
// a new alarm of higher priority sounds through. The pulses are made here as samples, so
// what sounds can be checked without a loudspeaker. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "processing/alarms.h"

namespace alarms {

inline constexpr uint64_t kAudioPauseMs = 120000;

struct Pulse {
    int start_ms;
    int length_ms;
};

// The pulses of one burst, from its start.
std::vector<Pulse> BurstPulses(Priority priority);
// How often a burst starts again while its priority is the highest (0: once).
uint64_t BurstRepeatMs(Priority priority);
// A burst as 16-bit mono samples at rate: each pulse a tone of 523 Hz with four harmonics,
// shaped so that it starts and stops without a click.
std::vector<int16_t> BurstSamples(Priority priority, int rate);

// Decides when a burst starts, from the highest active priority at each tick.
class AlarmSound {
public:
    // The burst to start now, or kNone. starts: AlarmMonitor::Starts().
    Priority Tick(uint64_t now_ms, Priority highest, uint32_t starts);
    // Silences for kAudioPauseMs from now (the visual signals go on).
    void Pause(uint64_t now_ms, Priority highest);
    void EndPause() { paused_until_ = 0; }
    bool Paused(uint64_t now_ms) const { return now_ms < paused_until_; }
    uint64_t PauseLeftMs(uint64_t now_ms) const {
        return Paused(now_ms) ? paused_until_ - now_ms : 0;
    }

private:
    Priority sounding_ = Priority::kNone;  // the priority of the last burst's alarms
    uint64_t next_ms_ = 0;                 // when it sounds again (0: not again)
    uint32_t starts_ = 0;
    uint64_t paused_until_ = 0;
    Priority paused_at_ = Priority::kNone;  // the highest priority when the pause began
};

}  // namespace alarms
