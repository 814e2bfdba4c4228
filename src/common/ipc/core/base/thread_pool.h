#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ipc {

// A named, fixed set of worker threads over one unbounded first-in first-out queue. Every worker
// keeps a busy record (since when, which task) so that the owner can wait until the pool is idle
// and, when that wait runs out, name the workers that have been busy too long.
class ThreadPool {
 public:
  using Task = std::function<void()>;
  // Nanoseconds of a monotonic clock.
  using MonotonicClock = std::int64_t (*)();

  // A worker counts as stuck once it has run one task this long (5001 ms).
  static constexpr std::int64_t kStuckAfterNs = 5'001'000'000;

  // Starts `count` workers, in index order. A thread that cannot be started raises the thread
  // library's error after the workers already started have been stopped and joined. `clock`
  // replaces the steady clock for the busy records (tests).
  ThreadPool(std::int32_t count, std::string name, MonotonicClock clock = nullptr);
  // Lets the workers finish every queued task, then joins them in index order. Destroying a pool
  // from one of its own workers raises the thread library's resource-deadlock error.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Queues a task; never refuses and never blocks. A task must not let an exception escape: the
  // worker does not catch it and the process ends.
  void Post(Task task, std::string tag = {});

  // Waits up to `timeout_ms` until the queue is empty and no worker is busy (or the pool is being
  // destroyed); returns whether that holds at the end.
  bool WaitIdle(std::uint32_t timeout_ms);

  // One text per worker busy for at least kStuckAfterNs, in index order:
  // "[name] thread#i stuck for Nms tag=[tag]".
  std::vector<std::string> StuckThreads() const;

  const std::string& name() const { return name_; }
  std::int32_t count() const { return count_; }

 private:
  struct Entry {
    Task task;
    std::string tag;
  };
  struct Busy {
    bool busy = false;
    std::int64_t start_ns = 0;
    std::string tag;
  };

  void Worker(std::size_t index);
  void StopAndJoin();
  bool IdleLocked() const;
  std::int64_t Now() const;

  std::string name_;
  mutable std::mutex mutex_;
  std::condition_variable work_available_;
  std::condition_variable idle_;
  std::atomic<bool> stop_{false};
  std::deque<Entry> queue_;
  std::int32_t count_;
  std::vector<std::thread> threads_;
  std::vector<Busy> busy_;
  MonotonicClock clock_;
};

}  // namespace ipc
