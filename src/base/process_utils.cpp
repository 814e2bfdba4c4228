#include "base/process_utils.h"

#include <algorithm>

#include "base/registry.h"
#include "os/process.h"

namespace {

char16_t AsciiLower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return AsciiLower(x) == AsciiLower(y); });
}

}  // namespace

std::vector<std::uint32_t> FindHyperVWorkerProcesses() {
  std::vector<std::uint32_t> ids;
  for (const auto& process : os::SnapshotProcesses()) {
    if (process.exe_name == u"vmwp.exe") ids.push_back(process.id);
  }
  return ids;
}

HResult GetProcessOwner(std::uint32_t process_id, std::u16string& user, std::u16string& domain) {
  const ScopedProcessPrivilege debug(u"SeDebugPrivilege");
  std::u16string found_user, found_domain;
  if (os::ProcessAccount(process_id, found_user, found_domain) != os::kErrorSuccess) return kEFail;
  user = std::move(found_user);
  domain = std::move(found_domain);
  return kSOk;
}

std::uint32_t FindProcessIdByName(std::u16string_view name) {
  for (const auto& process : os::SnapshotProcesses()) {
    if (EqualsIgnoringCase(process.exe_name, name)) return process.id;
  }
  return 0;
}

os::ErrorCode ShellExecuteOpen(std::u16string_view file, std::u16string_view parameters,
                               std::u16string_view directory) {
  if (file.empty()) return os::kErrorFileNotFound;
  return os::ShellOpen(file, parameters, directory);
}

bool IsProcessElevated() {
  return os::IsOwnProcessElevated();
}

std::uint32_t ProcessElevationType() {
  return static_cast<std::uint32_t>(os::OwnElevationType());
}
