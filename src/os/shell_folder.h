#pragma once

#include <string>

namespace os {

// Shell folder numbers (CSIDL values).
inline constexpr int kCsidlAppData = 0x001A;
inline constexpr int kCsidlProgramFiles = 0x0026;

// SHGetFolderPathW (current path), or empty when the shell has nothing. On Linux application
// data is $XDG_CONFIG_HOME (else ~/.config) and program files is /opt; other folders are empty.
std::u16string ShellFolderPath(int csidl);

}  // namespace os
