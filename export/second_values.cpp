#include "export/second_values.h"

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
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) return 0;
    const long offset_min = local.tm_gmtoff / 60;
    const long off = offset_min < 0 ? -offset_min : offset_min;
    const int n = std::snprintf(
        out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900,
        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
        static_cast<int>(micros / 1000), offset_min < 0 ? '-' : '+', off / 60, off % 60);
    return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

}  // namespace data_export
