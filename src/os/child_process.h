#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace os {

// A program started by this process and waited for: the test harness, the tools and the demo use
// it. (The product itself starts its peers with ShellExecuteOpen and never waits for them.)
class ChildProcess {
 public:
  using Environment = std::vector<std::pair<std::u16string, std::u16string>>;

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `arguments` (argv[1] onwards), this process's environment with
  // `overrides` applied (an empty value removes the variable), inheriting standard handles.
  static std::optional<ChildProcess> Spawn(const std::u16string& program,
                                           const std::vector<std::u16string>& arguments,
                                           const Environment& overrides = {});

  static constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

  std::uint32_t Id() const { return id_; }
  // The exit code, or nothing when the process has not ended within `timeout_ms` (kInfinite
  // waits as long as it takes).
  std::optional<std::uint32_t> Wait(std::uint32_t timeout_ms);
  // Ends the process at once (TerminateProcess / SIGKILL) and reaps it.
  bool Kill();

 private:
  std::intptr_t native_ = -1;  // process HANDLE on Windows, pidfd on Linux
  std::uint32_t id_ = 0;
  std::optional<std::uint32_t> exit_code_;
};

// Sets (or, with an empty value, removes) a variable of this process's environment.
bool SetEnv(const std::u16string& name, const std::u16string& value);
std::optional<std::u16string> GetEnv(const std::u16string& name);

}  // namespace os
