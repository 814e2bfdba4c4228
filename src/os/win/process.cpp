#include <windows.h>

#include <shellapi.h>
#include <tlhelp32.h>

#include "os/process.h"

namespace os {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

std::u16string Terminated(std::u16string_view text) {
  return std::u16string(text);
}

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

template <typename T>
bool QueryOwnToken(TOKEN_INFORMATION_CLASS kind, T& out) {
  Handle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
  DWORD size = 0;
  return ::GetTokenInformation(token.get(), kind, &out, sizeof out, &size) != FALSE;
}

}  // namespace

std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> processes;
  const Handle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return processes;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    processes.push_back({entry.th32ProcessID, reinterpret_cast<const char16_t*>(entry.szExeFile)});
  }
  return processes;
}

ErrorCode ProcessAccount(std::uint32_t process_id, std::u16string& user, std::u16string& domain) {
  const Handle process(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, process_id));
  if (!process.valid()) return ::GetLastError();
  Handle token;
  if (!::OpenProcessToken(process.get(), TOKEN_QUERY, token.out())) return ::GetLastError();
  alignas(TOKEN_USER) BYTE buffer[256] = {};
  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof buffer, &size)) {
    return ::GetLastError();
  }
  wchar_t name[256] = {};
  wchar_t domain_name[256] = {};
  DWORD name_length = 256, domain_length = 256;
  SID_NAME_USE use{};
  if (!::LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, name,
                           &name_length, domain_name, &domain_length, &use)) {
    return ::GetLastError();
  }
  user = reinterpret_cast<const char16_t*>(name);
  domain = reinterpret_cast<const char16_t*>(domain_name);
  return kErrorSuccess;
}

bool AdjustOwnPrivilege(std::u16string_view name, bool enable) {
  Handle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.out())) {
    return false;
  }
  TOKEN_PRIVILEGES privileges{};
  if (!::LookupPrivilegeValueW(nullptr, Wide(Terminated(name)), &privileges.Privileges[0].Luid)) {
    return false;
  }
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  return ::AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
}

std::optional<bool> OwnPrivilegeEnabled(std::u16string_view name) {
  LUID luid{};
  if (!::LookupPrivilegeValueW(nullptr, Wide(Terminated(name)), &luid)) return std::nullopt;
  Handle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.out())) return std::nullopt;
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
  if (size == 0) return std::nullopt;
  std::vector<BYTE> buffer(size);
  if (!::GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) {
    return std::nullopt;
  }
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID& held = privileges->Privileges[i].Luid;
    if (held.LowPart == luid.LowPart && held.HighPart == luid.HighPart) {
      return (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
  }
  return false;
}

bool IsOwnProcessElevated() {
  TOKEN_ELEVATION elevation{};
  return QueryOwnToken(TokenElevation, elevation) && elevation.TokenIsElevated != 0;
}

ElevationType OwnElevationType() {
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  if (!QueryOwnToken(TokenElevationType, type)) return ElevationType::kDefault;
  return static_cast<ElevationType>(type);
}

std::optional<std::uint64_t> OwnProcessCreationTime() {
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (!::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user)) {
    return std::nullopt;
  }
  return (static_cast<std::uint64_t>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

ErrorCode ShellOpen(std::u16string_view file, std::u16string_view parameters,
                    std::u16string_view directory) {
  if (file.empty()) return kErrorFileNotFound;
  const std::u16string file_text(file), parameter_text(parameters), directory_text(directory);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = Wide(file_text);
  info.lpParameters = Wide(parameter_text);
  info.lpDirectory = Wide(directory_text);
  info.nShow = SW_SHOWNORMAL;
  if (!::ShellExecuteExW(&info)) return ::GetLastError();
  return kErrorSuccess;
}

std::optional<bool> LinkedTokenIsAdministrator() {
  Handle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.out())) return std::nullopt;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof sid;
  if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sid_size)) {
    return std::nullopt;
  }
  TOKEN_LINKED_TOKEN linked{};
  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof linked, &size)) {
    return std::nullopt;
  }
  const Handle linked_token(linked.LinkedToken);
  BOOL member = FALSE;
  if (!::CheckTokenMembership(linked_token.get(), sid, &member)) return std::nullopt;
  return member != FALSE;
}

std::optional<bool> ShellUserIsAdmin() {
  HMODULE shell = ::LoadLibraryW(L"shell32.dll");
  if (shell == nullptr) return std::nullopt;
  using AdminTest = BOOL(WINAPI*)();
  // Exported by ordinal only on some systems; the ordinal is the stable way to reach it.
  const auto test = reinterpret_cast<AdminTest>(
      reinterpret_cast<void*>(::GetProcAddress(shell, MAKEINTRESOURCEA(680))));
  std::optional<bool> answer;
  if (test != nullptr) answer = test() != FALSE;
  ::FreeLibrary(shell);
  return answer;
}

}  // namespace os
