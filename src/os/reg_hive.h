#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "os/error.h"

namespace os {

// The registry's case-insensitive comparison of names: both sides upper-cased (ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic and the full-width Latin letters).
char16_t FoldRegistryChar(char16_t c);
std::u16string FoldRegistryName(std::u16string_view name);

struct RegValue {
  std::u16string name;  // as first stored
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// One hive in memory: a tree of keys holding typed values, names compared case-insensitively.
// The Linux registry backend keeps each hive file in this form between reading and writing it.
class RegHive {
 public:
  struct Key {
    std::u16string name;                                      // as first created
    std::unordered_map<std::u16string, RegValue> values;      // by folded name
    std::map<std::u16string, std::unique_ptr<Key>> children;  // by folded name
  };

  // The components of a key path: separated by '\', empty components ignored.
  static std::vector<std::u16string_view> SplitPath(std::u16string_view path);
  // Whether a key or value name can be kept in a hive file: no line breaks, no NUL, no lone
  // surrogates (key names also need at least one character).
  static bool IsStorableName(std::u16string_view name);

  Key& root() { return root_; }
  const Key& root() const { return root_; }

  const Key* Find(std::u16string_view path) const;
  Key* Find(std::u16string_view path);
  // Finds or creates the key and every missing parent. 87 when a name cannot be stored.
  ErrorCode Create(std::u16string_view path, Key** key);
  // 2 when the key is missing, 5 when it has sub-keys or is the root.
  ErrorCode Delete(std::u16string_view path);
  // Removes the key with everything below it (the "[-key]" line of a .reg file).
  void DeleteTree(std::u16string_view path);

  static const RegValue* FindValue(const Key& key, std::u16string_view name);
  // 87 when the name cannot be stored.
  static ErrorCode SetValue(Key& key, std::u16string_view name, std::uint32_t type,
                            std::span<const std::uint8_t> data);
  // 2 when the value is missing.
  static ErrorCode DeleteValue(Key& key, std::u16string_view name);

 private:
  Key root_;
};

// The hive file format: the text of "Windows Registry Editor Version 5.00" files, read as UTF-8
// (with or without BOM) or UTF-16LE with BOM, written as UTF-8. `root_name` is the predefined key
// every section must begin with (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE). Strings that are plain
// text are written as "text", 4-byte REG_DWORDs as dword:, REG_BINARY as hex:, everything else
// as hex(type): with its exact bytes. Empty text is an empty hive; text that does not follow the
// format gives nothing.
std::optional<RegHive> ParseRegText(std::string_view text, std::u16string_view root_name);
std::string FormatRegText(const RegHive& hive, std::u16string_view root_name);

}  // namespace os
