// Alarms on what a window shows: SpO2 and pulse against their limits, the link and the
// sensor. A condition must hold for its delay without a break before its alarm starts,
// and be gone for kAlarmEndMs before it ends, so that a value at the limit does not
// flicker. Not a certified alarm system. Qt-free; no allocation per update.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace alarms {

enum Kind : uint8_t { kSpo2Low, kSpo2Desat, kPulseHigh, kPulseLow, kLinkLost, kNoData, kSensor };
inline constexpr int kKindCount = 7;

enum class Priority : uint8_t { kNone, kLow, kMedium, kHigh };

// An alarm ends when its condition has been absent this long.
inline constexpr uint64_t kAlarmEndMs = 2000;

const char* Name(Kind kind);  // "spo2-low", "spo2-desat", ...
Priority PriorityOf(Kind kind);
bool Technical(Kind kind);               // about the equipment, not the patient
const char* PriorityName(Priority p);    // "high", "medium", "low"
const char* PriorityPrefix(Priority p);  // "***", "**", "*"

struct Limit {
    bool on = true;
    double limit = 0;  // the physiological alarms' limit (SpO2 %, pulse /min)
    double delay_s = 0;
};

struct Settings {
    Limit limits[kKindCount];
    bool latching = true;  // a high alarm that ended stays shown until acknowledged

    static Settings Defaults();
    bool AllOff() const;
    bool operator==(const Settings& o) const;
    // The [alarms] section of an INI file over these settings: "<name>" the limit,
    // "<name>-delay" seconds, "<name>-on" 0 or 1, "latching" 0 or 1. Keys not there keep
    // their value. False with *error naming the key and what it takes.
    bool Load(const std::string& path, std::string* error);
    // Writes every key; false when the file cannot be written.
    bool Save(const std::string& path) const;
    // The same keys as "key=value" pairs separated by spaces (a session records them),
    // and back; keys not there keep their value.
    std::string Pairs() const;
    bool ReadPairs(const std::string& pairs, std::string* error);

private:
    // get: a key's value, "" when it is not there. where: how an error names the source.
    bool Read(const std::function<std::string(const std::string& key)>& get,
              const std::string& where, std::string* error);
    void ForEachKey(
        const std::function<void(const std::string& key, const char* value)>& put) const;
};

// What the window shows at a moment.
struct Shown {
    double spo2 = -1;   // < 0: no value shown ("x" or empty)
    double pulse = -1;  // < 0: no value shown
    bool link_lost = false;
    bool no_data = false;
    const char* sensor = nullptr;  // "Sensor?", "Finger?" or "Perfusion?" when shown
};

// One alarm as a pane lists it.
struct Entry {
    Kind kind;
    Priority priority;
    bool ended = false;     // latched: its condition is gone, it waits for an acknowledgement
    uint64_t since_ms = 0;  // when it started
    uint64_t ended_ms = 0;  // when it ended (latched)
    double value = 0;       // the value now; for a latched alarm the worst it reached
    double limit = 0;
    char sensor[16] = {};  // the status word of a sensor alarm
};

struct Event {
    enum What : uint8_t { kStart, kEnd, kAcknowledged };
    What what;
    uint64_t time_ms;
    Entry alarm;
};

// "** SpO2 86 < 90", "*** SpO2 82 < 85 (ended 10:42:05)" (ended_clock: the ended time as
// the caller shows clock times; null leaves it out), "** Link lost", "* Finger?".
std::string Text(const Entry& entry, const char* ended_clock = nullptr);
const char* EventName(Event::What what);  // "start", "end", "acknowledged"

// Puts entry into the list out[0..n) (at most max long) where a pane shows it: highest
// priority first, within a priority the active before the latched, then the oldest.
// The list's new length.
size_t InsertShown(const Entry& entry, Entry* out, size_t n, size_t max);

class AlarmMonitor {
public:
    using Sink = void (*)(void* context, const Event& event);

    explicit AlarmMonitor(const Settings& settings = Settings::Defaults());

    const Settings& settings() const { return settings_; }
    // A switched-off alarm ends at once (no latch); pending conditions start over.
    void SetSettings(const Settings& settings, uint64_t now_ms, Sink sink, void* context);

    // Evaluates the alarms at now_ms (never earlier than the last call). Starts, ends
    // and latches go to the sink in the order they happen.
    void Update(uint64_t now_ms, const Shown& shown, Sink sink, void* context);
    // Clears a latched alarm; false when that alarm is not latched.
    bool Acknowledge(Kind kind, uint64_t now_ms, Sink sink, void* context);
    // Clears every latched alarm; the number cleared.
    int AcknowledgeAll(uint64_t now_ms, Sink sink, void* context);

    // The shown alarms, highest priority first (latched ones after the active ones of
    // their priority), at most max of them; the number written.
    size_t List(Entry* out, size_t max) const;
    // The highest priority among the active (not latched) alarms.
    Priority Highest() const;
    // Counts every start: a change tells a sound that a new alarm began.
    uint32_t Starts() const { return starts_; }

private:
    enum class Condition : uint8_t { kUnknown, kAbsent, kPresent };
    struct Track {
        uint64_t present_since = 0;  // valid while present_
        uint64_t absent_since = 0;   // valid while absent_
        bool present = false, absent = false;
        bool active = false, latched = false;
        double worst = 0;  // the furthest the value went past the limit
        Entry entry;
    };
    Condition Evaluate(Kind kind, const Shown& shown, double* value) const;
    void End(Kind kind, uint64_t now_ms, bool allow_latch, Sink sink, void* context);

    Settings settings_;
    Track tracks_[kKindCount];
    uint64_t last_ms_ = 0;
    uint32_t starts_ = 0;
};

}  // namespace alarms
