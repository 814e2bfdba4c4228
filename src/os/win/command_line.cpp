#include <windows.h>

#include <shellapi.h>

#include "os/command_line.h"

namespace os {

std::u16string ProcessCommandLine() {
  return reinterpret_cast<const char16_t*>(::GetCommandLineW());
}

std::string ProcessNarrowCommandLine() { return ::GetCommandLineA(); }

std::vector<std::u16string> CommandLineToArgv(std::u16string_view command_line) {
  const std::u16string terminated(command_line);
  int count = 0;
  LPWSTR* arguments =
      ::CommandLineToArgvW(reinterpret_cast<const wchar_t*>(terminated.c_str()), &count);
  std::vector<std::u16string> result;
  if (arguments == nullptr) return result;
  for (int i = 0; i < count; ++i) {
    result.emplace_back(reinterpret_cast<const char16_t*>(arguments[i]));
  }
  ::LocalFree(arguments);
  return result;
}

}  // namespace os
