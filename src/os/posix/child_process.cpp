#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "os/child_process.h"
#include "os/text.h"

extern char** environ;

namespace os {
namespace {

std::map<std::string, std::string> CurrentEnvironment() {
  std::map<std::string, std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const auto eq = text.find('=');
    if (eq != std::string::npos) env[text.substr(0, eq)] = text.substr(eq + 1);
  }
  return env;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (native_ >= 0) {
    // A child nobody waited for is reaped here so it never lingers as a zombie.
    if (!exit_code_) Kill();
    ::close(static_cast<int>(native_));
  }
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : native_(other.native_), id_(other.id_), exit_code_(other.exit_code_) {
  other.native_ = -1;
  other.id_ = 0;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    this->~ChildProcess();
    native_ = other.native_;
    id_ = other.id_;
    exit_code_ = other.exit_code_;
    other.native_ = -1;
    other.id_ = 0;
  }
  return *this;
}

std::optional<ChildProcess> ChildProcess::Spawn(const std::u16string& program,
                                                const std::vector<std::u16string>& arguments,
                                                const Environment& overrides) {
  std::vector<std::string> argv_text{Utf16ToUtf8(program)};
  for (const auto& argument : arguments) argv_text.push_back(Utf16ToUtf8(argument));
  std::vector<char*> argv;
  for (auto& text : argv_text) argv.push_back(text.data());
  argv.push_back(nullptr);

  auto env = CurrentEnvironment();
  for (const auto& [name, value] : overrides) {
    if (value.empty()) {
      env.erase(Utf16ToUtf8(name));
    } else {
      env[Utf16ToUtf8(name)] = Utf16ToUtf8(value);
    }
  }
  std::vector<std::string> env_text;
  for (const auto& [name, value] : env) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& text : env_text) envp.push_back(text.data());
  envp.push_back(nullptr);

  pid_t pid = 0;
  if (::posix_spawn(&pid, argv_text[0].c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return std::nullopt;
  }
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return std::nullopt;
  }
  ChildProcess child;
  child.native_ = pidfd;
  child.id_ = static_cast<std::uint32_t>(pid);
  return child;
}

std::optional<std::uint32_t> ChildProcess::Wait(std::uint32_t timeout_ms) {
  if (exit_code_ || native_ < 0) return exit_code_;
  pollfd ready{static_cast<int>(native_), POLLIN, 0};
  int polled;
  do {
    polled = ::poll(&ready, 1, timeout_ms == kInfinite ? -1 : static_cast<int>(timeout_ms & 0x7FFFFFFF));
  } while (polled < 0 && errno == EINTR);
  if (polled <= 0) return std::nullopt;
  int status = 0;
  if (::waitpid(static_cast<pid_t>(id_), &status, 0) < 0) return std::nullopt;
  if (WIFEXITED(status)) {
    exit_code_ = static_cast<std::uint32_t>(WEXITSTATUS(status));
  } else {
    // Killed by a signal: reported as TerminateProcess would, with an exit code of its own.
    exit_code_ = 0x100u + static_cast<std::uint32_t>(WTERMSIG(status));
  }
  return exit_code_;
}

bool ChildProcess::Kill() {
  if (native_ < 0 || exit_code_) return false;
  ::syscall(SYS_pidfd_send_signal, static_cast<int>(native_), SIGKILL, nullptr, 0);
  return Wait(kInfinite).has_value();
}

bool SetEnv(const std::u16string& name, const std::u16string& value) {
  if (value.empty()) return ::unsetenv(Utf16ToUtf8(name).c_str()) == 0;
  return ::setenv(Utf16ToUtf8(name).c_str(), Utf16ToUtf8(value).c_str(), 1) == 0;
}

std::optional<std::u16string> GetEnv(const std::u16string& name) {
  const char* value = std::getenv(Utf16ToUtf8(name).c_str());
  if (value == nullptr) return std::nullopt;
  return Utf8ToUtf16(value);
}

}  // namespace os
