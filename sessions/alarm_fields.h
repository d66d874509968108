// What the alarms take from a window: its SpO2, pulse and status texts as it shows
// them, and whether its link is lost. One reading for the live window, the review and
// the headless tools, so that they alarm alike.
#pragma once

#include "processing/alarms.h"

// The status words of a sensor alarm and the link's "*** No data" are matched whole.
alarms::Shown ShownFromFields(const char* spo2, const char* pulse, const char* status,
                              bool link_lost);
