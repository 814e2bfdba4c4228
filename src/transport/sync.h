#pragma once

// Named synchronisation objects of the transport: a mutex, a counting semaphore, a condition
// made of a semaphore, a mutex and a shared waiting count, and a waiter that pairs a condition
// with its own mutex and a quit flag. Names are UTF-8; failures go to the diagnostic hook and
// come back as false.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "os/named_objects.h"
#include "transport/backoff.h"
#include "transport/shm.h"

namespace transport {

// "Global\" or "Local\": the namespace prefix for a global flag.
std::string namespace_prefix(bool global);

class named_mutex {
 public:
  // Creates or opens the mutex `name`, used exactly as given (no prefix is added).
  bool open(const std::string& name);
  // Waits without a time-out. A mutex whose owner died is reported, released and taken again:
  // a process that dies holding it never blocks the others.
  bool lock();
  bool unlock();
  void close() { handle_.Close(); }
  bool valid() const { return handle_.valid(); }
  const os::NamedMutex& handle() const { return handle_; }

 private:
  os::NamedMutex handle_;
};

class named_semaphore {
 public:
  static constexpr std::int32_t kMaximum = 0x7FFFFFFF;

  // Creates (count 0, maximum kMaximum) or opens the semaphore `name`, used exactly as given.
  bool open(const std::string& name);
  bool post(std::int32_t count);
  void close() { handle_.Close(); }
  bool valid() const { return handle_.valid(); }
  const os::NamedSemaphore& handle() const { return handle_; }

 private:
  os::NamedSemaphore handle_;
};

class named_condition {
 public:
  // Opens P + "_cond_sem_" + name, P + "_cond_lock_" + name and the 4-byte segment
  // "_cond_shm_" + name, P being the prefix of `global`. All or nothing.
  bool open(const std::string& name, bool global);
  // The caller holds `mutex`. Releases it and waits up to `milliseconds` for a broadcast, then
  // takes it again. True only when woken by a broadcast and the mutex was taken again.
  bool wait(named_mutex& mutex, std::uint32_t milliseconds);
  // Wakes every thread waiting now, in any process.
  bool broadcast();
  void close();
  bool valid() const;

  // The number of threads waiting, in every process (0 when not open). Changed only under the
  // condition's internal lock; read here without it.
  std::int32_t waiting() const;

 private:
  std::atomic_ref<std::int32_t> count() const {
    return std::atomic_ref<std::int32_t>(*static_cast<std::int32_t*>(shm_.get()));
  }

  named_semaphore semaphore_;
  named_mutex lock_;
  shm::handle shm_;
};

class waiter {
 public:
  waiter();
  ~waiter();
  waiter(const waiter&) = delete;
  waiter& operator=(const waiter&) = delete;

  // The namespace of the condition; set before open.
  void set_global(bool global) { global_ = global; }
  bool global() const { return global_; }

  // Clears the quit flag; opens the condition "_waiter_cond_" + name in the waiter's namespace
  // and the mutex "_waiter_lock_" + name without prefix (always the caller's session).
  bool open(const std::string& name);
  // Wakes every thread blocked in wait_while on this waiter's condition, in any process.
  bool broadcast();
  // Sets the quit flag and broadcasts: every blocked wait_while returns true.
  bool quit_waiting();
  void close();

  // `predicate` performs the attempted operation and returns true while the caller must keep
  // waiting. With 0 ms it is called once. Otherwise it is tried 33 times with a yield between
  // tries, then under the waiter's mutex until it is false or the quit flag is set, waiting for
  // a broadcast between tries; `milliseconds` bounds each single wait, not the whole call.
  // False when a wait timed out or failed.
  template <typename Predicate>
  bool wait_while(Predicate&& predicate, std::uint32_t milliseconds) {
    if (milliseconds == 0) return !predicate();
    for (std::uint32_t yields = 0;; ++yields) {
      if (!predicate()) return true;
      if (yields == kSpinYields) break;
      scheduler().yield();
    }
    if (!mutex_.lock()) return false;
    while (!quit_.load() && predicate()) {
      if (!condition_->wait(mutex_, milliseconds)) {
        mutex_.unlock();
        return false;
      }
    }
    mutex_.unlock();
    return true;
  }

  named_condition& condition() { return *condition_; }

 private:
  static constexpr std::uint32_t kSpinYields = 32;

  std::unique_ptr<named_condition> condition_;
  named_mutex mutex_;
  std::atomic<bool> quit_{false};
  bool global_ = false;
};

}  // namespace transport
