#include "link/link_statistics.h"

#include <cstdio>

LinkCounts LinkStatistics::Read() const {
    LinkCounts c;
    c.bytes = Get(kBytes);
    c.frames = Get(kFrames);
    c.bad_checksums = Get(kBadChecksums);
    c.incomplete = Get(kIncomplete);
    c.oversize = Get(kOversize);
    c.dropped = Get(kDropped);
    c.line_errors = Get(kLineErrors);
    c.reconnects = Get(kReconnects);
    return c;
}

void LinkStatistics::Reset() {
    for (auto& v : v_) v.store(0, std::memory_order_relaxed);
}

int FormatLinkStatistics(char* out, size_t size, const char* port, const LinkCounts& c) {
    return std::snprintf(
        out, size,
        "Link statistics %s: bytes %llu, frames %llu, bad checksums %llu, "
        "incomplete %llu, oversize %llu, dropped %llu, line errors %llu, "
        "reconnects %llu",
        port != nullptr ? port : "", static_cast<unsigned long long>(c.bytes),
        static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.bad_checksums),
        static_cast<unsigned long long>(c.incomplete), static_cast<unsigned long long>(c.oversize),
        static_cast<unsigned long long>(c.dropped), static_cast<unsigned long long>(c.line_errors),
        static_cast<unsigned long long>(c.reconnects));
}

int FormatLinkCountsPane(char* out, size_t size, const LinkCounts& c) {
    return std::snprintf(out, size, "%llu frames, %llu bad, %llu lost",
                         static_cast<unsigned long long>(c.frames),
                         static_cast<unsigned long long>(c.bad_checksums),
                         static_cast<unsigned long long>(c.Lost()));
}
