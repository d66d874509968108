#include "export/mqtt_topics.h"

#include <cstdio>

namespace mqtt {
namespace {

bool Refused(unsigned char c) { return c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7f; }

// Upper case only: escaping writes no other.
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Characters that draw nothing or reorder the text around them.
bool Invisible(char32_t c) {
    return (c >= 0x80 && c <= 0x9f) || c == 0xad || c == 0x61c || c == 0x180e ||
           (c >= 0x200b && c <= 0x200f) || (c >= 0x2028 && c <= 0x202e) ||
           (c >= 0x2060 && c <= 0x206f) || c == 0xfeff || (c >= 0xfff9 && c <= 0xfffb);
}

void AppendTime(std::string& out, int64_t unix_us) {
    char time[40];
    if (data_export::FormatIsoLocalTime(unix_us, time, sizeof time) == 0) {
        out += "null";
        return;
    }
    out += '"';
    out += time;
    out += '"';
}

struct VitalSign {
    const char* key;
    int code;
    const char* mdc;
    const char* unit;
};
constexpr VitalSign kSpo2{"spo2", 150456, "MDC_PULS_OXIM_SAT_O2", "%"};
constexpr VitalSign kPulse{"pulse", 149530, "MDC_PULS_OXIM_PULS_RATE", "bpm"};
constexpr VitalSign kPerfusion{"perfusion", 150488, "MDC_BLD_PERF_INDEX", "%"};

void AppendNumberOrNull(std::string& out, const std::string& shown) {
    const std::optional<double> v = data_export::ShownValue(shown);
    if (!v) {
        out += "null";
        return;
    }
    char number[32];
    std::snprintf(number, sizeof number, "%.10g", *v);
    out += number;
}

void AppendVital(std::string& out, const VitalSign& sign, const std::string& shown) {
    out += '"';
    out += sign.key;
    out += "\":{\"value\":";
    AppendNumberOrNull(out, shown);
    out += ",\"unit\":\"";
    out += sign.unit;
    out += "\",\"code\":";
    out += std::to_string(sign.code);
    out += ",\"mdc\":\"";
    out += sign.mdc;
    out += "\"}";
}

}  // namespace

const char* LeafName(Leaf leaf) {
    switch (leaf) {
        case Leaf::kState:
            return "state";
        case Leaf::kValues:
            return "values";
        case Leaf::kEvents:
            return "events";
        case Leaf::kAlarms:
            return "alarms";
        case Leaf::kPleth:
            return "pleth";
        case Leaf::kUnknown:
            break;
    }
    return "";
}

size_t MaxPayload(Leaf leaf) {
    switch (leaf) {
        case Leaf::kState:
        case Leaf::kValues:
        case Leaf::kEvents:
        case Leaf::kAlarms:
            return 4096;
        case Leaf::kPleth:
            return 8192;
        case Leaf::kUnknown:
            break;
    }
    return 0;
}

bool ValidTopicName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (Refused(static_cast<unsigned char>(c))) return false;
    return true;
}

bool ValidMonitorName(std::string_view name) {
    if (!ValidTopicName(name) || name.find('%') != std::string_view::npos) return false;
    for (size_t i = 0; i < name.size();) {
        const auto b = static_cast<unsigned char>(name[i]);
        const size_t len = b < 0x80         ? 1
                           : (b >> 5) == 6  ? 2
                           : (b >> 4) == 14 ? 3
                           : (b >> 3) == 30 ? 4
                                            : 0;
        if (len == 0 || i + len > name.size()) return false;
        char32_t c = len == 1 ? b : b & (0x7f >> len);
        for (size_t k = 1; k < len; ++k) {
            const auto t = static_cast<unsigned char>(name[i + k]);
            if ((t & 0xc0) != 0x80) return false;
            c = (c << 6) | (t & 0x3f);
        }
        static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kShortest[len] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff) || Invisible(c))
            return false;
        i += len;
    }
    return true;
}

std::string EscapeTopicName(std::string_view name) {
    if (name.empty()) return "_";
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (Refused(u) || c == '%') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

std::string UnescapeTopicName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        const int hi = name[i] == '%' && i + 2 < name.size() ? HexDigit(name[i + 1]) : -1;
        const int lo = hi >= 0 ? HexDigit(name[i + 2]) : -1;
        const auto c = static_cast<unsigned char>(hi * 16 + lo);
        if (lo >= 0 && (c == '%' || Refused(c))) {
            out += static_cast<char>(c);
            i += 2;
        } else {
            out += name[i];
        }
    }
    return out;
}

std::string Topic(std::string_view monitor, std::string_view port, Leaf leaf) {
    std::string t = kTopicRoot;
    t += monitor;
    t += '/';
    t += port;
    t += '/';
    t += LeafName(leaf);
    return t;
}

bool ParseTopic(std::string_view topic, TopicParts* parts) {
    const std::string_view root = kTopicRoot;
    if (topic.substr(0, root.size()) != root) return false;
    topic.remove_prefix(root.size());
    const size_t a = topic.find('/');
    if (a == std::string_view::npos || a == 0) return false;
    const size_t b = topic.find('/', a + 1);
    if (b == std::string_view::npos || b == a + 1) return false;
    const std::string_view leaf = topic.substr(b + 1);
    if (leaf.find('/') != std::string_view::npos) return false;
    parts->monitor = topic.substr(0, a);
    parts->port = topic.substr(a + 1, b - a - 1);
    parts->leaf = Leaf::kUnknown;
    for (Leaf l : {Leaf::kState, Leaf::kValues, Leaf::kEvents, Leaf::kAlarms, Leaf::kPleth})
        if (leaf == LeafName(l)) parts->leaf = l;
    return true;
}

void AppendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string StateJson(bool online, int64_t since_us) {
    std::string out =
        online ? "{\"state\":\"online\",\"since\":" : "{\"state\":\"offline\",\"since\":";
    if (since_us == 0)
        out += "null";
    else
        AppendTime(out, since_us);
    out += '}';
    return out;
}

void ValuesJson(const data_export::SecondValues& v, std::string& out) {
    out.clear();
    out += "{\"time\":";
    AppendTime(out, v.unix_us);
    out += ',';
    AppendVital(out, kSpo2, v.spo2);
    out += ',';
    AppendVital(out, kPulse, v.pulse);
    out += ',';
    AppendVital(out, kPerfusion, v.perfusion);
    out += ",\"rhbco\":{\"value\":";
    AppendNumberOrNull(out, v.rhbco);
    out += ",\"unit\":\"%\"},\"status\":";
    AppendJsonString(out, v.status);
    out += ",\"link\":{\"state\":\"";
    out += data_export::LinkStateName(v.link);
    out += "\",\"frames\":";
    out += std::to_string(v.frames);
    out += ",\"bad\":";
    out += std::to_string(v.bad);
    out += ",\"lost\":";
    out += std::to_string(v.lost);
    out += "}}";
}

std::string EventJson(int64_t unix_us, std::string_view kind, std::string_view text) {
    std::string out = "{\"time\":";
    AppendTime(out, unix_us);
    out += ",\"event\":";
    AppendJsonString(out, kind);
    out += ",\"text\":";
    AppendJsonString(out, text);
    out += '}';
    return out;
}

int AlarmEventCode(std::string_view name, const char** mdc) {
    // Limit alarms carry the generic "above" and "below" events (the value's own code
    // is in the values message); a lost link is a disconnection. The others have no
    // event of their own in the nomenclature.
    static constexpr struct {
        const char* name;
        int code;
        const char* mdc;
    } kCodes[] = {{"spo2-low", 196670, "MDC_EVT_LO"},
                  {"spo2-desat", 196670, "MDC_EVT_LO"},
                  {"pulse-low", 196670, "MDC_EVT_LO"},
                  {"pulse-high", 196648, "MDC_EVT_HI"},
                  {"link-lost", 196630, "MDC_EVT_DISCONN"}};
    for (const auto& c : kCodes)
        if (name == c.name) {
            *mdc = c.mdc;
            return c.code;
        }
    *mdc = nullptr;
    return 0;
}

namespace {

void AppendAlarmFields(std::string& out, const AlarmInfo& a) {
    out += "\"name\":";
    AppendJsonString(out, a.name);
    out += ",\"priority\":";
    AppendJsonString(out, a.priority);
    out += a.latched ? ",\"state\":\"latched\",\"since\":" : ",\"state\":\"active\",\"since\":";
    if (a.since_us == 0)
        out += "null";
    else
        AppendTime(out, a.since_us);
    char number[32];
    for (const auto& [key, v] : {std::pair{",\"value\":", a.value}, {",\"limit\":", a.limit}}) {
        out += key;
        std::snprintf(number, sizeof number, "%.10g", v);
        out += a.has_value ? number : "null";
    }
    out += ",\"text\":";
    AppendJsonString(out, a.text);
    const char* mdc = nullptr;
    const int code = AlarmEventCode(a.name, &mdc);
    if (code == 0) {
        out += ",\"code\":null,\"mdc\":null";
        return;
    }
    out += ",\"code\":" + std::to_string(code) + ",\"mdc\":\"";
    out += mdc;
    out += '"';
}

}  // namespace

void AlarmsJson(int64_t unix_us, const AlarmInfo* alarms, size_t count, std::string& out) {
    out.clear();
    out += "{\"time\":";
    AppendTime(out, unix_us);
    out += ",\"alarms\":[";
    for (size_t i = 0; i < count; ++i) {
        out += i == 0 ? "{" : ",{";
        AppendAlarmFields(out, alarms[i]);
        out += '}';
    }
    out += "]}";
}

std::string AlarmEventJson(int64_t unix_us, std::string_view what, const AlarmInfo& alarm) {
    std::string out = "{\"time\":";
    AppendTime(out, unix_us);
    out += ",\"event\":\"alarm\",\"alarm\":";
    AppendJsonString(out, what);
    out += ',';
    AppendAlarmFields(out, alarm);
    out += '}';
    return out;
}

void PlethJson(int64_t first_sample_us, int rate_hz, const uint16_t* samples, size_t count,
               std::string& out) {
    out.clear();
    out += "{\"time\":";
    AppendTime(out, first_sample_us);
    out += ",\"rate\":";
    out += std::to_string(rate_hz);
    out += ",\"ir\":[";
    for (size_t i = 0; i < count; ++i) {
        if (i != 0) out += ',';
        out += std::to_string(samples[i]);
    }
    out += "]}";
}

}  // namespace mqtt
