#include <windows.h>

#include "os/text.h"

namespace os {

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string result;
  const int length = static_cast<int>(text.size());
  if (length <= 0) return result;
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  result.resize(static_cast<std::size_t>(needed));
  if (needed > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, reinterpret_cast<wchar_t*>(result.data()),
                          needed);
  }
  return result;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string result;
  const int length = static_cast<int>(text.size());
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  result.resize(static_cast<std::size_t>(needed));
  if (needed > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide, length, result.data(), needed, nullptr, nullptr);
  }
  return result;
}

}  // namespace os
