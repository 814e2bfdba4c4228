#include <windows.h>

#include <map>

#include "os/child_process.h"
#include "os/command_line.h"

namespace os {
namespace {

HANDLE AsHandle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Case-insensitive names, as the Windows environment has them.
struct NameLess {
  bool operator()(const std::u16string& a, const std::u16string& b) const {
    return ::CompareStringOrdinal(Wide(a), static_cast<int>(a.size()), Wide(b),
                                  static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
  }
};

std::u16string EnvironmentBlock(const ChildProcess::Environment& overrides) {
  std::map<std::u16string, std::u16string, NameLess> env;
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* entry = block; entry != nullptr && *entry != 0;) {
    const std::u16string text(reinterpret_cast<const char16_t*>(entry));
    entry += text.size() + 1;
    // Entries such as "=C:=C:\dir" begin with '=': the name runs to the second '='.
    const auto eq = text.find(u'=', 1);
    if (eq != std::u16string::npos) env[text.substr(0, eq)] = text.substr(eq + 1);
  }
  ::FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : overrides) {
    if (value.empty()) {
      env.erase(name);
    } else {
      env[name] = value;
    }
  }
  std::u16string result;
  for (const auto& [name, value] : env) {
    result += name + u"=" + value;
    result.push_back(u'\0');
  }
  result.push_back(u'\0');
  return result;
}

}  // namespace

ChildProcess::~ChildProcess() {
  if (native_ != -1) {
    if (!exit_code_) Kill();
    ::CloseHandle(AsHandle(native_));
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
  std::vector<std::u16string> all{program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::u16string command_line = JoinWindowsCommandLine(all);
  std::u16string environment = EnvironmentBlock(overrides);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(Wide(program), reinterpret_cast<wchar_t*>(command_line.data()), nullptr,
                        nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr,
                        &startup, &info)) {
    return std::nullopt;
  }
  ::CloseHandle(info.hThread);
  ChildProcess child;
  child.native_ = reinterpret_cast<std::intptr_t>(info.hProcess);
  child.id_ = info.dwProcessId;
  return child;
}

std::optional<std::uint32_t> ChildProcess::Wait(std::uint32_t timeout_ms) {
  if (exit_code_ || native_ == -1) return exit_code_;
  if (::WaitForSingleObject(AsHandle(native_), timeout_ms) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!::GetExitCodeProcess(AsHandle(native_), &code)) return std::nullopt;
  exit_code_ = code;
  return exit_code_;
}

bool ChildProcess::Kill() {
  if (native_ == -1 || exit_code_) return false;
  ::TerminateProcess(AsHandle(native_), 0x109);
  return Wait(kInfinite).has_value();
}

bool SetEnv(const std::u16string& name, const std::u16string& value) {
  return ::SetEnvironmentVariableW(Wide(name), value.empty() ? nullptr : Wide(value)) != FALSE;
}

std::optional<std::u16string> GetEnv(const std::u16string& name) {
  const DWORD needed = ::GetEnvironmentVariableW(Wide(name), nullptr, 0);
  if (needed == 0) return std::nullopt;
  std::u16string value(needed, u'\0');
  const DWORD length =
      ::GetEnvironmentVariableW(Wide(name), reinterpret_cast<wchar_t*>(value.data()), needed);
  value.resize(length);
  return value;
}

}  // namespace os
