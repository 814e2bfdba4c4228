#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "os/error.h"

namespace os {

// The two predefined keys the product uses.
enum class RegistryRoot { kLocalMachine, kCurrentUser };

// Value types, as the registry numbers them.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// Access rights of a key handle, as the registry numbers them.
inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kKeyWow64_64Key = 0x0100;
inline constexpr std::uint32_t kKeyDelete = 0x10000;
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyWrite = 0x20006;
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;

// An open registry key: the real registry (64-bit view) on Windows; on Linux a key of one of the
// two hive files, HKEY_CURRENT_USER in $XDG_CONFIG_HOME/velmora/user.reg, HKEY_LOCAL_MACHINE in
// /var/lib/velmora/system.reg, both in $VELMORA_REGISTRY_DIR when that is set. Key and value names
// are case-insensitive; value data are raw bytes with their type. Every call answers with a
// Windows error code.
//
// On Linux every operation rereads the hive, and every change locks it, rereads it, writes a new
// file and renames it over the old one, so concurrent writers lose nothing and a reader never sees
// a torn file. A hive that cannot be parsed reads as empty; the next change renames it aside
// (user.reg.unparsable-...) before writing. Changing HKEY_LOCAL_MACHINE needs write permission on
// its file (root), else 5, as for a standard user on Windows.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey();
  RegistryKey(RegistryKey&& other) noexcept;
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // RegOpenKeyExW: opens an existing key (2 when it is missing).
  static ErrorCode Open(RegistryRoot root, std::u16string_view path, std::uint32_t access,
                        RegistryKey& key);
  // RegCreateKeyExW (non-volatile, default security): opens the key, creating it and every
  // missing parent.
  static ErrorCode Create(RegistryRoot root, std::u16string_view path, std::uint32_t access,
                          RegistryKey& key);

  bool IsOpen() const;
  void Close();

  // RegQueryValueExW: the value's type and byte size; with `data` also its bytes, when `*size`
  // holds them (else 234 and the needed size in `*size`). `type`, `data` may be null.
  ErrorCode QueryValue(std::u16string_view name, std::uint32_t* type, std::uint8_t* data,
                       std::uint32_t* size) const;
  // RegSetValueExW: the bytes are stored as given, whatever the type. (Windows also stores a NUL
  // that directly follows string data in memory; pass strings with their NUL.)
  ErrorCode SetValue(std::u16string_view name, std::uint32_t type,
                     std::span<const std::uint8_t> data);
  // RegDeleteValueW: 2 when the value is missing.
  ErrorCode DeleteValue(std::u16string_view name);
  // RegEnumKeyExW: the name of the sub-key at `index` (259 past the last one).
  ErrorCode EnumSubKey(std::uint32_t index, std::u16string& name) const;

 private:
  // Windows keeps the HKEY in native_; Linux names the key by root and path and looks it up in
  // the hive on every call.
  [[maybe_unused]] std::intptr_t native_ = 0;
  RegistryRoot root_ = RegistryRoot::kCurrentUser;
  std::u16string path_;
  std::uint32_t access_ = 0;
  bool open_ = false;
};

// RegDeleteKeyW: deletes a key without sub-keys (5 while it has some, 2 when it is missing).
ErrorCode DeleteRegistryKey(RegistryRoot root, std::u16string_view path);

}  // namespace os
