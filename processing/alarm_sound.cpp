#include "processing/alarm_sound.h"

#include <algorithm>
#include <cmath>

namespace alarms {

std::vector<Pulse> BurstPulses(Priority priority) {
    switch (priority) {
        case Priority::kHigh: {
            // Pulses of 150 ms, 100 ms apart; 350 ms between the third and the fourth,
            // 700 ms between the two halves.
            std::vector<Pulse> p;
            for (int half : {0, 2100})
                for (int start : {0, 250, 500, 1000, 1250}) p.push_back({half + start, 150});
            return p;
        }
        case Priority::kMedium:
            return {{0, 200}, {400, 200}, {800, 200}};
        case Priority::kLow:
            return {{0, 200}, {400, 200}};
        case Priority::kNone:
            break;
    }
    return {};
}

uint64_t BurstRepeatMs(Priority priority) {
    return priority == Priority::kHigh ? 5000 : priority == Priority::kMedium ? 15000 : 0;
}

std::vector<int16_t> BurstSamples(Priority priority, int rate) {
    const std::vector<Pulse> pulses = BurstPulses(priority);
    if (pulses.empty() || rate <= 0) return {};
    const Pulse& last = pulses.back();
    std::vector<int16_t> out(static_cast<size_t>((last.start_ms + last.length_ms) * rate / 1000),
                             0);
    const double kTwoPi = 6.283185307179586, kFundamental = 523.25;
    const int ramp = rate * 15 / 1000;  // 15 ms rise and fall
    for (const Pulse& p : pulses) {
        const int first = p.start_ms * rate / 1000, n = p.length_ms * rate / 1000;
        for (int i = 0; i < n && first + i < static_cast<int>(out.size()); ++i) {
            const double t = static_cast<double>(i) / rate;
            double v = 0;
            for (int h = 1; h <= 5; ++h) v += std::sin(kTwoPi * kFundamental * h * t) / h;
            const double envelope =
                std::min({1.0, static_cast<double>(i) / ramp, static_cast<double>(n - i) / ramp});
            out[static_cast<size_t>(first + i)] =
                static_cast<int16_t>(std::lround(v * envelope * 12000));
        }
    }
    return out;
}

Priority AlarmSound::Tick(uint64_t now_ms, Priority highest, uint32_t starts) {
    const bool new_alarm = starts != starts_;
    starts_ = starts;
    // A pause holds until an alarm of a higher priority than any active at its start.
    if (Paused(now_ms) && highest > paused_at_) EndPause();
    if (highest == Priority::kNone) {
        sounding_ = Priority::kNone;
        return Priority::kNone;
    }
    const bool due = highest != sounding_ || (new_alarm && highest == Priority::kLow) ||
                     (next_ms_ != 0 && now_ms >= next_ms_);
    if (!due) return Priority::kNone;
    sounding_ = highest;
    const uint64_t repeat = BurstRepeatMs(highest);
    next_ms_ = repeat != 0 ? now_ms + repeat : 0;
    return Paused(now_ms) ? Priority::kNone : highest;
}

void AlarmSound::Pause(uint64_t now_ms, Priority highest) {
    paused_until_ = now_ms + kAudioPauseMs;
    paused_at_ = highest;
}

}  // namespace alarms
