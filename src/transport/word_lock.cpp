#include "transport/word_lock.h"

#include <atomic>

#include "os/clock.h"
#include "transport/backoff.h"

namespace transport {
namespace {

std::atomic<std::uint32_t> g_takeover_ms{1000};

// Back-off reaches its sleeping phase after this many attempts; only then is the clock read.
constexpr std::uint32_t kSleepingPhase = 32;

}  // namespace

void set_word_lock_takeover_ms(std::uint32_t milliseconds) {
  g_takeover_ms.store(milliseconds, std::memory_order_relaxed);
}

std::uint32_t word_lock_takeover_ms() {
  return g_takeover_ms.load(std::memory_order_relaxed);
}

word_lock::word_lock(std::uint32_t& word) : word_(word) {
  std::atomic_ref<std::uint32_t> lock(word_);
  std::uint32_t k = 0;
  std::uint64_t since = 0;
  while (lock.exchange(1, std::memory_order_acquire) != 0) {
    if (k >= kSleepingPhase) {
      const std::uint64_t now = os::TickCountMs();
      if (since == 0) {
        since = now;
      } else if (now - since >= word_lock_takeover_ms()) {
        taken_over_ = true;
        return;
      }
    }
    back_off(k);
  }
}

word_lock::~word_lock() {
  std::atomic_ref<std::uint32_t>(word_).store(0, std::memory_order_release);
}

}  // namespace transport
