// What a monitoring window showed at one second: the vital-sign fields as their texts
// ("97.0", or "x" after a reset), the status word and the state of the link. Every
// once-a-second output (CSV and EDF+ exports, the broker's "values" topic, the
// review's overview) is made from this one snapshot, so they all agree with the
// window. Filled by whoever holds the view (the GUI, velt-process); Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace data_export {

enum class LinkState { kClosed, kConnected, kLost, kNoData };

// "closed", "connected", "lost", "no data".
const char* LinkStateName(LinkState state);

struct SecondValues {
    int64_t unix_us = 0;    // wall-clock time of the snapshot
    std::string spo2;       // ViewField Spo2
    std::string pulse;      // ViewField Pulse
    std::string perfusion;  // ViewField Perfusion_IR
    std::string rhbco;      // ViewField RHbCO
    std::string status;     // ViewField StatusText
    LinkState link = LinkState::kClosed;
    // The link's counts at the snapshot (LinkCounts: frames, bad checksums, lost).
    uint64_t frames = 0;
    uint64_t bad = 0;
    uint64_t lost = 0;
};

// The number a value field shows, or nothing for "x", an empty field or any text
// that is not a whole decimal number ("*** No data" in the status, say).
std::optional<double> ShownValue(std::string_view text);

// ISO 8601 local time with milliseconds and the offset from UTC,
// "2026-12-09T21:52:00.125+01:00". Returns the length written (29), or 0 when `size`
// is too small.
size_t FormatIsoLocalTime(int64_t unix_us, char* out, size_t size);

}  // namespace data_export
