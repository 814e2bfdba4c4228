#include "base/registry.h"

#include <cstring>

#include "os/process.h"

namespace {

constexpr std::uint32_t kReadAccess = os::kKeyRead | os::kKeyWow64_64Key;      // 0x20119
constexpr std::uint32_t kCreateAccess = os::kKeyRead | os::kKeyWrite;          // 0x2001F
constexpr std::uint32_t kAllAccess = os::kKeyAllAccess | os::kKeyWow64_64Key;  // 0xF013F

std::u16string_view UpToNul(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

bool IsStringType(std::uint32_t type) {
  return type == os::kRegSz || type == os::kRegExpandSz;
}

// Opens the key for writing, creating it when missing; a creation that fails is followed by one
// more open, since another process may have created the key meanwhile.
bool OpenForWrite(RegistryRoot root, std::u16string_view sub_key, os::RegistryKey& key) {
  if (os::RegistryKey::Open(root, sub_key, os::kKeyWrite, key) == os::kErrorSuccess) return true;
  if (os::RegistryKey::Create(root, sub_key, kCreateAccess, key) == os::kErrorSuccess) return true;
  return os::RegistryKey::Open(root, sub_key, os::kKeyWrite, key) == os::kErrorSuccess;
}

}  // namespace

std::u16string RegistryReadString(RegistryRoot root, std::u16string_view sub_key,
                                  std::u16string_view value_name,
                                  std::u16string_view default_value) {
  const std::u16string fallback(UpToNul(default_value));
  os::RegistryKey key;
  if (os::RegistryKey::Open(root, sub_key, kReadAccess, key) != os::kErrorSuccess) return fallback;

  std::uint32_t type = 0;
  std::uint32_t size = 0;
  if (key.QueryValue(value_name, &type, nullptr, &size) != os::kErrorSuccess ||
      !IsStringType(type) || size < sizeof(char16_t)) {
    return fallback;
  }
  // The value may change between the two queries: the second one is checked again in full.
  std::u16string units(size / sizeof(char16_t), u'\0');
  std::uint32_t byte_size = static_cast<std::uint32_t>(units.size() * sizeof(char16_t));
  if (key.QueryValue(value_name, &type, reinterpret_cast<std::uint8_t*>(units.data()),
                     &byte_size) != os::kErrorSuccess ||
      !IsStringType(type) || byte_size % sizeof(char16_t) != 0) {
    return fallback;
  }
  if (byte_size == 0) return std::u16string();
  const std::size_t count = byte_size / sizeof(char16_t);
  if (units[count - 1] != u'\0') return fallback;
  units.resize(count);
  return std::u16string(UpToNul(units));
}

std::uint64_t RegistryReadQword(RegistryRoot root, std::u16string_view sub_key,
                                std::u16string_view value_name) {
  os::RegistryKey key;
  if (os::RegistryKey::Open(root, sub_key, kReadAccess, key) != os::kErrorSuccess) return 0;
  std::uint8_t bytes[8] = {};
  std::uint32_t type = 0;
  std::uint32_t size = sizeof bytes;
  if (key.QueryValue(value_name, &type, bytes, &size) != os::kErrorSuccess ||
      type != os::kRegQword) {
    return 0;
  }
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

bool RegistryWriteString(RegistryRoot root, std::u16string_view sub_key,
                         std::u16string_view value_name, std::u16string_view data) {
  os::RegistryKey key;
  if (!OpenForWrite(root, sub_key, key)) return false;
  value_name = UpToNul(value_name);
  const std::u16string_view text = UpToNul(data);
  if (value_name.empty() && text.empty()) return true;
  if (data.data() == nullptr) return false;
  std::vector<std::uint8_t> bytes((text.size() + 1) * sizeof(char16_t), 0);
  for (std::size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
  }
  return key.SetValue(value_name, os::kRegSz, bytes) == os::kErrorSuccess;
}

bool RegistryWriteQword(RegistryRoot root, std::u16string_view sub_key,
                        std::u16string_view value_name, std::uint64_t value) {
  os::RegistryKey key;
  if (!OpenForWrite(root, sub_key, key)) return false;
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return key.SetValue(value_name, os::kRegQword, bytes) == os::kErrorSuccess;
}

bool RegistryDeleteValues(std::u16string_view sub_key, const std::vector<std::u16string>& names) {
  os::RegistryKey key;
  const os::ErrorCode opened = os::RegistryKey::Open(kHkeyCurrentUser, sub_key, kAllAccess, key);
  if (opened != os::kErrorSuccess) return opened == os::kErrorFileNotFound;
  bool result = true;
  for (const auto& name : names) {
    const os::ErrorCode error = key.DeleteValue(name);
    if (error != os::kErrorSuccess && error != os::kErrorFileNotFound) result = false;
  }
  return result;
}

bool RegistryDeleteKeyTree(std::u16string_view sub_key) {
  if (os::DeleteRegistryKey(kHkeyLocalMachine, sub_key) == os::kErrorSuccess) return true;
  {
    os::RegistryKey key;
    const os::ErrorCode opened =
        os::RegistryKey::Open(kHkeyLocalMachine, sub_key, kReadAccess, key);
    if (opened != os::kErrorSuccess) return opened == os::kErrorFileNotFound;
    std::u16string prefix(sub_key);
    if (prefix.empty() || prefix.back() != u'\\') prefix.push_back(u'\\');
    // Always index 0: each pass deletes the first sub-key, so the next one moves up.
    std::u16string name;
    while (key.EnumSubKey(0, name) == os::kErrorSuccess) {
      if (!RegistryDeleteKeyTree(prefix + name)) break;
    }
  }
  return os::DeleteRegistryKey(kHkeyLocalMachine, sub_key) == os::kErrorSuccess;
}

os::SecurityAttributes* NullDaclSecurityAttributes() {
  return os::OpenToAllSecurityAttributes();
}

bool SetProcessPrivilege(bool enable, std::u16string_view privilege_name) {
  return os::AdjustOwnPrivilege(UpToNul(privilege_name), enable);
}

ScopedProcessPrivilege::ScopedProcessPrivilege(std::u16string_view privilege_name)
    : name_(privilege_name), enabled_(SetProcessPrivilege(true, name_)) {}

ScopedProcessPrivilege::~ScopedProcessPrivilege() {
  if (enabled_) SetProcessPrivilege(false, name_);
}
