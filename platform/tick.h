// Millisecond tick: 32 bits from the monotonic clock, wrapping about every 49.7 days
// as a Windows tick count does. Compare ticks by unsigned difference.
#pragma once

#include <cstdint>

namespace platform {

uint32_t GetTickCount();

}  // namespace platform
