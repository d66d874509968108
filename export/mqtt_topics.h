// The broker's topics and payloads: names under velt/v1/<monitor>/<port>/, their
// escaping, and the JSON of state, values, events and pleth. Pure code over strings;
// the publisher and the ward share it. Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "export/second_values.h"

namespace mqtt {

inline constexpr const char* kTopicRoot = "velt/v1/";
inline constexpr const char* kSubscribeAll = "velt/v1/#";

// The leaves below a monitor's port.
enum class Leaf { kState, kValues, kEvents, kAlarms, kPleth, kUnknown };
const char* LeafName(Leaf leaf);

// The largest payload a monitor of ours sends on a leaf, with ample room: a values
// message is about 450 bytes, the alarms of a window (seven at most) under 2000, a
// plethysmogram chunk of 64 samples under 500. The ward
// refuses anything larger unread; 0 for a leaf it does not take.
size_t MaxPayload(Leaf leaf);
// The largest packet any of our clients takes (topic and header included); the
// broker is told on every connection and sends nothing larger.
inline constexpr uint32_t kMaxPacket = 16384;

// A name a user typed: empty, or holding '/', '+', '#' or a control character, is
// refused (such a name would split the topic or act as a wildcard).
bool ValidTopicName(std::string_view name);

// A name a user typed (the monitor name): a valid topic level that is also well-formed
// UTF-8 and holds no '%' (which the ward would read as an escape) and no C1 control,
// bidirectional, zero-width or other invisible character: a ward shows a monitor by
// what was typed, and such characters would make one name look like another.
bool ValidMonitorName(std::string_view name);
inline constexpr const char* kMonitorNameRule =
    "may not hold /, +, #, %, control, invisible or right-to-left characters";

// A name from the host or the link (host name, USB "description#serial"): every
// refused character and '%' become "%XX", so two names never meet in one topic; an
// empty name becomes "_". UnescapeTopicName reverses it, and decodes nothing else: a
// "%2D" that escaping cannot have made stays as it is.
std::string EscapeTopicName(std::string_view name);
std::string UnescapeTopicName(std::string_view name);

// "velt/v1/<monitor>/<port>/<leaf>" from names already valid or escaped.
std::string Topic(std::string_view monitor, std::string_view port, Leaf leaf);

// The parts of a topic below velt/v1/, still escaped; false for anything else.
struct TopicParts {
    std::string_view monitor;
    std::string_view port;
    Leaf leaf = Leaf::kUnknown;
};
bool ParseTopic(std::string_view topic, TopicParts* parts);

// Appends s as a JSON string with its quotes.
void AppendJsonString(std::string& out, std::string_view s);

// {"state":"online","since":"<ISO time>"}; since_us 0 writes "since":null (the last
// will, whose moment only the receiver knows).
std::string StateJson(bool online, int64_t since_us);

// The values of one second. A field the window shows as "x" (or any text that is not
// a number) is null; each vital sign carries its IEEE 11073 code and unit.
void ValuesJson(const data_export::SecondValues& v, std::string& out);

// {"time":…,"event":"<kind>","text":"<text>"}.
std::string EventJson(int64_t unix_us, std::string_view kind, std::string_view text);

// One alarm as a monitor publishes it: plain data, filled by whoever runs the alarms.
struct AlarmInfo {
    std::string name;        // "spo2-low", "link-lost", …
    std::string priority;    // "high", "medium" or "low"
    bool latched = false;    // its condition ended; it waits for an acknowledgement
    int64_t since_us = 0;    // when it started
    bool has_value = false;  // a physiological alarm: value and limit
    double value = 0;        // the value now; for a latched alarm the worst it reached
    double limit = 0;
    std::string text;  // "** SpO2 86 < 90"

    bool operator==(const AlarmInfo&) const = default;
};

// The IEEE 11073-10101 event code of an alarm by its name, with its reference id in
// *mdc; 0 (and null) for an alarm without one.
int AlarmEventCode(std::string_view name, const char** mdc);

// {"time":…,"alarms":[{"name":…,"priority":…,"state":"active"|"latched","since":…,
// "value":…,"limit":…,"text":…,"code":…,"mdc":…},…]}: value and limit null for a
// technical alarm, code and mdc null where there is none.
void AlarmsJson(int64_t unix_us, const AlarmInfo* alarms, size_t count, std::string& out);

// {"time":…,"event":"alarm","alarm":"start"|"end"|"acknowledged","text":…, and the
// alarm's fields as in AlarmsJson}.
std::string AlarmEventJson(int64_t unix_us, std::string_view what, const AlarmInfo& alarm);

// {"time":<first sample>,"rate":<Hz>,"ir":[…]}.
void PlethJson(int64_t first_sample_us, int rate_hz, const uint16_t* samples, size_t count,
               std::string& out);

}  // namespace mqtt
