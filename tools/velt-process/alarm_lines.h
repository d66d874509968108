// velt-process --alarms: the alarms a window with the given settings raises over the
// stream, one line per start and end:
//   SECONDS<TAB>start|end<TAB>high|medium|low<TAB>NAME<TAB>TEXT
// SECONDS from the stream's start, three decimals.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "processing/alarms.h"

class AlarmLines {
public:
    AlarmLines(const alarms::Settings& settings, std::FILE* out);

    // What the window shows at t_us from the stream's start: its fields (ViewField
    // order) and whether its link is lost.
    void At(int64_t t_us, const std::string* fields, bool link_lost);

private:
    static void OnEvent(void* self, const alarms::Event& event);

    alarms::AlarmMonitor monitor_;
    std::FILE* out_;
};
