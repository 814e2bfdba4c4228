#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <ios>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include <fmt/format.h>

#include "os/append_file.h"
#include "os/process_info.h"

// Where a log call was made. The compiler fills it in at the call site; the function is its bare
// name (Initialize, LaunchTarget), as __func__ spells it.
struct LogLocation {
  const char* file;
  unsigned line;
  const char* function;

  static constexpr LogLocation Current(const char* file = __builtin_FILE(),
                                       unsigned line = __builtin_LINE(),
                                       const char* function = __builtin_FUNCTION()) {
    return {file, line, function};
  }
};

// The process's diagnostic log, `launcher.log` under <temp>/Quorlen/Velmora. A log call never
// touches the disk: it formats the line in the calling thread and queues it; a writer thread
// appends queued lines in batches.
class Logger {
 public:
  // What a logger reads from its surroundings; tests replace them.
  struct Environment {
    std::int64_t (*wall_clock_ticks)() = nullptr;  // 100 ns ticks since 1970; null: the system's
    std::chrono::milliseconds batch_wait{10'000};  // longest time a short batch waits
  };

  static Logger& Instance();

  Logger() : Logger(Environment{}) {}
  explicit Logger(Environment environment);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Only the first call does anything. `mode` with std::ios_base::app appends, otherwise the
  // file is truncated.
  void Open(std::string_view name, std::ios_base::openmode mode);

  template <typename... Args>
  void Log(fmt::format_string<Args...> format, const LogLocation& location,
           std::uint32_t thread_id, Args&&... args) {
    if (!running_.load(std::memory_order_acquire)) return;
    Push(FormatLine(fmt::format(format, std::forward<Args>(args)...), location, thread_id));
  }

  // Queues text unchanged.
  void WriteRaw(std::string text);

  // Writes the end banner, stops the writer and closes the file.
  void Close();

  std::u16string path() const { return path_; }

  // "[MM-DD HH:MM:SS.mmm] " for a wall-clock time in 100 ns ticks since 1970, in local time.
  static std::string TimestampText(std::int64_t ticks);

 private:
  std::string FormatLine(std::string_view message, const LogLocation& location,
                         std::uint32_t thread_id) const;
  std::string Now() const;
  void Push(std::string line);
  void WriterLoop();
  void WriteLines(const std::deque<std::string>& lines);

  Environment environment_;
  std::u16string path_;
  os::AppendFile file_;
  std::atomic<bool> running_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
  std::thread writer_;
  std::once_flag open_once_;
  std::deque<std::string> queue_;
};

#define LOG(format, ...)                                                                 \
  ::Logger::Instance().Log(format, ::LogLocation::Current(), ::os::CurrentThreadId() \
                                       __VA_OPT__(, ) __VA_ARGS__)
