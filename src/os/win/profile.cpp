#include <windows.h>
// clang-format off
#include <shlobj.h>
// clang-format on

#include <vector>

#include "os/profile.h"

namespace os {
namespace {

HANDLE AsHandle(std::intptr_t native) {
  return reinterpret_cast<HANDLE>(native);
}

}  // namespace

std::optional<std::string> NarrowAppDataFolder() {
  char folder[MAX_PATH] = {};
  if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                                SHGFP_TYPE_CURRENT, folder))) {
    return std::nullopt;
  }
  return std::string(folder);
}

std::string NarrowPathJoin(std::string_view base, std::string_view element) {
  std::string joined(base);
  if (!joined.empty() && joined.back() != '\\' && joined.back() != '/') joined.push_back('\\');
  joined.append(element);
  return joined;
}

ErrorCode CreateNarrowDirectory(const std::string& path) {
  return ::CreateDirectoryA(path.c_str(), nullptr) ? kErrorSuccess : ::GetLastError();
}

std::optional<SharedFile> SharedFile::Open(const std::string& path, Disposition disposition,
                                           ErrorCode* error) {
  HANDLE file = ::CreateFileA(
      path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      disposition == Disposition::kOpenExisting ? OPEN_EXISTING : CREATE_ALWAYS,
      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (error != nullptr) *error = ::GetLastError();
    return std::nullopt;
  }
  SharedFile opened;
  opened.native_ = reinterpret_cast<std::intptr_t>(file);
  return opened;
}

bool SharedFile::TruncateAtStart() {
  if (native_ == -1) return false;
  LARGE_INTEGER zero{};
  return ::SetFilePointerEx(AsHandle(native_), zero, nullptr, FILE_BEGIN) &&
         ::SetEndOfFile(AsHandle(native_));
}

std::optional<std::uint64_t> SharedFile::Size() const {
  LARGE_INTEGER size{};
  if (native_ == -1 || !::GetFileSizeEx(AsHandle(native_), &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

bool SharedFile::Write(std::string_view bytes) {
  if (native_ == -1) return false;
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!::WriteFile(AsHandle(native_), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) ||
        written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

void SharedFile::Close() {
  if (native_ != -1) ::CloseHandle(AsHandle(native_));
  native_ = -1;
}

std::string ReadProfileString(const std::string& path, const char* section, const char* key,
                              std::size_t capacity) {
  std::vector<char> buffer(capacity + 1, '\0');
  const DWORD length = ::GetPrivateProfileStringA(section, key, "", buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), path.c_str());
  return std::string(buffer.data(), length);
}

std::int32_t ReadProfileInt(const std::string& path, const char* section, const char* key,
                            std::int32_t fallback) {
  return static_cast<std::int32_t>(::GetPrivateProfileIntA(section, key, fallback, path.c_str()));
}

}  // namespace os
