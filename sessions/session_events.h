// What a window records besides the link's bytes: its alarms (starts, ends,
// acknowledgements, audio pauses, settings) and the marks its user made. One encoding
// for the recording, the review, the exports and the report (docs/capture-format.md,
// kinds 15 and 16). Qt-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "processing/alarms.h"

namespace session_events {

// A kind-15 record, decoded.
struct AlarmRecord {
    enum What : uint8_t { kStart, kEnd, kLatched, kAcknowledged, kPause, kSettings };
    What what = kStart;
    alarms::Kind kind = alarms::kSpo2Low;
    alarms::Priority priority = alarms::Priority::kNone;
    double value = 0, limit = 0;  // physiological alarms only
    std::string text;             // as the alarm pane showed it
    int pause_s = 0;              // kPause
    alarms::Settings settings;    // kSettings
};

// The texts of kind-15 records.
std::string AlarmText(const alarms::Event& event, bool latched);
std::string PauseText(uint64_t pause_ms);
std::string SettingsText(const alarms::Settings& settings);
// False for a text that is none of them (a later version's, or damage).
bool DecodeAlarm(const uint8_t* data, size_t size, AlarmRecord* out);

// An alarm record or a mark as an export's annotation ("Alarm: ** SpO2 86 < 90",
// "Alarm ended: ...", "Audio paused 2:00", "Alarm limits: ...", "Mark: text").
std::string AlarmAnnotation(const AlarmRecord& record);
std::string MarkAnnotation(const std::string& text);

// A session's alarm pane at a moment, rebuilt from its records: what the window
// listed, highest first.
class AlarmReplay {
public:
    void Reset();
    void Apply(const AlarmRecord& record, uint64_t time_ms);
    // As AlarmMonitor::List: at most max, highest first.
    size_t List(alarms::Entry* out, size_t max) const;
    const alarms::Settings& Settings() const { return settings_; }

private:
    alarms::Entry entries_[alarms::kKindCount];
    bool shown_[alarms::kKindCount] = {};
    alarms::Settings settings_ = alarms::Settings::Defaults();
};

// A kind-16 record's text: how long before the record's time the mark was made (its
// dialog was open meanwhile, and times in a file never go back), in ms, a tab, the
// mark's text. False for a text that is none.
std::string MarkText(uint64_t before_ms, const std::string& text);
bool DecodeMark(const uint8_t* data, size_t size, uint64_t* before_us, std::string* text);

// A mark: its time in the session (µs from the file's start) and text.
struct Mark {
    uint64_t time_us = 0;
    std::string text;
};

// Marks added in a review live beside the session in "<session>.marks": a text file,
// one mark a line: seconds from the file's start with three decimals, a tab, the text
// (tabs and line breaks in it become spaces); lines starting with "#" are comments.
std::string MarksFileOf(const std::string& session_path);
// The file's marks in time order; none when it does not exist. False with *error when
// it exists and cannot be read; lines that do not parse are skipped and counted.
bool LoadMarks(const std::string& session_path, std::vector<Mark>* marks, std::string* error,
               int* bad_lines = nullptr);
// Writes the marks (replaced whole, beside and renamed); no marks remove the file.
bool SaveMarks(const std::string& session_path, const std::vector<Mark>& marks, std::string* error);

}  // namespace session_events
