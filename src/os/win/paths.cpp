#include <windows.h>

#include "os/paths.h"

namespace os {

const char16_t kPathSeparator = u'\\';

std::u16string TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), length);
}

std::u16string ModulePath() {
  std::u16string path(MAX_PATH, u'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(path.size());
    const DWORD length =
        ::GetModuleFileNameW(nullptr, reinterpret_cast<wchar_t*>(path.data()), size);
    if (length == 0) return {};
    if (length < size) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace os
