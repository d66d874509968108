#include "sessions/alarm_report.h"

mqtt::AlarmInfo AlarmInfoOf(const alarms::Entry& e, int64_t clock_zero_us) {
    mqtt::AlarmInfo a;
    a.name = alarms::Name(e.kind);
    a.priority = alarms::PriorityName(e.priority);
    a.latched = e.ended;
    a.since_us = clock_zero_us + static_cast<int64_t>(e.since_ms) * 1000;
    a.has_value = !alarms::Technical(e.kind);
    a.value = e.value;
    a.limit = e.limit;
    a.text = alarms::Text(e);
    return a;
}
