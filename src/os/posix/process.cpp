#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/command_line.h"
#include "os/process.h"
#include "os/text.h"

extern char** environ;

namespace os {
namespace {

constexpr ErrorCode kErrorNoneMapped = 1332;
constexpr std::uint64_t kTicks1601To1970 = 116'444'736'000'000'000;

std::string ReadSmallFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string FileNameOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The executable's file name: /proc/PID/exe, else argv[0] (other users' processes, for which the
// link cannot be read without privileges).
std::string ExecutableName(const std::string& pid) {
  std::string target(4096, '\0');
  const ssize_t length =
      ::readlink(("/proc/" + pid + "/exe").c_str(), target.data(), target.size());
  if (length > 0) {
    target.resize(static_cast<std::size_t>(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (target.size() > kDeleted.size() && target.ends_with(kDeleted)) {
      target.resize(target.size() - kDeleted.size());
    }
    return FileNameOf(target);
  }
  const std::string command_line = ReadSmallFile("/proc/" + pid + "/cmdline");
  return FileNameOf(std::string_view(command_line.c_str()));
}

bool InGroup(const char* name) {
  group entry{};
  group* found = nullptr;
  std::array<char, 8192> buffer{};
  if (::getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  if (found->gr_gid == ::getegid()) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = ::getgroups(count, groups.data());
  return got > 0 &&
         std::find(groups.begin(), groups.begin() + got, found->gr_gid) != groups.begin() + got;
}

}  // namespace

std::vector<ProcessEntry> SnapshotProcesses() {
  std::vector<ProcessEntry> processes;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return processes;
  while (const dirent* entry = ::readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.empty() ||
        !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    // A process that ended meanwhile, or a kernel thread, has no name and is left out.
    const std::string name = ExecutableName(pid);
    if (name.empty()) continue;
    processes.push_back(
        {static_cast<std::uint32_t>(std::strtoul(pid.c_str(), nullptr, 10)), Utf8ToUtf16(name)});
  }
  ::closedir(proc);
  std::sort(processes.begin(), processes.end(),
            [](const ProcessEntry& a, const ProcessEntry& b) { return a.id < b.id; });
  return processes;
}

ErrorCode ProcessAccount(std::uint32_t process_id, std::u16string& user, std::u16string& domain) {
  std::istringstream status(ReadSmallFile("/proc/" + std::to_string(process_id) + "/status"));
  std::string line;
  std::optional<uid_t> effective;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) != 0) continue;
    std::istringstream fields(line.substr(4));
    unsigned long real = 0, effective_uid = 0;
    if (fields >> real >> effective_uid) effective = static_cast<uid_t>(effective_uid);
    break;
  }
  // Process id 0 names no process here, as on Windows.
  if (process_id == 0 || !effective) return kErrorInvalidParameter;
  passwd entry{};
  passwd* found = nullptr;
  std::array<char, 8192> buffer{};
  if (::getpwuid_r(*effective, &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr) {
    return kErrorNoneMapped;
  }
  std::array<char, 256> host{};
  if (::gethostname(host.data(), host.size() - 1) != 0) return ErrorFromErrno(errno);
  user = Utf8ToUtf16(found->pw_name);
  domain = Utf8ToUtf16(host.data());
  return kErrorSuccess;
}

bool AdjustOwnPrivilege(std::u16string_view name, bool /*enable*/) {
  // The names LookupPrivilegeValueW knows that the product family uses; there is nothing to switch.
  static constexpr std::u16string_view kKnown[] = {
      u"SeDebugPrivilege",         u"SeShutdownPrivilege",      u"SeBackupPrivilege",
      u"SeRestorePrivilege",       u"SeTakeOwnershipPrivilege", u"SeSecurityPrivilege",
      u"SeIncreaseQuotaPrivilege", u"SeChangeNotifyPrivilege",  u"SeTcbPrivilege",
      u"SeLoadDriverPrivilege",    u"SeSystemtimePrivilege",    u"SeImpersonatePrivilege"};
  return std::find(std::begin(kKnown), std::end(kKnown), name) != std::end(kKnown);
}

std::optional<bool> OwnPrivilegeEnabled(std::u16string_view /*name*/) {
  return std::nullopt;
}

bool IsOwnProcessElevated() {
  return ::geteuid() == 0;
}

ElevationType OwnElevationType() {
  if (::geteuid() == 0) return ElevationType::kFull;
  for (const char* name : {"sudo", "wheel", "admin"}) {
    if (InGroup(name)) return ElevationType::kLimited;
  }
  return ElevationType::kDefault;
}

std::optional<std::uint64_t> OwnProcessCreationTime() {
  const std::string stat = ReadSmallFile("/proc/self/stat");
  // The command name in parentheses may hold blanks and parentheses: fields follow the last ')'.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // After the name come the state (field 3) and so on; the start time is field 22.
  for (int i = 3; i < 22; ++i) fields >> field;
  unsigned long long start_ticks = 0;
  if (!(fields >> start_ticks)) return std::nullopt;
  const long ticks_per_second = ::sysconf(_SC_CLK_TCK);
  if (ticks_per_second <= 0) return std::nullopt;
  timespec real{}, boot{};
  ::clock_gettime(CLOCK_REALTIME, &real);
  ::clock_gettime(CLOCK_BOOTTIME, &boot);
  // The boot moment on the wall clock, in 100 ns units since 1970.
  const std::int64_t boot_at = (static_cast<std::int64_t>(real.tv_sec) - boot.tv_sec) * 10'000'000 +
                               (static_cast<std::int64_t>(real.tv_nsec) - boot.tv_nsec) / 100;
  const std::int64_t started =
      boot_at + static_cast<std::int64_t>(start_ticks) * 10'000'000 / ticks_per_second;
  return static_cast<std::uint64_t>(started) + kTicks1601To1970;
}

ErrorCode ShellOpen(std::u16string_view file, std::u16string_view parameters,
                    std::u16string_view directory) {
  if (file.empty()) return kErrorFileNotFound;
  std::vector<std::string> argv_text{Utf16ToUtf8(file)};
  // The parameters are split as a program's C runtime would split them after the program name.
  auto arguments = SplitWindowsCommandLine(u"x " + std::u16string(parameters));
  for (std::size_t i = 1; i < arguments.size(); ++i) argv_text.push_back(Utf16ToUtf8(arguments[i]));
  std::vector<char*> argv;
  for (auto& text : argv_text) argv.push_back(text.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attributes);
  const std::string folder = Utf16ToUtf8(directory);
  if (!folder.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  // A session of its own, so the program outlives us; signals we ignore are not passed on.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  for (const int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD})
    sigaddset(&defaults, signal);
  sigemptyset(&empty);
  ::posix_spawnattr_setsigdefault(&attributes, &defaults);
  ::posix_spawnattr_setsigmask(&attributes, &empty);
  ::posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  const int result =
      ::posix_spawnp(&pid, argv_text[0].c_str(), &actions, &attributes, argv.data(), environ);
  ::posix_spawnattr_destroy(&attributes);
  ::posix_spawn_file_actions_destroy(&actions);
  return ErrorFromErrno(result);
}

std::optional<bool> LinkedTokenIsAdministrator() {
  for (const char* name : {"sudo", "wheel", "admin"}) {
    if (InGroup(name)) return true;
  }
  return false;
}

std::optional<bool> ShellUserIsAdmin() {
  if (::geteuid() == 0) return true;
  return LinkedTokenIsAdministrator();
}

}  // namespace os
