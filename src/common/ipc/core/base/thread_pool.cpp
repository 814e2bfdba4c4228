#include "common/ipc/core/base/thread_pool.h"

#include <chrono>
#include <utility>

namespace ipc {
namespace {

std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ThreadPool::ThreadPool(std::int32_t count, std::string name, MonotonicClock clock)
    : name_(std::move(name)),
      count_(count),
      busy_(count > 0 ? static_cast<std::size_t>(count) : 0),
      clock_(clock != nullptr ? clock : &SteadyNanoseconds) {
  try {
    for (std::size_t i = 0; i < busy_.size(); ++i) {
      threads_.emplace_back([this, i] { Worker(i); });
    }
  } catch (...) {
    StopAndJoin();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  StopAndJoin();
}

void ThreadPool::StopAndJoin() {
  {
    // Under the lock so that no worker tests the flag between the store and the broadcast.
    std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
  }
  work_available_.notify_all();
  idle_.notify_all();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void ThreadPool::Post(Task task, std::string tag) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Entry{std::move(task), std::move(tag)});
  }
  work_available_.notify_one();
}

bool ThreadPool::IdleLocked() const {
  if (!queue_.empty()) return false;
  for (const auto& record : busy_) {
    if (record.busy) return false;
  }
  return true;
}

bool ThreadPool::WaitIdle(std::uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return idle_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                        [this] { return stop_.load() || IdleLocked(); });
}

std::int64_t ThreadPool::Now() const {
  return clock_();
}

void ThreadPool::Worker(std::size_t index) {
  for (;;) {
    Entry entry;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_available_.wait(lock, [this] { return !queue_.empty() || stop_.load(); });
      // Stopping still drains the queue: a worker only ends when nothing is left.
      if (queue_.empty()) return;
      entry = std::move(queue_.front());
      queue_.pop_front();
      Busy& record = busy_[index];
      record.tag = std::move(entry.tag);
      record.start_ns = Now();
      record.busy = true;
      if (queue_.empty()) idle_.notify_all();
    }
    entry.task();
    entry.task = nullptr;  // the task's captures go before the worker counts as free
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Busy& record = busy_[index];
      record.tag.clear();
      record.busy = false;
    }
    idle_.notify_all();
  }
}

std::vector<std::string> ThreadPool::StuckThreads() const {
  const std::int64_t now = Now();
  std::vector<std::string> stuck;
  for (std::size_t i = 0; i < busy_.size(); ++i) {
    Busy record;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      record = busy_[i];
    }
    if (!record.busy || now - record.start_ns < kStuckAfterNs) continue;
    stuck.push_back("[" + name_ + "] thread#" + std::to_string(i) + " stuck for " +
                    std::to_string((now - record.start_ns) / 1'000'000) + "ms" + " tag=[" +
                    record.tag + "]");
  }
  return stuck;
}

}  // namespace ipc
