#include <windows.h>

#include <shlobj.h>

#include "os/shell_folder.h"

namespace os {

std::u16string ShellFolderPath(int csidl) {
  wchar_t buffer[1024] = {};
  if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return {};
  return reinterpret_cast<const char16_t*>(buffer);
}

}  // namespace os
