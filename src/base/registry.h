#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/registry.h"
#include "os/security.h"

// The launcher's settings and marks in the registry (64-bit view). No helper raises or logs:
// every failure becomes the documented result. Names and data end at their first NUL, as the
// registry's C-string interface sees them.
using RegistryRoot = os::RegistryRoot;
inline constexpr RegistryRoot kHkeyLocalMachine = RegistryRoot::kLocalMachine;
inline constexpr RegistryRoot kHkeyCurrentUser = RegistryRoot::kCurrentUser;

// The REG_SZ or REG_EXPAND_SZ text (not expanded) up to its first NUL, or `default_value` when
// the key or value is missing, of another type, or not whole NUL-terminated 16-bit text.
std::u16string RegistryReadString(RegistryRoot root, std::u16string_view sub_key,
                                  std::u16string_view value_name,
                                  std::u16string_view default_value);

// The REG_QWORD number, or 0 when the key or value is missing or of another type.
std::uint64_t RegistryReadQword(RegistryRoot root, std::u16string_view sub_key,
                                std::u16string_view value_name);

// Writes `data` as REG_SZ with its NUL, creating the key when missing. With an empty name and
// empty data it only makes sure the key exists. A view without a buffer is no data: false.
bool RegistryWriteString(RegistryRoot root, std::u16string_view sub_key,
                         std::u16string_view value_name, std::u16string_view data);

// Writes a REG_QWORD, creating the key when missing.
bool RegistryWriteQword(RegistryRoot root, std::u16string_view sub_key,
                        std::u16string_view value_name, std::uint64_t value);

// Deletes values of HKEY_CURRENT_USER\sub_key. A missing key or value counts as deleted; any
// other failure makes the result false without stopping the remaining deletions.
bool RegistryDeleteValues(std::u16string_view sub_key, const std::vector<std::u16string>& names);

// Deletes HKEY_LOCAL_MACHINE\sub_key with everything below it; true when it was missing.
bool RegistryDeleteKeyTree(std::u16string_view sub_key);

// The process-wide attributes that let every account open an object (a present, null DACL);
// null when building them failed.
os::SecurityAttributes* NullDaclSecurityAttributes();

// Switches a privilege of this process's token on or off; whether the adjustment call succeeded
// (also when the token does not hold the privilege). Linux has no privileges to switch.
bool SetProcessPrivilege(bool enable, std::u16string_view privilege_name);

// Switches a privilege on for a scope and, only if that succeeded, off again at its end.
class ScopedProcessPrivilege {
 public:
  explicit ScopedProcessPrivilege(std::u16string_view privilege_name);
  ~ScopedProcessPrivilege();
  ScopedProcessPrivilege(const ScopedProcessPrivilege&) = delete;
  ScopedProcessPrivilege& operator=(const ScopedProcessPrivilege&) = delete;
  bool enabled() const { return enabled_; }

 private:
  std::u16string name_;
  bool enabled_;
};
