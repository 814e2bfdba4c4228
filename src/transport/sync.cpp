#include "transport/sync.h"

#include "os/text.h"
#include "transport/security.h"
#include "transport/utility/log.h"

namespace transport {

std::string namespace_prefix(bool global) {
  return global ? "Global\\" : "Local\\";
}

// --- named_mutex ---------------------------------------------------------------------------

bool named_mutex::open(const std::string& name) {
  handle_.Close();
  auto created = os::NamedMutex::Create(os::Utf8ToUtf16(name), false, object_security());
  if (!created.ok()) {
    TRANSPORT_REPORT(log::kFailure, "fail CreateMutex[%lu]: %s\n",
                     static_cast<unsigned long>(created.error), name.c_str());
    return false;
  }
  handle_ = std::move(created.object);
  return true;
}

bool named_mutex::lock() {
  for (;;) {
    const os::WaitResult result = handle_.Wait(os::kInfiniteWait);
    if (result.status == os::WaitStatus::kSignaled) return true;
    if (result.status == os::WaitStatus::kAbandoned) {
      // What the mutex guards is not repaired: the next owner carries on with it.
      TRANSPORT_REPORT(log::kNotice, "fail WaitForSingleObject[%lu]: WAIT_ABANDONED, try again.\n",
                       static_cast<unsigned long>(result.error));
      if (const os::ErrorCode error = handle_.Release(); error != os::kErrorSuccess) {
        TRANSPORT_REPORT(log::kFailure, "fail ReleaseMutex[%lu]\n",
                         static_cast<unsigned long>(error));
        return false;
      }
      continue;
    }
    if (result.status != os::WaitStatus::kTimeout) {
      TRANSPORT_REPORT(log::kFailure, "fail WaitForSingleObject[%lu]: 0x%08X\n",
                       static_cast<unsigned long>(result.error), result.code());
    }
    return false;
  }
}

bool named_mutex::unlock() {
  if (const os::ErrorCode error = handle_.Release(); error != os::kErrorSuccess) {
    TRANSPORT_REPORT(log::kFailure, "fail ReleaseMutex[%lu]\n", static_cast<unsigned long>(error));
    return false;
  }
  return true;
}

// --- named_semaphore -----------------------------------------------------------------------

bool named_semaphore::open(const std::string& name) {
  handle_.Close();
  auto created = os::NamedSemaphore::Create(os::Utf8ToUtf16(name), 0, kMaximum, object_security());
  if (!created.ok()) {
    TRANSPORT_REPORT(log::kFailure, "fail CreateSemaphore[%lu]: %s\n",
                     static_cast<unsigned long>(created.error), name.c_str());
    return false;
  }
  handle_ = std::move(created.object);
  return true;
}

bool named_semaphore::post(std::int32_t count) {
  if (const os::ErrorCode error = handle_.Release(count); error != os::kErrorSuccess) {
    TRANSPORT_REPORT(log::kFailure, "fail ReleaseSemaphore[%lu]\n",
                     static_cast<unsigned long>(error));
    return false;
  }
  return true;
}

// --- named_condition -----------------------------------------------------------------------

bool named_condition::open(const std::string& name, bool global) {
  close();
  const std::string prefix = namespace_prefix(global);
  if (!semaphore_.open(prefix + "_cond_sem_" + name)) return false;
  if (!lock_.open(prefix + "_cond_lock_" + name)) {
    semaphore_.close();
    return false;
  }
  if (!shm_.acquire("_cond_shm_" + name, sizeof(std::int32_t), global)) {
    lock_.close();
    semaphore_.close();
    return false;
  }
  return true;
}

bool named_condition::valid() const {
  return semaphore_.valid() && lock_.valid() && shm_.get() != nullptr;
}

std::int32_t named_condition::waiting() const {
  return valid() ? count().load(std::memory_order_relaxed) : 0;
}

void named_condition::close() {
  semaphore_.close();
  lock_.close();
  shm_.release();
}

bool named_condition::wait(named_mutex& mutex, std::uint32_t milliseconds) {
  if (!valid() || !lock_.lock()) return false;
  // A negative count (left by a waiter that timed out as it was posted for) is taken as no
  // waiter at all. The lock orders every change; the atomic access only keeps unlocked readers
  // well-defined.
  auto waiting = count();
  const std::int32_t before = waiting.load(std::memory_order_relaxed);
  waiting.store(before < 0 ? 1 : before + 1, std::memory_order_relaxed);
  lock_.unlock();

  // Registered before the release, so a broadcast from here on posts for this waiter and the
  // semaphore keeps the post even if it lands before the wait starts.
  const os::WaitResult woken =
      os::ReleaseMutexAndWait(mutex.handle(), semaphore_.handle(), milliseconds);
  const bool relocked = mutex.lock();
  if (!woken.signaled() && lock_.lock()) {
    waiting.store(waiting.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    lock_.unlock();
  }
  return woken.signaled() && relocked;
}

bool named_condition::broadcast() {
  if (!valid() || !lock_.lock()) return false;
  auto waiting = count();
  if (const std::int32_t count_now = waiting.load(std::memory_order_relaxed); count_now > 0) {
    semaphore_.post(count_now);
    waiting.store(0, std::memory_order_relaxed);
  }
  return lock_.unlock();
}

// --- waiter --------------------------------------------------------------------------------

waiter::waiter() : condition_(std::make_unique<named_condition>()) {}

waiter::~waiter() {
  close();
}

bool waiter::open(const std::string& name) {
  quit_.store(false);
  if (!condition_->open("_waiter_cond_" + name, global_)) return false;
  if (!mutex_.open("_waiter_lock_" + name)) {
    condition_->close();
    return false;
  }
  return true;
}

bool waiter::broadcast() {
  // Passing through the mutex makes sure a thread that tested its predicate under it is
  // already inside the condition's wait, where the broadcast reaches it.
  if (mutex_.lock()) mutex_.unlock();
  return condition_->broadcast();
}

bool waiter::quit_waiting() {
  quit_.store(true);
  return broadcast();
}

void waiter::close() {
  condition_->close();
  mutex_.close();
}

}  // namespace transport
