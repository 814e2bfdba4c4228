#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/error.h"

namespace os {

struct ProcessEntry {
  std::uint32_t id = 0;
  std::u16string exe_name;  // file name only, no folder
};

// The running processes (Toolhelp snapshot). On Linux from /proc in process id order: the file
// name of /proc/PID/exe, else of the process's argv[0]. Empty when no snapshot can be taken.
std::vector<ProcessEntry> SnapshotProcesses();

// The account a process runs as: user and domain of its token's user. On Linux the user name of
// its effective uid, and the host name as domain.
ErrorCode ProcessAccount(std::uint32_t process_id, std::u16string& user, std::u16string& domain);

// Switches a privilege of this process's token on or off (AdjustTokenPrivileges); false when the
// token cannot be opened, the name is unknown or the call fails. Linux has no token privileges:
// known names succeed with nothing to switch.
bool AdjustOwnPrivilege(std::u16string_view name, bool enable);
// Whether the privilege is on in this process's token; nothing on Linux or when unknown.
std::optional<bool> OwnPrivilegeEnabled(std::u16string_view name);

// Elevation of this process's token. On Linux: elevated is effective uid 0; the type is full for
// uid 0, limited for a member of the group sudo, wheel or admin, default otherwise.
enum class ElevationType : std::uint32_t { kDefault = 1, kFull = 2, kLimited = 3 };
bool IsOwnProcessElevated();
ElevationType OwnElevationType();

// This process's creation time as a FILETIME: 100 ns units since 1601-01-01 UTC.
std::optional<std::uint64_t> OwnProcessCreationTime();

// Starts `file` with the shell's "open" verb, without error dialogs, and does not wait for it.
// On Linux: posix_spawn without a shell (PATH searched for a bare name), argv = the file followed
// by `parameters` split by the Windows command-line rules, in `directory` when given, in a session
// of its own so that it outlives this process; never waited for (it stays a zombie until this
// process ends). Returns a Windows error code (ENOENT 2, EACCES/EPERM 5, ENOEXEC 193).
ErrorCode ShellOpen(std::u16string_view file, std::u16string_view parameters,
                    std::u16string_view directory);

// Whether the linked (unfiltered) token of this process's filtered token belongs to the built-in
// Administrators group; nothing when there is no linked token or the test fails. On Linux: member
// of the group sudo, wheel or admin.
std::optional<bool> LinkedTokenIsAdministrator();

// The shell's own administrator test (SHELL32 ordinal 680); nothing when it cannot be asked. On
// Linux: effective uid 0 or a member of the group sudo, wheel or admin.
std::optional<bool> ShellUserIsAdmin();

}  // namespace os
