#include "sessions/session_events.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace session_events {
namespace {

const char* const kWhat[] = {"start", "end", "latched", "acknowledged", "pause", "settings"};

std::string Number(double v) {
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

std::vector<std::string> Split(const std::string& text, char by) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        const size_t end = text.find(by, at);
        parts.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) return parts;
        at = end + 1;
    }
}

bool ParseDouble(const std::string& text, double* out) {
    if (text.empty()) return true;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), *out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

}  // namespace

std::string AlarmText(const alarms::Event& event, bool latched) {
    const alarms::Entry& e = event.alarm;
    const int what = event.what == alarms::Event::kStart          ? AlarmRecord::kStart
                     : event.what == alarms::Event::kAcknowledged ? AlarmRecord::kAcknowledged
                     : latched                                    ? AlarmRecord::kLatched
                                                                  : AlarmRecord::kEnd;
    const bool numbers = !alarms::Technical(e.kind);
    return std::string(kWhat[what]) + '\t' + alarms::PriorityName(e.priority) + '\t' +
           alarms::Name(e.kind) + '\t' + (numbers ? Number(e.value) : "") + '\t' +
           (numbers ? Number(e.limit) : "") + '\t' + alarms::Text(e);
}

std::string PauseText(uint64_t pause_ms) {
    return std::string(kWhat[AlarmRecord::kPause]) + '\t' + std::to_string(pause_ms / 1000);
}

std::string SettingsText(const alarms::Settings& settings) {
    return std::string(kWhat[AlarmRecord::kSettings]) + '\t' + settings.Pairs();
}

bool DecodeAlarm(const uint8_t* data, size_t size, AlarmRecord* out) {
    const std::vector<std::string> f = Split(std::string(data, data + size), '\t');
    const auto what = std::find(std::begin(kWhat), std::end(kWhat), f[0]);
    if (what == std::end(kWhat)) return false;
    AlarmRecord r;
    r.what = static_cast<AlarmRecord::What>(what - std::begin(kWhat));
    if (r.what == AlarmRecord::kPause) {
        if (f.size() < 2) return false;
        r.pause_s = std::atoi(f[1].c_str());
    } else if (r.what == AlarmRecord::kSettings) {
        std::string error;
        if (f.size() < 2 || !r.settings.ReadPairs(f[1], &error)) return false;
    } else {
        if (f.size() < 6) return false;
        int kind = 0;
        while (kind < alarms::kKindCount && f[2] != alarms::Name(static_cast<alarms::Kind>(kind)))
            ++kind;
        if (kind == alarms::kKindCount || !ParseDouble(f[3], &r.value) ||
            !ParseDouble(f[4], &r.limit))
            return false;
        r.kind = static_cast<alarms::Kind>(kind);
        r.priority = f[1] == "high"     ? alarms::Priority::kHigh
                     : f[1] == "medium" ? alarms::Priority::kMedium
                     : f[1] == "low"    ? alarms::Priority::kLow
                                        : alarms::Priority::kNone;
        r.text = f[5];
    }
    *out = r;
    return true;
}

std::string AlarmAnnotation(const AlarmRecord& r) {
    switch (r.what) {
        case AlarmRecord::kStart:
            return "Alarm: " + r.text;
        case AlarmRecord::kEnd:
        case AlarmRecord::kLatched:
            return "Alarm ended: " + r.text;
        case AlarmRecord::kAcknowledged:
            return "Alarm acknowledged: " + r.text;
        case AlarmRecord::kPause: {
            char text[48];
            std::snprintf(text, sizeof text, "Audio paused %d:%02d", r.pause_s / 60,
                          r.pause_s % 60);
            return text;
        }
        case AlarmRecord::kSettings:
            break;
    }
    // The limits in the order the view shows them beside the values.
    const alarms::Settings& s = r.settings;
    if (s.AllOff()) return "Alarm limits: ALARMS OFF";
    std::string out = "Alarm limits:";
    for (alarms::Kind k :
         {alarms::kSpo2Low, alarms::kSpo2Desat, alarms::kPulseLow, alarms::kPulseHigh}) {
        if (!s.limits[k].on) continue;
        out += std::string(" ") + alarms::Name(k) + ' ' + Number(s.limits[k].limit);
    }
    return out;
}

std::string MarkText(uint64_t before_ms, const std::string& text) {
    return std::to_string(before_ms) + '\t' + text;
}

bool DecodeMark(const uint8_t* data, size_t size, uint64_t* before_us, std::string* text) {
    const std::string all(data, data + size);
    const size_t tab = all.find('\t');
    uint64_t ms = 0;
    const auto r =
        std::from_chars(all.data(), all.data() + (tab == std::string::npos ? 0 : tab), ms);
    if (tab == std::string::npos || tab == 0 || r.ec != std::errc() || r.ptr != all.data() + tab)
        return false;
    *before_us = ms * 1000;
    *text = all.substr(tab + 1);
    return true;
}

std::string MarkAnnotation(const std::string& text) {
    return text.empty() ? "Mark" : "Mark: " + text;
}

void AlarmReplay::Reset() { *this = AlarmReplay(); }

void AlarmReplay::Apply(const AlarmRecord& r, uint64_t time_ms) {
    switch (r.what) {
        case AlarmRecord::kSettings:
            settings_ = r.settings;
            return;
        case AlarmRecord::kPause:
            return;
        case AlarmRecord::kStart: {
            alarms::Entry& e = entries_[r.kind];
            e = alarms::Entry{};
            e.kind = r.kind;
            e.priority = r.priority;
            e.since_ms = time_ms;
            e.value = r.value;
            e.limit = r.limit;
            // A sensor alarm's text is its prefix and status word.
            const size_t space = r.text.find(' ');
            if (space != std::string::npos)
                std::snprintf(e.sensor, sizeof e.sensor, "%s", r.text.c_str() + space + 1);
            shown_[r.kind] = true;
            return;
        }
        case AlarmRecord::kLatched:
            entries_[r.kind].ended = true;
            entries_[r.kind].ended_ms = time_ms;
            entries_[r.kind].value = r.value;
            return;
        case AlarmRecord::kEnd:
        case AlarmRecord::kAcknowledged:
            shown_[r.kind] = false;
            return;
    }
}

size_t AlarmReplay::List(alarms::Entry* out, size_t max) const {
    size_t n = 0;
    for (int k = 0; k < alarms::kKindCount; ++k)
        if (shown_[k]) n = alarms::InsertShown(entries_[k], out, n, max);
    return n;
}

std::string MarksFileOf(const std::string& session_path) { return session_path + ".marks"; }

bool LoadMarks(const std::string& session_path, std::vector<Mark>* marks, std::string* error,
               int* bad_lines) {
    marks->clear();
    if (bad_lines != nullptr) *bad_lines = 0;
    const std::string path = MarksFileOf(session_path);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return true;
        *error = "cannot read \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t tab = line.find('\t');
        double seconds = -1;
        const std::string number = line.substr(0, tab);
        if (!ParseDouble(number, &seconds) || number.empty() || seconds < 0 || seconds > 1e9) {
            if (bad_lines != nullptr) ++*bad_lines;
            continue;
        }
        marks->push_back({static_cast<uint64_t>(seconds * 1e6 + 0.5),
                          tab == std::string::npos ? std::string() : line.substr(tab + 1)});
    }
    std::stable_sort(marks->begin(), marks->end(),
                     [](const Mark& a, const Mark& b) { return a.time_us < b.time_us; });
    return true;
}

bool SaveMarks(const std::string& session_path, const std::vector<Mark>& marks,
               std::string* error) {
    const std::string path = MarksFileOf(session_path);
    if (marks.empty()) {
        if (std::remove(path.c_str()) == 0 || errno == ENOENT) return true;
        *error = "cannot remove \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    std::ostringstream out;
    out << "# Marks of " << session_path.substr(session_path.find_last_of('/') + 1)
        << ": seconds from its start<TAB>text\n";
    for (const Mark& m : marks) {
        std::string text = m.text;
        std::replace_if(
            text.begin(), text.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; },
            ' ');
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%llu.%03llu",
                      static_cast<unsigned long long>(m.time_us / 1000000),
                      static_cast<unsigned long long>(m.time_us / 1000 % 1000));
        out << seconds << '\t' << text << '\n';
    }
    const std::string temp = path + ".new";
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    const std::string bytes = out.str();
    bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = f != nullptr && std::fclose(f) == 0 && ok;
    if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
    *error = "cannot write \"" + path + "\": " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
}

}  // namespace session_events
