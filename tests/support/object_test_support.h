#pragma once

// Helpers for tests of named kernel objects and of what is built on them.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "os/child_process.h"
#include "os/named_objects.h"
#include "os/text.h"
#include "test_support.h"

namespace test_support {

// Gives a test program's run its own folder of Linux object files (VELMORA_OBJECT_DIR), which
// its child processes inherit; the Windows build ignores it. Register it once per program:
//   static auto* const kObjects = ::testing::AddGlobalTestEnvironment(new FreshObjectFolder);
class FreshObjectFolder : public ::testing::Environment {
 public:
  void SetUp() override {
    folder_ = std::make_unique<TempFolder>();
    os::SetEnv(u"VELMORA_OBJECT_DIR", folder_->path());
  }
  void TearDown() override {
    os::SetEnv(u"VELMORA_OBJECT_DIR", u"");
    folder_.reset();
  }

 private:
  std::unique_ptr<TempFolder> folder_;
};

inline constexpr std::uint32_t kChildWaitMs = 20'000;

// "Local\" + a name unique to this process.
inline std::string UniqueLocalName(const std::string& prefix) {
  return "Local\\" + UniqueName(prefix);
}

// For children: sets the parent's ready event `name`.
inline bool SetReady(const std::string& name) {
  auto ready = os::NamedEvent::Open(os::Utf8ToUtf16(name));
  return ready.ok() && ready.object.Set() == os::kErrorSuccess;
}

// For children that must die holding something: blocks the calling thread for good.
[[noreturn]] inline void Park() {
  auto never = os::NamedEvent::Create(u"", true, false, os::ObjectSecurity::kDefault);
  for (;;) never.object.Wait(os::kInfiniteWait);
}

// For children: a steady clock (nanoseconds) that, once armed, sets the parent's ready event
// named `event` at its next reading: given to the clock seam of a wait, it tells the parent that
// the wait has begun.
struct AnnouncingClock {
  static inline std::string event;
  static inline std::atomic<bool> armed{false};
  static std::int64_t Read() {
    static std::atomic<bool> announced{false};
    if (armed.load() && !announced.exchange(true)) SetReady(event);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

// Waits until `child` has exited or `event` is set, whichever comes first; false when neither
// happened in kChildWaitMs. For the moment after which a process that does not wait is gone.
inline bool AwaitExitOrEvent(os::ChildProcess& child, const os::NamedEvent& event) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kChildWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (event.Wait(10).signaled() || child.Wait(0)) return true;
  }
  return false;
}

// A child started with the name of a fresh ready event as its first argument, and whether it
// set the event in time.
struct StartedChild {
  os::ChildProcess process;
  bool ready = false;
};

inline StartedChild StartAndAwaitReady(const std::string& mode,
                                       std::vector<std::string> arguments) {
  const std::string ready_name = UniqueLocalName("ready");
  auto ready = os::NamedEvent::Create(os::Utf8ToUtf16(ready_name), false, false,
                                      os::ObjectSecurity::kOpenToAll);
  arguments.insert(arguments.begin(), ready_name);
  StartedChild started;
  auto child = SpawnChild(mode, arguments);
  if (!ready.ok() || !child) return started;
  started.process = std::move(*child);
  started.ready = ready.object.Wait(kChildWaitMs).signaled();
  return started;
}

}  // namespace test_support
