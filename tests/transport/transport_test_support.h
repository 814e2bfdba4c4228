#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "transport/backoff.h"
#include "transport/utility/log.h"

namespace transport_test {

struct Report {
  int level;
  std::string module;
  int line;
  std::string text;
};

// Collects the transport's diagnostic reports while in scope.
class CapturedReports {
 public:
  CapturedReports() { transport::log::set_hook(&Collect); }
  ~CapturedReports() {
    transport::log::set_hook(nullptr);
    take();
  }
  CapturedReports(const CapturedReports&) = delete;
  CapturedReports& operator=(const CapturedReports&) = delete;

  std::vector<Report> take() {
    std::lock_guard lock(Mutex());
    return std::exchange(Reports(), {});
  }
  std::vector<std::string> texts() {
    std::vector<std::string> result;
    for (const auto& report : take()) result.push_back(report.text);
    return result;
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<Report>& Reports() {
    static std::vector<Report> reports;
    return reports;
  }
  static void Collect(int level, const char* module, int line, const char* text) {
    std::lock_guard lock(Mutex());
    Reports().push_back({level, module, line, text});
  }
};

// Counts the scheduler calls of the back-off and the waiter instead of making them.
class CountedScheduler {
 public:
  struct Tally {
    int pauses = 0;
    int yields = 0;
    int sleeps = 0;
  };

  CountedScheduler() : saved_(transport::scheduler()) {
    Counts() = {};
    transport::scheduler() = {[] { ++Counts().pauses; }, [] { ++Counts().yields; },
                              [] { ++Counts().sleeps; }};
  }
  ~CountedScheduler() { transport::scheduler() = saved_; }
  CountedScheduler(const CountedScheduler&) = delete;
  CountedScheduler& operator=(const CountedScheduler&) = delete;

  const Tally& counts() const { return Counts(); }

 private:
  static Tally& Counts() {
    static Tally tally;
    return tally;
  }
  transport::scheduler_calls saved_;
};

}  // namespace transport_test
