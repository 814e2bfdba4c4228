#pragma once

#include <cstdint>
#include <ctime>

namespace os {

// The system wall clock in 100-nanosecond ticks since 1970-01-01 UTC.
std::int64_t WallClockTicks();

// The C library's local-time conversion of seconds since 1970. False when it fails.
bool ToLocalTime(std::int64_t seconds_since_1970, std::tm& out);

// Milliseconds since boot (GetTickCount64; CLOCK_BOOTTIME on Linux).
std::uint64_t TickCountMs();

}  // namespace os
