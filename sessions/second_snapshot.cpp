#include "sessions/second_snapshot.h"

#include "link/link_view.h"
#include "link/oximeter.h"

namespace {

// The one list of what a second's snapshot copies from a view; text(field) gives the
// field's text, whoever holds it.
template <typename Text>
void CopyShown(Text text, const LinkCounts& counts, data_export::SecondValues& v) {
    v.spo2 = text(Spo2);
    v.pulse = text(Pulse);
    v.perfusion = text(Perfusion_IR);
    v.rhbco = text(RHbCO);
    v.status = text(StatusText);
    v.frames = counts.frames;
    v.bad = counts.bad_checksums;
    v.lost = counts.Lost();
}

}  // namespace

data_export::SecondValues TakeSecondValues(ILinkView& view, const COximeter* link,
                                           int64_t unix_us) {
    data_export::SecondValues v;
    v.unix_us = unix_us;
    const LinkCounts counts = link != nullptr ? link->Statistics().Read() : LinkCounts{};
    CopyShown(
        [&view](int field) {
            char text[256] = "";
            view.GetFieldText(field, text, sizeof text);
            text[sizeof text - 1] = 0;
            return std::string(text);
        },
        counts, v);
    if (link != nullptr) {
        // The link shows "*** No data" itself when frames stop while it stays open.
        if (link->Connected())
            v.link = v.status == "*** No data" ? data_export::LinkState::kNoData
                                               : data_export::LinkState::kConnected;
        else if (link->Lost())
            v.link = data_export::LinkState::kLost;
    }
    return v;
}

void SecondSampler::Take(int64_t second) {
    values_.unix_us = start_unix_us_ + second * 1000000;
    // Assigned from the texts in place: the strings keep their capacity.
    CopyShown([this](int field) -> const std::string& { return fields_[field]; },
              statistics_.Read(), values_);
    values_.link = state_;
}
