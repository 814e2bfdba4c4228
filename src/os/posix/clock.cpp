#include <time.h>

#include "os/clock.h"

namespace os {

std::int64_t WallClockTicks() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 10'000'000 + now.tv_nsec / 100;
}

bool ToLocalTime(std::int64_t seconds_since_1970, std::tm& out) {
  const time_t seconds = static_cast<time_t>(seconds_since_1970);
  return ::localtime_r(&seconds, &out) != nullptr;
}

std::uint64_t TickCountMs() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000;
}

}  // namespace os
