#include "processing/alarms.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/profile.h"

namespace alarms {
namespace {

struct KindInfo {
    const char* name;
    Priority priority;
    bool technical;
    double limit, delay_s;
    double lo, hi;  // the limits a setting may take
};

constexpr KindInfo kKinds[kKindCount] = {
    {"spo2-low", Priority::kMedium, false, 90, 10, 50, 100},
    {"spo2-desat", Priority::kHigh, false, 85, 5, 50, 100},
    {"pulse-high", Priority::kMedium, false, 120, 10, 20, 350},
    {"pulse-low", Priority::kMedium, false, 50, 10, 20, 350},
    {"link-lost", Priority::kMedium, true, 0, 0, 0, 0},
    {"no-data", Priority::kMedium, true, 0, 0, 0, 0},
    {"sensor", Priority::kLow, true, 0, 10, 0, 0},
};
constexpr double kMaxDelayS = 120;

// 86 -> "86", 86.5 -> "86.5": a value as a field shows it, without a needless ".0".
void Number(double v, char* out, size_t size) {
    std::snprintf(out, size, "%.1f", v);
    const size_t n = std::strlen(out);
    if (n > 2 && std::strcmp(out + n - 2, ".0") == 0) out[n - 2] = '\0';
}

bool ParseNumber(const std::string& text, double lo, double hi, double* out) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno != 0 || !std::isfinite(v) || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

}  // namespace

const char* Name(Kind kind) { return kKinds[kind].name; }
Priority PriorityOf(Kind kind) { return kKinds[kind].priority; }
bool Technical(Kind kind) { return kKinds[kind].technical; }

const char* PriorityName(Priority p) {
    switch (p) {
        case Priority::kHigh:
            return "high";
        case Priority::kMedium:
            return "medium";
        case Priority::kLow:
            return "low";
        case Priority::kNone:
            break;
    }
    return "none";
}

const char* PriorityPrefix(Priority p) {
    return p == Priority::kHigh ? "***" : p == Priority::kMedium ? "**" : "*";
}

const char* EventName(Event::What what) {
    return what == Event::kStart ? "start" : what == Event::kEnd ? "end" : "acknowledged";
}

Settings Settings::Defaults() {
    Settings s;
    for (int k = 0; k < kKindCount; ++k) s.limits[k] = {true, kKinds[k].limit, kKinds[k].delay_s};
    return s;
}

bool Settings::AllOff() const {
    for (const Limit& l : limits)
        if (l.on) return false;
    return true;
}

bool Settings::operator==(const Settings& o) const {
    for (int k = 0; k < kKindCount; ++k)
        if (limits[k].on != o.limits[k].on || limits[k].limit != o.limits[k].limit ||
            limits[k].delay_s != o.limits[k].delay_s)
            return false;
    return latching == o.latching;
}

bool Settings::Read(const std::function<std::string(const std::string& key)>& get,
                    const std::string& where, std::string* error) {
    Settings s = *this;
    auto read = [&](const std::string& key, double lo, double hi, double* out) {
        const std::string v = get(key);
        if (v.empty() || ParseNumber(v, lo, hi, out)) return true;
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", lo, hi);
        *error = where + key + " takes " + range + ", not \"" + v + "\"";
        return false;
    };
    for (int k = 0; k < kKindCount; ++k) {
        const std::string name = kKinds[k].name;
        Limit& l = s.limits[k];
        double on = l.on ? 1 : 0;
        if (!kKinds[k].technical && !read(name, kKinds[k].lo, kKinds[k].hi, &l.limit)) return false;
        if (!read(name + "-delay", 0, kMaxDelayS, &l.delay_s) || !read(name + "-on", 0, 1, &on))
            return false;
        l.on = on != 0;
    }
    double latching = s.latching ? 1 : 0;
    if (!read("latching", 0, 1, &latching)) return false;
    s.latching = latching != 0;
    *this = s;
    return true;
}

void Settings::ForEachKey(const std::function<void(const std::string&, const char*)>& put) const {
    char text[32];
    auto write = [&](const std::string& key, double v) {
        Number(v, text, sizeof text);
        put(key, text);
    };
    for (int k = 0; k < kKindCount; ++k) {
        const std::string name = kKinds[k].name;
        if (!kKinds[k].technical) write(name, limits[k].limit);
        write(name + "-delay", limits[k].delay_s);
        write(name + "-on", limits[k].on ? 1 : 0);
    }
    write("latching", latching ? 1 : 0);
}

bool Settings::Load(const std::string& path, std::string* error) {
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        std::fclose(f);
    } else {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return Read(
        [&path](const std::string& key) {
            return platform::GetPrivateProfileString("alarms", key.c_str(), "", path);
        },
        path + ": [alarms] ", error);
}

bool Settings::Save(const std::string& path) const {
    bool ok = true;
    ForEachKey([&](const std::string& key, const char* value) {
        ok = platform::WritePrivateProfileString("alarms", key.c_str(), value, path) && ok;
    });
    return ok;
}

std::string Settings::Pairs() const {
    std::string out;
    ForEachKey([&out](const std::string& key, const char* value) {
        if (!out.empty()) out += ' ';
        out += key + '=' + value;
    });
    return out;
}

bool Settings::ReadPairs(const std::string& pairs, std::string* error) {
    std::map<std::string, std::string> values;
    size_t at = 0;
    while (at < pairs.size()) {
        size_t end = pairs.find(' ', at);
        if (end == std::string::npos) end = pairs.size();
        const std::string pair = pairs.substr(at, end - at);
        const size_t eq = pair.find('=');
        if (eq != std::string::npos) values[pair.substr(0, eq)] = pair.substr(eq + 1);
        at = end + 1;
    }
    return Read(
        [&values](const std::string& key) {
            auto it = values.find(key);
            return it == values.end() ? std::string() : it->second;
        },
        "alarm settings: ", error);
}

std::string Text(const Entry& e, const char* ended_clock) {
    char value[16], limit[16], text[96];
    Number(e.value, value, sizeof value);
    Number(e.limit, limit, sizeof limit);
    const char* prefix = PriorityPrefix(e.priority);
    switch (e.kind) {
        case kSpo2Low:
        case kSpo2Desat:
            std::snprintf(text, sizeof text, "%s SpO2 %s < %s", prefix, value, limit);
            break;
        case kPulseHigh:
            std::snprintf(text, sizeof text, "%s Pulse %s > %s", prefix, value, limit);
            break;
        case kPulseLow:
            std::snprintf(text, sizeof text, "%s Pulse %s < %s", prefix, value, limit);
            break;
        case kLinkLost:
            std::snprintf(text, sizeof text, "%s Link lost", prefix);
            break;
        case kNoData:
            std::snprintf(text, sizeof text, "%s No data", prefix);
            break;
        case kSensor:
            std::snprintf(text, sizeof text, "%s %s", prefix, e.sensor);
            break;
    }
    std::string out = text;
    if (e.ended && ended_clock != nullptr) out += std::string(" (ended ") + ended_clock + ")";
    return out;
}

AlarmMonitor::AlarmMonitor(const Settings& settings) : settings_(settings) {
    for (int k = 0; k < kKindCount; ++k) {
        tracks_[k].entry.kind = static_cast<Kind>(k);
        tracks_[k].entry.priority = kKinds[k].priority;
    }
}

AlarmMonitor::Condition AlarmMonitor::Evaluate(Kind kind, const Shown& s, double* value) const {
    const double limit = settings_.limits[kind].limit;
    switch (kind) {
        case kSpo2Low:
        case kSpo2Desat:
            if (s.spo2 < 0) return Condition::kUnknown;
            *value = s.spo2;
            return s.spo2 < limit ? Condition::kPresent : Condition::kAbsent;
        case kPulseHigh:
        case kPulseLow:
            if (s.pulse < 0) return Condition::kUnknown;
            *value = s.pulse;
            return (kind == kPulseHigh ? s.pulse > limit : s.pulse < limit) ? Condition::kPresent
                                                                            : Condition::kAbsent;
        case kLinkLost:
            return s.link_lost ? Condition::kPresent : Condition::kAbsent;
        case kNoData:
            return s.no_data ? Condition::kPresent : Condition::kAbsent;
        case kSensor:
            return s.sensor != nullptr ? Condition::kPresent : Condition::kAbsent;
    }
    return Condition::kUnknown;
}

void AlarmMonitor::Update(uint64_t now_ms, const Shown& shown, Sink sink, void* context) {
    if (now_ms < last_ms_) now_ms = last_ms_;
    last_ms_ = now_ms;
    for (int k = 0; k < kKindCount; ++k) {
        const Kind kind = static_cast<Kind>(k);
        const Limit& limit = settings_.limits[k];
        Track& t = tracks_[k];
        if (!limit.on) continue;
        double value = 0;
        const Condition c = Evaluate(kind, shown, &value);
        // A value not shown is a break: the condition neither holds nor is gone.
        if (c == Condition::kPresent && !t.present) t.present_since = now_ms;
        if (c == Condition::kAbsent && !t.absent) t.absent_since = now_ms;
        t.present = c == Condition::kPresent;
        t.absent = c == Condition::kAbsent;
        if (t.active) {
            if (c != Condition::kUnknown) {
                t.entry.value = value;
                const bool worse = kind == kPulseHigh ? value > t.worst : value < t.worst;
                if (t.present && worse) t.worst = value;
            }
            if (t.absent && now_ms - t.absent_since >= kAlarmEndMs)
                End(kind, now_ms, true, sink, context);
            continue;
        }
        const uint64_t delay_ms = static_cast<uint64_t>(std::llround(limit.delay_s * 1000));
        if (!t.present || now_ms - t.present_since < delay_ms) continue;
        t.active = true;
        t.latched = false;
        t.worst = value;
        Entry& e = t.entry;
        e.ended = false;
        e.since_ms = now_ms;
        e.ended_ms = 0;
        e.value = value;
        e.limit = limit.limit;
        std::snprintf(e.sensor, sizeof e.sensor, "%s", shown.sensor != nullptr ? shown.sensor : "");
        ++starts_;
        if (sink != nullptr) sink(context, Event{Event::kStart, now_ms, e});
    }
}

void AlarmMonitor::End(Kind kind, uint64_t now_ms, bool allow_latch, Sink sink, void* context) {
    Track& t = tracks_[kind];
    t.active = false;
    t.entry.ended = true;
    t.entry.ended_ms = now_ms;
    t.entry.value = t.worst;
    t.latched = allow_latch && settings_.latching && t.entry.priority == Priority::kHigh;
    if (sink != nullptr) sink(context, Event{Event::kEnd, now_ms, t.entry});
}

void AlarmMonitor::SetSettings(const Settings& settings, uint64_t now_ms, Sink sink,
                               void* context) {
    for (int k = 0; k < kKindCount; ++k) {
        const Limit &was = settings_.limits[k], &now = settings.limits[k];
        Track& t = tracks_[k];
        if (!now.on) {
            if (t.active) End(static_cast<Kind>(k), now_ms, false, sink, context);
            t.latched = false;
        }
        if (now.limit != was.limit || now.delay_s != was.delay_s || now.on != was.on)
            t.present = t.absent = false;
        if (t.active) t.entry.limit = now.limit;
    }
    settings_ = settings;
}

bool AlarmMonitor::Acknowledge(Kind kind, uint64_t now_ms, Sink sink, void* context) {
    Track& t = tracks_[kind];
    if (!t.latched) return false;
    t.latched = false;
    if (sink != nullptr) sink(context, Event{Event::kAcknowledged, now_ms, t.entry});
    return true;
}

int AlarmMonitor::AcknowledgeAll(uint64_t now_ms, Sink sink, void* context) {
    int n = 0;
    for (int k = 0; k < kKindCount; ++k)
        n += Acknowledge(static_cast<Kind>(k), now_ms, sink, context);
    return n;
}

size_t AlarmMonitor::List(Entry* out, size_t max) const {
    size_t n = 0;
    for (const Track& t : tracks_)
        if (t.active || t.latched) n = InsertShown(t.entry, out, n, max);
    return n;
}

size_t InsertShown(const Entry& entry, Entry* out, size_t n, size_t max) {
    // Highest first; within a priority the active before the latched, then the oldest.
    auto before = [](const Entry& a, const Entry& b) {
        if (a.priority != b.priority) return a.priority > b.priority;
        if (a.ended != b.ended) return !a.ended;
        return a.since_ms < b.since_ms;
    };
    size_t at = n < max ? n : max;
    while (at > 0 && before(entry, out[at - 1])) {
        if (at < max) out[at] = out[at - 1];
        --at;
    }
    if (at < max) out[at] = entry;
    return n < max ? n + 1 : n;
}

Priority AlarmMonitor::Highest() const {
    Priority p = Priority::kNone;
    for (const Track& t : tracks_)
        if (t.active && t.entry.priority > p) p = t.entry.priority;
    return p;
}

}  // namespace alarms
