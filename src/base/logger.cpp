#include "base/logger.h"

#include <ctime>

#include "os/clock.h"
#include "os/paths.h"
#include "os/text.h"

namespace {

constexpr std::size_t kBatchLines = 10;
constexpr std::string_view kRule = "=================================================================";

std::uint32_t ProcessIdOnce() {
  static const std::uint32_t pid = os::CurrentProcessId();
  return pid;
}

}  // namespace

Logger& Logger::Instance() {
  static Logger instance;
  return instance;
}

Logger::Logger(Environment environment) : environment_(environment) {
  if (environment_.wall_clock_ticks == nullptr) environment_.wall_clock_ticks = os::WallClockTicks;
}

Logger::~Logger() {
  if (running_.load()) Close();
}

std::string Logger::TimestampText(std::int64_t ticks) {
  std::tm local{};
  if (!os::ToLocalTime(ticks / 10'000'000, local)) local = std::tm{};
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%m-%d %H:%M:%S", &local);
  return fmt::format("[{}.{:03}] ", std::string_view(text, length), (ticks / 10'000) % 1000);
}

std::string Logger::Now() const { return TimestampText(environment_.wall_clock_ticks()); }

std::string Logger::FormatLine(std::string_view message, const LogLocation& location,
                               std::uint32_t thread_id) const {
  return fmt::format("{}[{}.{}][{}]: {}", Now(), thread_id, ProcessIdOnce(),
                     location.function, message);
}

void Logger::Open(std::string_view name, std::ios_base::openmode mode) {
  std::call_once(open_once_, [&] {
    const std::u16string folder = os::PathJoin(os::PathJoin(os::TempFolder(), u"Quorlen"), u"Velmora");
    if (os::StatusOf(folder) == os::PathKind::kOther) os::RemoveAll(folder);
    const auto status = os::StatusOf(folder);
    if (status == os::PathKind::kMissing || status == os::PathKind::kUnknown) {
      os::CreateDirectories(folder);
    }
    path_ = os::PathJoin(folder, os::Utf8ToUtf16(name) + u".log");
    // A file that cannot be opened leaves the logger running without output.
    file_.Open(path_, (mode & std::ios_base::app) ? os::AppendFile::Mode::kAppend
                                                  : os::AppendFile::Mode::kTruncate);
    running_.store(true, std::memory_order_release);
    writer_ = std::thread([this] { WriterLoop(); });
    WriteRaw(fmt::format("\n\n{}\n{}[{}.{}] log start", kRule, Now(), os::CurrentThreadId(),
                         os::CurrentProcessId()));
  });
}

void Logger::WriteRaw(std::string text) {
  if (!running_.load(std::memory_order_acquire)) return;
  Push(std::move(text));
}

void Logger::Push(std::string line) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void Logger::WriterLoop() {
  while (running_.load(std::memory_order_acquire)) {
    std::deque<std::string> batch;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, environment_.batch_wait, [this] {
        return queue_.size() >= kBatchLines || !running_.load(std::memory_order_relaxed);
      });
      batch.swap(queue_);
    }
    WriteLines(batch);
  }
}

void Logger::WriteLines(const std::deque<std::string>& lines) {
  for (const auto& line : lines) {
    // One write per line: lines of processes appending at once never tear.
    std::string out;
    out.reserve(line.size() + 1);
    out.append(line).push_back('\n');
    file_.Write(out);
  }
}

void Logger::Close() {
  if (file_.IsOpen()) {
    WriteRaw(fmt::format("{}[{}.{}] log end\n{}", Now(), os::CurrentThreadId(),
                         os::CurrentProcessId(), kRule));
  }
  {
    std::lock_guard lock(mutex_);
    running_.store(false, std::memory_order_release);
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  if (file_.IsOpen()) {
    std::deque<std::string> rest;
    {
      std::lock_guard lock(mutex_);
      rest.swap(queue_);
    }
    WriteLines(rest);
    file_.Close();
  }
}
