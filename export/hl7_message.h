// HL7 version 2 messages for a hospital's interface engine, as the IHE Patient Care
// Device profile gives them: a monitor's values as an observation report (ORU^R01,
// PCD-01) and its alarms as alarm reports (ORU^R40, PCD-04), with the engine's
// acknowledgement read back. Pure code over strings: no I/O, no clock. Qt-free.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hl7 {

// What every message carries: the sending facility (MSH-4), a control id unique per
// message (MSH-10; the acknowledgement names it) and the moment of sending (MSH-7).
struct Header {
    std::string facility;
    std::string control_id;
    int64_t unix_us = 0;
};

// The device a message speaks for: the monitor's name and its port, unescaped. They
// become the equipment identifier (OBX-18) "<monitor>/<port>" and the bed of the
// location (PV1-3).
struct Device {
    std::string monitor;
    std::string port;
};

// The values shown at one second; nothing where the monitor showed "x".
struct Vitals {
    int64_t unix_us = 0;
    std::optional<double> spo2;
    std::optional<double> pulse;
    std::optional<double> perfusion;
};

// One alarm's change: "start", "end" or "acknowledged", with the alarm as the monitor
// published it.
struct AlarmReport {
    int64_t unix_us = 0;          // when the change happened
    std::string what;             // "start", "end", "acknowledged"
    std::string name;             // "spo2-low", "link-lost", …
    std::string priority;         // "high", "medium", "low"
    bool latched = false;         // its condition ended; it waits for an acknowledgement
    int64_t since_us = 0;         // when the alarm started
    int code = 0;                 // IEEE 11073 event code (196670); 0 when it has none
    std::string mdc;              // "MDC_EVT_LO"
    std::optional<double> value;  // a physiological alarm: the value and its limit
    std::optional<double> limit;
    std::string text;  // "** SpO2 86 < 90"
};

// Appends text escaped for a field: the separators and the escape character become
// \F\ \S\ \T\ \R\ \E\, and any control character (a CR would end the segment) a space.
void AppendEscaped(std::string& out, std::string_view text);

// "20261210172233.125+0000": HL7's date and time, in UTC to the millisecond.
std::string Timestamp(int64_t unix_us);

// The messages, segments ended by CR as HL7 wants, without MLLP framing.
std::string ObservationMessage(const Header& header, const Device& device, const Vitals& v);
std::string AlarmMessage(const Header& header, const Device& device, const AlarmReport& a);

// The engine's answer to a message, from its MSA (and ERR) segments.
struct Ack {
    enum class Kind {
        kAccepted,  // AA or CA: delivered
        kError,     // AE or CE: the engine found fault with the message; sending it again
                    // cannot help
        kRejected,  // AR or CR: the engine could not take it now; send it again later
    };
    Kind kind = Kind::kRejected;
    std::string code;        // "AA", "AE", …
    std::string control_id;  // MSA-2: the message it answers
    std::string text;        // MSA-3 or ERR-8, unescaped, for the log
};

// False with a reason for an answer that is no acknowledgement ("no MSA segment",
// "unknown acknowledgement code \"XX\"").
bool ParseAck(std::string_view message, Ack* ack, std::string* error);

}  // namespace hl7
