#include "export/hl7_message.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace hl7 {

namespace {

// Version 2.6 with the profiles' identifiers in MSH-21; the engine answers every
// message at the application level (MSH-15 NE, MSH-16 AL), as the profile asks.
constexpr const char* kVersion = "2.6";
constexpr const char* kObservationProfile = "IHE_PCD_001^IHE PCD^1.3.6.1.4.1.19376.1.6.1.1.1^ISO";
constexpr const char* kAlarmProfile = "IHE_PCD_ACM_001^IHE PCD^1.3.6.1.4.1.19376.1.6.4.4^ISO";

// The pulse oximeter as IEEE 11073 models it: the system (MDS) and its one virtual
// device (VMD), a device kind's codes after its base (69640: MDS +1, VMD +2, channel
// +3); the measurements sit below them at 1.1.1.n (OBX-4: MDS.VMD.channel.metric).
constexpr const char* kMds = "69641^MDC_DEV_ANALY_SAT_O2_MDS^MDC";
constexpr const char* kVmd = "69642^MDC_DEV_ANALY_SAT_O2_VMD^MDC";

constexpr const char* kPercent = "262688^MDC_DIM_PERCENT^MDC^%^percent^UCUM";
constexpr const char* kPerMinute = "264864^MDC_DIM_BEAT_PER_MIN^MDC^/min^per minute^UCUM";

struct Metric {
    const char* code;  // 11073 and, where there is one, LOINC as the alternate
    const char* unit;
    const char* sub_id;  // OBX-4; an alarm about it adds its facet (.1 to .5)
};
constexpr Metric kSpo2{
    "150456^MDC_PULS_OXIM_SAT_O2^MDC^59408-5^Oxygen saturation in Arterial blood by Pulse "
    "oximetry^LN",
    kPercent, "1.1.1.1"};
constexpr Metric kPulse{"149530^MDC_PULS_OXIM_PULS_RATE^MDC^8889-8^Heart rate by Pulse oximetry^LN",
                        kPerMinute, "1.1.1.2"};
constexpr Metric kPerfusion{"150488^MDC_BLD_PERF_INDEX^MDC", kPercent, "1.1.1.3"};
// A technical alarm is about the device's link, not a measurement: metric 0.
constexpr const char* kTechnicalSubId = "1.1.1.0";

// A number as the monitor shows it: no exponent, no trailing zeros.
void AppendNumber(std::string& out, double v) {
    char buf[32];
    const int n = std::snprintf(buf, sizeof buf, "%.3f", v);
    int end = n;
    while (end > 0 && buf[end - 1] == '0') --end;
    if (end > 0 && buf[end - 1] == '.') --end;
    out.append(buf, static_cast<size_t>(end));
}

void AppendHeader(std::string& out, const Header& h, const char* type, const char* profile) {
    out += "MSH|^~\\&|VELT^velt-gateway|";
    AppendEscaped(out, h.facility);
    out += "|||";
    out += Timestamp(h.unix_us);
    out += "||";
    out += type;
    out += '|';
    AppendEscaped(out, h.control_id);
    out += "|P|";
    out += kVersion;
    out += "|||NE|AL||UNICODE UTF-8|||";
    out += profile;
    out += '\r';
}

// The patient is not known to the monitor: an empty identity that the engine binds to
// the bed (PV1-3: point of care ^ room ^ bed ^ facility).
void AppendPatient(std::string& out, const Header& h, const Device& d) {
    out += "PID|||\rPV1||I|^^";
    AppendEscaped(out, d.monitor);
    out += '^';
    AppendEscaped(out, h.facility);
    out += '\r';
}

void AppendEquipment(std::string& out, const Device& d) {
    AppendEscaped(out, d.monitor);
    out += '/';
    AppendEscaped(out, d.port);
    out += "^VELT";
}

void AppendMetric(std::string& out, int set_id, const Metric& m, const std::optional<double>& value,
                  const std::string& when, const Device& d) {
    out += "OBX|" + std::to_string(set_id) + "|NM|";
    out += m.code;
    out += '|';
    out += m.sub_id;
    out += '|';
    if (value) AppendNumber(out, *value);
    out += '|';
    out += m.unit;
    // A value the monitor did not show goes out without a number and with the status
    // "X" (cannot be obtained), so the chart shows a gap rather than an old value.
    out += value ? "|||||R|||" : "|||||X|||";
    out += when;
    out += "||||";
    AppendEquipment(out, d);
    out += '\r';
}

const char* PriorityFlag(std::string_view priority) {
    if (priority == "high") return "PH";
    if (priority == "medium") return "PM";
    if (priority == "low") return "PL";
    return "PU";
}

// The source of a physiological alarm by its name; nullptr for a technical one.
const Metric* AlarmSource(std::string_view name) {
    if (name.substr(0, 5) == "spo2-") return &kSpo2;
    if (name.substr(0, 6) == "pulse-") return &kPulse;
    return nullptr;
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '|':
                out += "\\F\\";
                break;
            case '^':
                out += "\\S\\";
                break;
            case '&':
                out += "\\T\\";
                break;
            case '~':
                out += "\\R\\";
                break;
            case '\\':
                out += "\\E\\";
                break;
            default:
                out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
        }
    }
}

std::string Timestamp(int64_t unix_us) {
    const int64_t s = unix_us >= 0 ? unix_us / 1000000 : (unix_us - 999999) / 1000000;
    const int ms = static_cast<int>((unix_us - s * 1000000) / 1000);
    const time_t t = static_cast<time_t>(s);
    tm utc{};
    gmtime_r(&t, &utc);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d.%03d+0000", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
    return buf;
}

std::string ObservationMessage(const Header& header, const Device& device, const Vitals& v) {
    std::string out;
    out.reserve(1200);
    const std::string when = Timestamp(v.unix_us);
    AppendHeader(out, header, "ORU^R01^ORU_R01", kObservationProfile);
    AppendPatient(out, header, device);
    // OBR-3 names this report uniquely (the control id); OBR-4 is the device kind.
    out += "OBR|1||";
    AppendEscaped(out, header.control_id);
    out += "^VELT|";
    out += kMds;
    out += "|||" + when + '\r';
    out += "OBX|1||";
    out += kMds;
    out += "|1.0.0.0|||||||X|||||||";
    AppendEquipment(out, device);
    out += "\rOBX|2||";
    out += kVmd;
    out += "|1.1.0.0|||||||X\r";
    AppendMetric(out, 3, kSpo2, v.spo2, when, device);
    AppendMetric(out, 4, kPulse, v.pulse, when, device);
    AppendMetric(out, 5, kPerfusion, v.perfusion, when, device);
    return out;
}

std::string AlarmMessage(const Header& header, const Device& device, const AlarmReport& a) {
    std::string out;
    out.reserve(1200);
    const std::string when = Timestamp(a.unix_us);
    AppendHeader(out, header, "ORU^R40^ORU_R40", kAlarmProfile);
    AppendPatient(out, header, device);
    // OBR-3: the alarm's own identity (device, name, start) ties its start, end and
    // acknowledgement together; OBR-7 is its start.
    out += "OBR|1||";
    AppendEscaped(out, device.monitor);
    out += '/';
    AppendEscaped(out, device.port);
    out += '/';
    AppendEscaped(out, a.name);
    out += '/' + std::to_string(a.since_us / 1000000);
    out += "^VELT|196616^MDC_EVT_ALARM^MDC|||";
    out += Timestamp(a.since_us);
    out += '\r';

    // 1: what the alarm is, its priority and kind (physiological or technical). Each
    // facet's OBX-4 is its source's place in the device (the measurement's, as in the
    // observation reports) and the facet's number.
    const Metric* source = AlarmSource(a.name);
    const std::string sub = std::string(source ? source->sub_id : kTechnicalSubId) + '.';
    const bool high = a.name.size() >= 5 && a.name.compare(a.name.size() - 5, 5, "-high") == 0;
    const bool low = a.name.size() >= 4 && a.name.compare(a.name.size() - 4, 4, "-low") == 0;
    out += "OBX|1|CWE|196616^MDC_EVT_ALARM^MDC|" + sub + "1|";
    if (a.code != 0) {
        out += std::to_string(a.code) + '^';
        AppendEscaped(out, a.mdc);
        out += "^MDC";
    } else {
        out += "^^";  // no code of its own: only the text (CWE-9) below
    }
    out += "^^^^^^";
    AppendEscaped(out, a.text.empty() ? a.name : a.text);
    out += "|||";
    // A limit alarm says which side (HL7's abnormal flags L and H) before the priority.
    if (source && (low || high)) out += high ? "H~" : "L~";
    out += PriorityFlag(a.priority);
    out += source ? "~SP" : "~ST";
    out += "|||F|||" + when + "||||";
    AppendEquipment(out, device);
    out += '\r';
    // 2: the source, with the value and the limit for a physiological alarm.
    if (source && a.value) {
        out += "OBX|2|NM|";
        out += source->code;
        out += '|' + sub + "2|";
        AppendNumber(out, *a.value);
        out += '|';
        out += source->unit;
        out += '|';
        if (a.limit) {
            // Reference range: the low limit as "L-", the high one as "-H".
            if (high) out += '-';
            AppendNumber(out, *a.limit);
            if (!high) out += '-';
        }
        out += "||||F\r";
    } else {
        out += "OBX|2|ST|68480^MDC_ATTR_ALERT_SOURCE^MDC|" + sub + "2|";
        AppendEscaped(out, device.port);
        out += "||||||F\r";
    }
    // 3-5: phase, state and inactivation state. An acknowledgement is no transition of
    // the alarm's state but a change to an alarm already reported: "update" ("continue"
    // would say that nothing changed).
    const bool ended = a.what == "end";
    const bool acknowledged = a.what == "acknowledged";
    out += "OBX|3|ST|68481^MDC_ATTR_EVENT_PHASE^MDC|" + sub + "3|";
    out += ended ? "end" : acknowledged ? "update" : "start";
    out += "||||||F\rOBX|4|ST|68482^MDC_ATTR_ALARM_STATE^MDC|" + sub + "4|";
    out += ended ? "inactive" : a.latched ? "latched" : "active";
    out += "||||||F\rOBX|5|ST|68483^MDC_ATTR_ALARM_INACTIVATION_STATE^MDC|" + sub + "5|";
    out += acknowledged ? "alert-acknowledged" : "enabled";
    out += "||||||F\r";
    return out;
}

namespace {

std::string Unescape(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 2 < s.size() && s[i + 2] == '\\') {
            const char c = s[i + 1];
            const char* m = c == 'F'   ? "|"
                            : c == 'S' ? "^"
                            : c == 'T' ? "&"
                            : c == 'R' ? "~"
                            : c == 'E' ? "\\"
                                       : nullptr;
            if (m) {
                out += m;
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// Field n (1-based, after the segment name) of a segment, split at sep.
std::string_view Field(std::string_view segment, char sep, int n) {
    size_t pos = 0;
    for (int i = 0; i < n; ++i) {
        pos = segment.find(sep, pos);
        if (pos == std::string_view::npos) return {};
        ++pos;
    }
    const size_t end = segment.find(sep, pos);
    return segment.substr(pos, end == std::string_view::npos ? segment.size() - pos : end - pos);
}

}  // namespace

bool ParseAck(std::string_view message, Ack* ack, std::string* error) {
    if (message.size() < 8 || message.substr(0, 3) != "MSH") {
        *error = "no MSH segment";
        return false;
    }
    const char sep = message[3];
    std::string_view msa, err;
    for (size_t pos = 0; pos < message.size();) {
        size_t end = message.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) end = message.size();
        const std::string_view seg = message.substr(pos, end - pos);
        if (seg.size() > 3 && seg[3] == sep) {
            if (seg.substr(0, 3) == "MSA" && msa.empty())
                msa = seg;
            else if (seg.substr(0, 3) == "ERR" && err.empty())
                err = seg;
        }
        pos = end + 1;
    }
    if (msa.empty()) {
        *error = "no MSA segment";
        return false;
    }
    ack->code = std::string(Field(msa, sep, 1));
    ack->control_id = Unescape(Field(msa, sep, 2));
    ack->text = Unescape(Field(msa, sep, 3));
    if (ack->text.empty() && !err.empty()) {
        // ERR-8, the user message; else ERR-3's text component.
        ack->text = Unescape(Field(err, sep, 8));
        if (ack->text.empty()) {
            const std::string_view code = Field(err, sep, 3);
            const size_t c = code.find('^');
            ack->text = Unescape(c == std::string_view::npos ? code : Field(code, '^', 1));
        }
    }
    const std::string& c = ack->code;
    if (c == "AA" || c == "CA")
        ack->kind = Ack::Kind::kAccepted;
    else if (c == "AE" || c == "CE")
        ack->kind = Ack::Kind::kError;
    else if (c == "AR" || c == "CR")
        ack->kind = Ack::Kind::kRejected;
    else {
        *error = "unknown acknowledgement code \"" + c + "\"";
        return false;
    }
    return true;
}

}  // namespace hl7
