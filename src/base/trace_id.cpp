#include "base/trace_id.h"

#include <fmt/format.h>

#include <atomic>
#include <random>

#include "os/clock.h"
#include "os/process.h"

std::string NewTraceId() {
  const std::int64_t milliseconds = os::WallClockTicks() / 10'000;
  std::string id = fmt::format("{}_", milliseconds);
  // A fresh engine per id, seeded from the system's random source: ids made in the same
  // millisecond by different processes still differ.
  std::mt19937 engine(std::random_device{}());
  std::uniform_int_distribution<int> letter(0, 25);
  for (int i = 0; i < 10; ++i) id.push_back(static_cast<char>('a' + letter(engine)));
  return id;
}

std::uint64_t ProcessStartTimeMs() {
  static std::atomic<std::uint64_t> cached{0};
  if (const std::uint64_t value = cached.load(std::memory_order_relaxed); value != 0) return value;
  const auto creation = os::OwnProcessCreationTime();
  if (!creation) return 0;
  constexpr std::uint64_t kTicks1601To1970 = 116'444'736'000'000'000;
  std::uint64_t computed = (*creation - kTicks1601To1970) / 10'000;
  // Racing first callers keep whichever value was stored first, so every caller sees one value.
  std::uint64_t expected = 0;
  if (!cached.compare_exchange_strong(expected, computed, std::memory_order_relaxed)) {
    computed = expected;
  }
  return computed;
}
