// A window's alarm as a monitor publishes it to the ward: the live program's publishing
// and velt-process --publish describe their alarms alike.
#pragma once

#include <cstdint>

#include "export/mqtt_topics.h"
#include "processing/alarms.h"

// clock_zero_us: the wall time (µs since 1970) at which the alarm monitor's clock read
// zero, taken once, so that an alarm's start stays the same time in every message.
mqtt::AlarmInfo AlarmInfoOf(const alarms::Entry& entry, int64_t clock_zero_us);
