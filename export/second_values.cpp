#include "export/second_values.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace data_export {

const char* LinkStateName(LinkState state) {
    switch (state) {
        case LinkState::kConnected:
            return "connected";
        case LinkState::kLost:
            return "lost";
        case LinkState::kNoData:
            return "no data";
        case LinkState::kClosed:
            break;
    }
    return "closed";
}

std::optional<double> ShownValue(std::string_view text) {
    // Fields are short; a copy gives strtod its terminator.
    char buffer[32];
    if (text.empty() || text.size() >= sizeof buffer) return std::nullopt;
    text.copy(buffer, text.size());
    buffer[text.size()] = '\0';
    char* end = nullptr;
    const double v = std::strtod(buffer, &end);
    if (end == buffer || *end != '\0') return std::nullopt;
    // strtod also takes "inf", "nan" and hex: a field never shows those as values.
    for (char c : text)
        if (!(c == '-' || c == '+' || c == '.' || (c >= '0' && c <= '9'))) return std::nullopt;
    return v;
}

size_t FormatIsoLocalTime(int64_t unix_us, char* out, size_t size) {
    int64_t seconds = unix_us / 1000000;
    int64_t micros = unix_us % 1000000;
    if (micros < 0) {
        micros += 1000000;
        --seconds;
    }
    // The date, time and offset of the last second formatted on this thread, in the time
    // zone of then: a publisher writes the same second into many messages (every piece
    // of the waveform), and the zone's conversion and printf cost far more than the
    // milliseconds.
    struct Second {
        int64_t seconds = INT64_MIN;
        long zone = 0;
        const char* zone_name = nullptr;
        char head[40];  // "2026-12-09T21:52:00"
        int head_size = 0;
        char offset[16];  // "+01:00"
        int offset_size = 0;
    };
    thread_local Second last;
    if (last.seconds != seconds || last.zone != ::timezone || last.zone_name != ::tzname[0]) {
        const std::time_t t = static_cast<std::time_t>(seconds);
        std::tm local{};
        if (localtime_r(&t, &local) == nullptr) return 0;
        const long offset_min = local.tm_gmtoff / 60;
        const long off = offset_min < 0 ? -offset_min : offset_min;
        last.head_size = std::snprintf(last.head, sizeof last.head, "%04d-%02d-%02dT%02d:%02d:%02d",
                                       local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                       local.tm_hour, local.tm_min, local.tm_sec);
        last.offset_size = std::snprintf(last.offset, sizeof last.offset, "%c%02ld:%02ld",
                                         offset_min < 0 ? '-' : '+', off / 60, off % 60);
        if (last.head_size <= 0 || last.head_size >= static_cast<int>(sizeof last.head) ||
            last.offset_size <= 0 || last.offset_size >= static_cast<int>(sizeof last.offset)) {
            last.seconds = INT64_MIN;
            return 0;
        }
        last.seconds = seconds;
        last.zone = ::timezone;
        last.zone_name = ::tzname[0];
    }
    const size_t n =
        static_cast<size_t>(last.head_size) + 4 + static_cast<size_t>(last.offset_size);
    if (n >= size) return 0;
    char* p = std::copy_n(last.head, last.head_size, out);
    const int ms = static_cast<int>(micros / 1000);
    *p++ = '.';
    *p++ = static_cast<char>('0' + ms / 100);
    *p++ = static_cast<char>('0' + ms / 10 % 10);
    *p++ = static_cast<char>('0' + ms % 10);
    p = std::copy_n(last.offset, last.offset_size, p);
    *p = '\0';
    return n;
}

}  // namespace data_export
