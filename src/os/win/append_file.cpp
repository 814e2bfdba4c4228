#include <windows.h>

#include "os/append_file.h"

namespace os {
namespace {

HANDLE AsHandle(std::intptr_t native) { return reinterpret_cast<HANDLE>(native); }

}  // namespace

AppendFile::~AppendFile() { Close(); }

AppendFile::AppendFile(AppendFile&& other) noexcept : native_(other.native_) {
  other.native_ = -1;
}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = other.native_;
    other.native_ = -1;
  }
  return *this;
}

bool AppendFile::Open(std::u16string_view path, Mode mode) {
  Close();
  const std::u16string terminated(path);
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every write an atomic append at the end.
  const DWORD access = mode == Mode::kAppend ? FILE_APPEND_DATA : GENERIC_WRITE;
  const DWORD disposition = mode == Mode::kAppend ? OPEN_ALWAYS : CREATE_ALWAYS;
  HANDLE file = ::CreateFileW(reinterpret_cast<const wchar_t*>(terminated.c_str()), access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  native_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool AppendFile::IsOpen() const { return native_ != -1; }

bool AppendFile::Write(std::string_view bytes) {
  if (native_ == -1) return false;
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(bytes.size() > 0x40000000 ? 0x40000000 : bytes.size());
    if (!::WriteFile(AsHandle(native_), bytes.data(), chunk, &written, nullptr)) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

void AppendFile::Close() {
  if (native_ != -1) {
    ::CloseHandle(AsHandle(native_));
    native_ = -1;
  }
}

}  // namespace os
