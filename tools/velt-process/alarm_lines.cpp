#include "tools/velt-process/alarm_lines.h"

#include "processing/view_field.h"
#include "sessions/alarm_fields.h"

AlarmLines::AlarmLines(const alarms::Settings& settings, std::FILE* out)
    : monitor_(settings), out_(out) {}

void AlarmLines::At(int64_t t_us, const std::string* fields, bool link_lost) {
    const alarms::Shown shown = ShownFromFields(fields[Spo2].c_str(), fields[Pulse].c_str(),
                                                fields[StatusText].c_str(), link_lost);
    monitor_.Update(t_us > 0 ? static_cast<uint64_t>(t_us) / 1000 : 0, shown, OnEvent, this);
}

void AlarmLines::OnEvent(void* self, const alarms::Event& e) {
    if (e.what == alarms::Event::kAcknowledged) return;
    std::fprintf(static_cast<AlarmLines*>(self)->out_, "%llu.%03llu\t%s\t%s\t%s\t%s\n",
                 static_cast<unsigned long long>(e.time_ms / 1000),
                 static_cast<unsigned long long>(e.time_ms % 1000), alarms::EventName(e.what),
                 alarms::PriorityName(e.alarm.priority), alarms::Name(e.alarm.kind),
                 alarms::Text(e.alarm).c_str());
}
