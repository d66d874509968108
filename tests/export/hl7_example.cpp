// Prints an observation report and the start and acknowledgement of an alarm, each in
// its MLLP frame, for Debian's python3-hl7 to read (hl7_messages_test.py).
#include <cstdio>
#include <string>

#include "export/hl7_message.h"
#include "export/hl7_mllp.h"

int main() {
    const hl7::Device device{"bed|2^", "COM1"};
    hl7::Header h{"Ward 3&4", "velt-1", 1765387353125000};
    std::string out;
    hl7::AppendMllpFrame(out, hl7::ObservationMessage(h, device, {1765387352000000, 97, 72, {}}));
    hl7::AlarmReport a{1765387353000000,    "start", "spo2-low",   "high", false,
                       1765387353000000,    196670,  "MDC_EVT_LO", 86,     90,
                       "** SpO2 86 < 90\r|"};
    h.control_id = "velt-2";
    hl7::AppendMllpFrame(out, hl7::AlarmMessage(h, device, a));
    a = {1765387360000000, "acknowledged",    "link-lost", "medium", true,       1765387353000000,
         196630,           "MDC_EVT_DISCONN", {},          {},       "Link lost"};
    h.control_id = "velt-3";
    hl7::AppendMllpFrame(out, hl7::AlarmMessage(h, device, a));
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
