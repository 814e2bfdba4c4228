#pragma once

// Busy waiting in the transport: the back-off schedule every retry loop follows, and the spin
// lock built on it.

#include <cstdint>

namespace transport {

// The scheduler calls of the back-off and of waiter::wait_while's spin phase. Process-wide;
// tests replace them to count calls and to skip real sleeps.
struct scheduler_calls {
  void (*pause)();      // one CPU pause instruction
  void (*yield)();      // give the processor to another ready thread
  void (*sleep_1ms)();  // sleep one millisecond on the monotonic clock
};
scheduler_calls& scheduler();

// One step after a failed attempt, `k` counting failed attempts from 0: attempts 0 to 3 retry
// at once, 4 to 15 pause the CPU once, 16 to 31 yield; `k` grows by one each time. From 32 on
// every step sleeps 1 ms and `k` stays.
void back_off(std::uint32_t& k);

// A lock in one 32-bit word (0 free, 1 held) that may live in shared memory and then works
// across processes. It waits by backing off, never in the kernel, so hold it only briefly.
struct spin_lock {
  std::uint32_t word = 0;

  void lock();
  void unlock();
};
static_assert(sizeof(spin_lock) == 4);

}  // namespace transport
