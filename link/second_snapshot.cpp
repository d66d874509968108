#include "link/second_snapshot.h"

#include "link/link_statistics.h"
#include "link/link_view.h"
#include "link/oximeter.h"

namespace {

std::string FieldText(ILinkView& view, int field) {
    char text[256] = "";
    view.GetFieldText(field, text, sizeof text);
    text[sizeof text - 1] = 0;
    return text;
}

}  // namespace

data_export::SecondValues TakeSecondValues(ILinkView& view, const COximeter* link,
                                           int64_t unix_us) {
    data_export::SecondValues v;
    v.unix_us = unix_us;
    v.spo2 = FieldText(view, Spo2);
    v.pulse = FieldText(view, Pulse);
    v.perfusion = FieldText(view, Perfusion_IR);
    v.rhbco = FieldText(view, RHbCO);
    v.status = FieldText(view, StatusText);
    if (link != nullptr) {
        // The link shows "*** No data" itself when frames stop while it stays open.
        if (link->Connected())
            v.link = v.status == "*** No data" ? data_export::LinkState::kNoData
                                               : data_export::LinkState::kConnected;
        else if (link->Lost())
            v.link = data_export::LinkState::kLost;
        const LinkCounts c = link->Statistics().Read();
        v.frames = c.frames;
        v.bad = c.bad_checksums;
        v.lost = c.Lost();
    }
    return v;
}
