// What a view shows now, as the once-a-second outputs take it: the vital-sign and
// status fields and the state and counts of its link. For the GUI's view and the
// headless one alike. Qt-free.
#pragma once

#include <cstdint>
#include <string>

#include "export/second_values.h"
#include "link/link_statistics.h"

class COximeter;
class ILinkView;

// link may be null (a view without a link: closed, no counts).
data_export::SecondValues TakeSecondValues(ILinkView& view, const COximeter* link, int64_t unix_us);

// The once-a-second snapshot of a running headless pipeline: what its view's fields
// held, and the link's state and counts, at each whole second of stream time. The
// exports (CSV, EDF+) and any other once-a-second output of a headless run take
// their values from here, so they show what a window would have shown.
class SecondSampler {
public:
    // fields: the headless view's texts, indexed by ViewField (read, never kept);
    // statistics: the link's counts; start_unix_us: the wall-clock time of stream time 0.
    SecondSampler(const std::string* fields, const LinkStatistics& statistics,
                  int64_t start_unix_us)
        : fields_(fields), statistics_(statistics), start_unix_us_(start_unix_us) {}

    void SetLinkState(data_export::LinkState state) { state_ = state; }
    data_export::LinkState LinkState() const { return state_; }

    // Call before the view changes at stream time t_us (µs from the start): takes the
    // snapshot of every whole second up to and including t_us not taken yet, and calls
    // on(second, values) for each. A second's snapshot is what the view held when the
    // second began.
    template <typename OnSecond>
    void AdvanceTo(int64_t t_us, OnSecond on) {
        while (next_second_ * 1000000 <= t_us) {
            Take(next_second_);
            on(next_second_, values_);
            ++next_second_;
        }
    }
    // The next second a snapshot is due for.
    int64_t NextSecond() const { return next_second_; }

private:
    void Take(int64_t second);

    const std::string* fields_;
    const LinkStatistics& statistics_;
    int64_t start_unix_us_;
    int64_t next_second_ = 0;
    data_export::LinkState state_ = data_export::LinkState::kConnected;
    data_export::SecondValues values_;  // reused: no allocation once the texts fit
};
