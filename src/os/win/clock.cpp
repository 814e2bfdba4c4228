#include <windows.h>

#include <time.h>

#include "os/clock.h"

namespace os {

std::int64_t WallClockTicks() {
  FILETIME now{};
  ::GetSystemTimePreciseAsFileTime(&now);
  const std::int64_t since_1601 =
      (static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  constexpr std::int64_t kTicks1601To1970 = 116'444'736'000'000'000;
  return since_1601 - kTicks1601To1970;
}

bool ToLocalTime(std::int64_t seconds_since_1970, std::tm& out) {
  const __time64_t seconds = seconds_since_1970;
  return ::_localtime64_s(&out, &seconds) == 0;
}

std::uint64_t TickCountMs() { return ::GetTickCount64(); }

}  // namespace os
