#include "transport/backoff.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace transport {
namespace {

void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

void yield_thread() {
  std::this_thread::yield();
}

void sleep_one_ms() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

scheduler_calls& scheduler() {
  static scheduler_calls calls{&cpu_pause, &yield_thread, &sleep_one_ms};
  return calls;
}

void back_off(std::uint32_t& k) {
  if (k < 4) {
    ++k;
  } else if (k < 16) {
    scheduler().pause();
    ++k;
  } else if (k < 32) {
    scheduler().yield();
    ++k;
  } else {
    scheduler().sleep_1ms();
  }
}

void spin_lock::lock() {
  std::atomic_ref<std::uint32_t> held(word);
  for (std::uint32_t k = 0; held.exchange(1, std::memory_order_acquire) != 0;) back_off(k);
}

void spin_lock::unlock() {
  std::atomic_ref<std::uint32_t>(word).store(0, std::memory_order_release);
}

}  // namespace transport
