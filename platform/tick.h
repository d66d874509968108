// Millisecond tick: 32 bits from the monotonic clock, wrapping about every 49.7 days
// as a Windows tick count does. Compare ticks by unsigned difference.
#pragma once

#include <cstdint>

namespace platform {

uint32_t GetTickCount();
// The same clock in microseconds; GetTickCount() is its milliseconds cut to 32 bits.
uint64_t MonotonicMicroseconds();
inline uint32_t TickAt(uint64_t monotonic_us) {
    return static_cast<uint32_t>(monotonic_us / 1000u);
}

}  // namespace platform
