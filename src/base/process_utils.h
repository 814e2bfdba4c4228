#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/error.h"

using HResult = std::int32_t;
inline constexpr HResult kSOk = 0;
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005);

// Ids of every running process whose executable name is exactly "vmwp.exe" (case-sensitive), in
// snapshot order.
std::vector<std::uint32_t> FindHyperVWorkerProcesses();

// The account a process runs as. kSOk with both strings set, or kEFail with both untouched.
// "SeDebugPrivilege" is switched on for the query (so other accounts' processes can be opened)
// and off again afterwards when switching it on succeeded.
HResult GetProcessOwner(std::uint32_t process_id, std::u16string& user, std::u16string& domain);

// The id of the first running process whose executable name equals `name` without regard to
// (ASCII) case, or 0.
std::uint32_t FindProcessIdByName(std::u16string_view name);

// Starts `file` with the shell's "open" verb and returns at once: 0, or the Windows error (2 for
// an empty or missing file, 5 access denied, ...). The started program is never waited for.
os::ErrorCode ShellExecuteOpen(std::u16string_view file, std::u16string_view parameters,
                               std::u16string_view directory);

// Whether this process runs elevated, and its token's elevation type (1 default, 2 full,
// 3 limited, i.e. an administrator's filtered token).
bool IsProcessElevated();
std::uint32_t ProcessElevationType();
