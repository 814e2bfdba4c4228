#include <windows.h>

#include "os/registry.h"

namespace os {
namespace {

HKEY RootKey(RegistryRoot root) {
  return root == RegistryRoot::kLocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

HKEY AsKey(std::intptr_t native) {
  return reinterpret_cast<HKEY>(native);
}

// The registry takes C strings: a copy carries the terminating NUL.
std::u16string Terminated(std::u16string_view text) {
  return std::u16string(text);
}

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace

RegistryKey::~RegistryKey() {
  Close();
}

RegistryKey::RegistryKey(RegistryKey&& other) noexcept : native_(other.native_) {
  other.native_ = 0;
}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = other.native_;
    other.native_ = 0;
  }
  return *this;
}

bool RegistryKey::IsOpen() const {
  return native_ != 0;
}

void RegistryKey::Close() {
  if (native_ != 0) {
    ::RegCloseKey(AsKey(native_));
    native_ = 0;
  }
}

ErrorCode RegistryKey::Open(RegistryRoot root, std::u16string_view path, std::uint32_t access,
                            RegistryKey& key) {
  key.Close();
  HKEY opened = nullptr;
  const LSTATUS status = ::RegOpenKeyExW(RootKey(root), Wide(Terminated(path)), 0, access, &opened);
  if (status != ERROR_SUCCESS) return static_cast<ErrorCode>(status);
  key.native_ = reinterpret_cast<std::intptr_t>(opened);
  return kErrorSuccess;
}

ErrorCode RegistryKey::Create(RegistryRoot root, std::u16string_view path, std::uint32_t access,
                              RegistryKey& key) {
  key.Close();
  HKEY created = nullptr;
  const LSTATUS status =
      ::RegCreateKeyExW(RootKey(root), Wide(Terminated(path)), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        access, nullptr, &created, nullptr);
  if (status != ERROR_SUCCESS) return static_cast<ErrorCode>(status);
  key.native_ = reinterpret_cast<std::intptr_t>(created);
  return kErrorSuccess;
}

ErrorCode RegistryKey::QueryValue(std::u16string_view name, std::uint32_t* type, std::uint8_t* data,
                                  std::uint32_t* size) const {
  if (native_ == 0) return kErrorInvalidHandle;
  DWORD value_type = 0;
  DWORD byte_size = size != nullptr ? *size : 0;
  const LSTATUS status =
      ::RegQueryValueExW(AsKey(native_), Wide(Terminated(name)), nullptr, &value_type, data,
                         size != nullptr ? &byte_size : nullptr);
  if (type != nullptr) *type = value_type;
  if (size != nullptr) *size = byte_size;
  return static_cast<ErrorCode>(status);
}

ErrorCode RegistryKey::SetValue(std::u16string_view name, std::uint32_t type,
                                std::span<const std::uint8_t> data) {
  if (native_ == 0) return kErrorInvalidHandle;
  return static_cast<ErrorCode>(::RegSetValueExW(AsKey(native_), Wide(Terminated(name)), 0, type,
                                                 data.data(), static_cast<DWORD>(data.size())));
}

ErrorCode RegistryKey::DeleteValue(std::u16string_view name) {
  if (native_ == 0) return kErrorInvalidHandle;
  return static_cast<ErrorCode>(::RegDeleteValueW(AsKey(native_), Wide(Terminated(name))));
}

ErrorCode RegistryKey::EnumSubKey(std::uint32_t index, std::u16string& name) const {
  if (native_ == 0) return kErrorInvalidHandle;
  wchar_t buffer[260] = {};
  DWORD length = 260;
  const LSTATUS status =
      ::RegEnumKeyExW(AsKey(native_), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) name.assign(reinterpret_cast<const char16_t*>(buffer), length);
  return static_cast<ErrorCode>(status);
}

ErrorCode DeleteRegistryKey(RegistryRoot root, std::u16string_view path) {
  return static_cast<ErrorCode>(::RegDeleteKeyW(RootKey(root), Wide(Terminated(path))));
}

}  // namespace os
