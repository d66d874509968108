#include "sessions/alarm_fields.h"

#include <cstring>
#include <optional>

#include "export/second_values.h"

alarms::Shown ShownFromFields(const char* spo2, const char* pulse, const char* status,
                              bool link_lost) {
    alarms::Shown s;
    const std::optional<double> spo2_value = data_export::ShownValue(spo2 != nullptr ? spo2 : "");
    const std::optional<double> pulse_value =
        data_export::ShownValue(pulse != nullptr ? pulse : "");
    // A negative text is no measurement; the monitor takes < 0 as nothing shown.
    if (spo2_value && *spo2_value >= 0) s.spo2 = *spo2_value;
    if (pulse_value && *pulse_value >= 0) s.pulse = *pulse_value;
    s.link_lost = link_lost;
    if (status != nullptr) {
        s.no_data = std::strcmp(status, "*** No data") == 0;
        for (const char* word : {"Sensor?", "Finger?", "Perfusion?"})
            if (std::strcmp(status, word) == 0) s.sensor = word;
    }
    return s;
}
