// When the next frame of a device that sends its frames evenly has come, from the
// times its marks were seen to arrive. The reading loop then sleeps through the gap to
// that frame and through the frame, and reads it in one wake instead of two (its mark,
// its end). Every (kPacedRun + 1)th frame is waited for as data again: its mark's time
// keeps the pace the line's rather than that of the loop's own sleeps. Pure code over
// times (microseconds of the monotonic clock).
#pragma once

#include <cstdint>

class FramePacer {
public:
    static constexpr int kPacedRun = 7;
    // Periods outside these are not taken for an even device.
    static constexpr uint64_t kShortestUs = 5000;
    static constexpr uint64_t kLongestUs = 500000;

    // A mark seen to arrive at at_us, after `frames` good frames in all. Two periods in
    // a row that agree within 3 % make the device even.
    void MarkSeen(uint64_t at_us, uint64_t frames) {
        uint64_t period = 0;
        if (seen_ && frames > frames_ && frames - frames_ <= kPacedRun + 1u && at_us > at_us_)
            period = (at_us - at_us_) / (frames - frames_);
        even_ =
            period >= kShortestUs && period <= kLongestUs && period_ != 0 && Agree(period, period_);
        period_ = even_ ? (3 * period_ + period) / 4 : period;
        seen_ = true;
        at_us_ = at_us;
        frames_ = frames;
        paced_ = 0;
    }
    // Whether the next frame is to be slept for, from NextMarkUs().
    bool Due() const { return even_ && paced_ < kPacedRun; }
    uint64_t NextMarkUs() const { return at_us_ + (paced_ + 1u) * period_; }
    // The sleep for the next frame found it begun, or found nothing: the device paused,
    // or is not as even as it was.
    void Slept(bool found) {
        if (found)
            ++paced_;
        else
            even_ = false;
    }
    void Reset() { *this = FramePacer(); }

private:
    static bool Agree(uint64_t a, uint64_t b) { return (a > b ? a - b : b - a) * 100 <= 3 * b; }

    bool seen_ = false;
    bool even_ = false;
    uint64_t at_us_ = 0;
    uint64_t frames_ = 0;
    uint64_t period_ = 0;
    unsigned paced_ = 0;
};
