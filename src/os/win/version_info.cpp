#include <windows.h>

#include <cstdio>
#include <vector>

#include "os/version_info.h"

namespace os {

std::u16string ReadFileVersion(std::u16string_view path) {
  const std::u16string file(path);
  const auto* wide_path = reinterpret_cast<const wchar_t*>(file.c_str());
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(wide_path, &ignored);
  if (size == 0) return {};
  std::vector<BYTE> block(size, 0);
  if (!::GetFileVersionInfoW(wide_path, 0, size, block.data())) return {};

  void* translation = nullptr;
  UINT translation_size = 0;
  if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translation,
                        &translation_size) ||
      translation == nullptr || translation_size < 4) {
    return {};
  }
  const auto* pair = static_cast<const WORD*>(translation);
  const unsigned long language_and_code_page =
      (static_cast<unsigned long>(pair[0]) << 16) | pair[1];
  wchar_t sub_block[64] = {};
  std::swprintf(sub_block, 64, L"\\StringFileInfo\\%08lx\\FileVersion", language_and_code_page);

  void* text = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), sub_block, &text, &length) || text == nullptr) return {};
  const auto* characters = static_cast<const char16_t*>(text);
  while (length > 0 && characters[length - 1] == u'\0') --length;
  return std::u16string(characters, length);
}

}  // namespace os
