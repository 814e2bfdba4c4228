// The hive model and its .reg text form. Pure logic: the Linux registry backend stores hives with
// it, and both builds test it.
#include "os/reg_hive.h"

#include <algorithm>
#include <utility>

#include "os/registry.h"
#include "os/text.h"

namespace os {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

// No lone surrogates: such text does not survive the trip through UTF-8.
bool IsWellFormed(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i])) {
      if (i + 1 >= text.size() || !IsLowSurrogate(text[i + 1])) return false;
      ++i;
    } else if (IsLowSurrogate(text[i])) {
      return false;
    }
  }
  return true;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view Trim(std::string_view s) {
  s = TrimLeft(s);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::uint32_t> ParseHexNumber(std::string_view s, std::size_t max_digits) {
  if (s.empty() || s.size() > max_digits) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : s) {
    const int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  return value;
}

// "xx,xx,..." with blanks around the bytes; a trailing comma is tolerated.
std::optional<std::vector<std::uint8_t>> ParseHexBytes(std::string_view s) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(s.size() / 3 + 1);
  std::size_t i = 0;
  auto skip_blanks = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r')) ++i;
  };
  skip_blanks();
  while (i < s.size()) {
    const int high = HexDigit(s[i]);
    if (high < 0) return std::nullopt;
    int value = high;
    ++i;
    if (i < s.size() && HexDigit(s[i]) >= 0) value = value * 16 + HexDigit(s[i++]);
    bytes.push_back(static_cast<std::uint8_t>(value));
    skip_blanks();
    if (i >= s.size()) break;
    if (s[i] != ',') return std::nullopt;
    ++i;
    skip_blanks();
  }
  return bytes;
}

// A quoted text at the start of `s` (the opening quote included) with the \\ and \" escapes.
// Returns the text and leaves `s` after the closing quote.
std::optional<std::string> ParseQuoted(std::string_view& s) {
  if (s.empty() || s.front() != '"') return std::nullopt;
  std::string text;
  for (std::size_t i = 1; i < s.size(); ++i) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return text;
    }
    if (c == '\\') {
      if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) return std::nullopt;
      text.push_back(s[++i]);
      continue;
    }
    text.push_back(c);
  }
  return std::nullopt;
}

constexpr char kHexDigits[] = "0123456789abcdef";

// Lower-case hexadecimal with at least `width` digits.
void AppendHex(std::string& out, std::uint32_t value, int width) {
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  for (int i = count; i < width; ++i) out.push_back('0');
  while (count > 0) out.push_back(digits[--count]);
}

void AppendQuoted(std::string& out, std::u16string_view text) {
  out.push_back('"');
  for (const char c : PortableUtf16ToUtf8(text)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

std::vector<std::uint8_t> Utf16LeBytes(std::u16string_view text, bool terminate) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve((text.size() + 1) * 2);
  for (const char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (terminate) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// A REG_SZ whose bytes are exactly some plain text and its one terminating NUL can be written as
// "text"; anything else keeps its bytes through hex(1):.
std::optional<std::u16string> PlainText(const RegValue& value) {
  const auto& data = value.data;
  if (value.type != kRegSz || data.size() < 2 || data.size() % 2 != 0) {
    return std::nullopt;
  }
  std::u16string text;
  for (std::size_t i = 0; i + 2 < data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0 || c == u'\r' || c == u'\n') return std::nullopt;
    text.push_back(c);
  }
  if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0) return std::nullopt;
  if (!IsWellFormed(text)) return std::nullopt;
  return text;
}

}  // namespace

char16_t FoldRegistryChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Latin Extended-A pairs: upper case first, the pairing shifting by one after U+0138.
    const bool odd_is_lower = c <= 0x137 || (c >= 0x14A && c <= 0x177);
    if (c == 0x138 || c == 0x149 || c == 0x178 || c == 0x17F) return c;
    if (odd_is_lower) return (c & 1) ? static_cast<char16_t>(c - 1) : c;
    return (c & 1) ? c : static_cast<char16_t>(c - 1);
  }
  if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c == 0x3C2) return 0x3A3;
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<char16_t>(c - 0x20);
  return c;
}

std::u16string FoldRegistryName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldRegistryChar(c);
  return folded;
}

std::vector<std::u16string_view> RegHive::SplitPath(std::u16string_view path) {
  std::vector<std::u16string_view> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find(u'\\');
    const std::u16string_view part = path.substr(0, slash);
    if (!part.empty()) parts.push_back(part);
    if (slash == std::u16string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

bool RegHive::IsStorableName(std::u16string_view name) {
  return name.find_first_of(std::u16string_view(u"\r\n\0", 3)) == std::u16string_view::npos &&
         IsWellFormed(name);
}

const RegHive::Key* RegHive::Find(std::u16string_view path) const {
  const Key* key = &root_;
  for (const auto part : SplitPath(path)) {
    const auto found = key->children.find(FoldRegistryName(part));
    if (found == key->children.end()) return nullptr;
    key = found->second.get();
  }
  return key;
}

RegHive::Key* RegHive::Find(std::u16string_view path) {
  return const_cast<Key*>(std::as_const(*this).Find(path));
}

ErrorCode RegHive::Create(std::u16string_view path, Key** key) {
  const auto parts = SplitPath(path);
  for (const auto part : parts) {
    if (!IsStorableName(part)) return kErrorInvalidParameter;
  }
  Key* current = &root_;
  for (const auto part : parts) {
    auto& child = current->children[FoldRegistryName(part)];
    if (!child) {
      child = std::make_unique<Key>();
      child->name = std::u16string(part);
    }
    current = child.get();
  }
  if (key != nullptr) *key = current;
  return kErrorSuccess;
}

ErrorCode RegHive::Delete(std::u16string_view path) {
  const auto parts = SplitPath(path);
  if (parts.empty()) return kErrorAccessDenied;
  Key* parent = &root_;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const auto found = parent->children.find(FoldRegistryName(parts[i]));
    if (found == parent->children.end()) return kErrorFileNotFound;
    parent = found->second.get();
  }
  const auto found = parent->children.find(FoldRegistryName(parts.back()));
  if (found == parent->children.end()) return kErrorFileNotFound;
  if (!found->second->children.empty()) return kErrorAccessDenied;
  parent->children.erase(found);
  return kErrorSuccess;
}

void RegHive::DeleteTree(std::u16string_view path) {
  const auto parts = SplitPath(path);
  if (parts.empty()) {
    root_ = Key{};
    return;
  }
  Key* parent = &root_;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const auto found = parent->children.find(FoldRegistryName(parts[i]));
    if (found == parent->children.end()) return;
    parent = found->second.get();
  }
  parent->children.erase(FoldRegistryName(parts.back()));
}

const RegValue* RegHive::FindValue(const Key& key, std::u16string_view name) {
  const auto found = key.values.find(FoldRegistryName(name));
  return found == key.values.end() ? nullptr : &found->second;
}

ErrorCode RegHive::SetValue(Key& key, std::u16string_view name, std::uint32_t type,
                            std::span<const std::uint8_t> data) {
  if (!IsStorableName(name)) return kErrorInvalidParameter;
  auto& value = key.values[FoldRegistryName(name)];
  if (value.name.empty()) value.name = std::u16string(name);
  value.type = type;
  value.data.assign(data.begin(), data.end());
  return kErrorSuccess;
}

ErrorCode RegHive::DeleteValue(Key& key, std::u16string_view name) {
  return key.values.erase(FoldRegistryName(name)) == 1 ? kErrorSuccess : kErrorFileNotFound;
}

std::optional<RegHive> ParseRegText(std::string_view text, std::u16string_view root_name) {
  std::string converted;
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
      static_cast<unsigned char>(text[1]) == 0xFE) {
    if (text.size() % 2 != 0) return std::nullopt;
    std::u16string units;
    for (std::size_t i = 2; i < text.size(); i += 2) {
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                            (static_cast<unsigned char>(text[i + 1]) << 8)));
    }
    converted = PortableUtf16ToUtf8(units);
    text = converted;
  } else if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    text.remove_prefix(3);
  }

  const std::u16string folded_root = FoldRegistryName(root_name);
  RegHive hive;
  RegHive::Key* key = nullptr;
  bool header_seen = false;

  std::size_t pos = 0;
  auto next_line = [&](std::string_view& line) {
    if (pos >= text.size()) return false;
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    line = text.substr(pos, end - pos);
    pos = end + 1;
    return true;
  };

  std::string_view raw;
  while (next_line(raw)) {
    std::string_view line = Trim(raw);
    if (line.empty()) continue;
    if (!header_seen) {
      if (line != kHeader) return std::nullopt;
      header_seen = true;
      continue;
    }
    if (line.front() == ';') continue;

    if (line.front() == '[') {
      if (line.back() != ']') return std::nullopt;
      std::string_view inner = line.substr(1, line.size() - 2);
      const bool remove = !inner.empty() && inner.front() == '-';
      if (remove) inner.remove_prefix(1);
      const std::u16string path = PortableUtf8ToUtf16(inner);
      const std::size_t slash = path.find(u'\\');
      if (FoldRegistryName(std::u16string_view(path).substr(0, slash)) != folded_root) {
        return std::nullopt;
      }
      const std::u16string_view sub_path = slash == std::u16string::npos
                                               ? std::u16string_view()
                                               : std::u16string_view(path).substr(slash + 1);
      if (remove) {
        hive.DeleteTree(sub_path);
        key = nullptr;
        continue;
      }
      if (hive.Create(sub_path, &key) != kErrorSuccess) return std::nullopt;
      continue;
    }

    if (key == nullptr) return std::nullopt;
    std::u16string name;
    if (line.front() == '@') {
      line.remove_prefix(1);
    } else {
      const auto quoted = ParseQuoted(line);
      if (!quoted) return std::nullopt;
      name = PortableUtf8ToUtf16(*quoted);
    }
    line = TrimLeft(line);
    if (line.empty() || line.front() != '=') return std::nullopt;
    line = TrimLeft(line.substr(1));

    if (line.empty()) return std::nullopt;
    if (line.front() == '"') {
      const auto quoted = ParseQuoted(line);
      if (!quoted || !Trim(line).empty()) return std::nullopt;
      const auto bytes = Utf16LeBytes(PortableUtf8ToUtf16(*quoted), true);
      if (RegHive::SetValue(*key, name, kRegSz, bytes) != kErrorSuccess) {
        return std::nullopt;
      }
      continue;
    }
    if (line == "-") {
      RegHive::DeleteValue(*key, name);
      continue;
    }
    if (line.substr(0, 6) == "dword:") {
      const auto number = ParseHexNumber(line.substr(6), 8);
      if (!number) return std::nullopt;
      const std::uint8_t bytes[4] = {
          static_cast<std::uint8_t>(*number), static_cast<std::uint8_t>(*number >> 8),
          static_cast<std::uint8_t>(*number >> 16), static_cast<std::uint8_t>(*number >> 24)};
      if (RegHive::SetValue(*key, name, kRegDword, bytes) != kErrorSuccess) return std::nullopt;
      continue;
    }
    if (line.substr(0, 3) != "hex") return std::nullopt;
    line.remove_prefix(3);
    std::uint32_t type = kRegBinary;
    if (!line.empty() && line.front() == '(') {
      const std::size_t close = line.find(')');
      if (close == std::string_view::npos) return std::nullopt;
      const auto number = ParseHexNumber(line.substr(1, close - 1), 8);
      if (!number) return std::nullopt;
      type = *number;
      line.remove_prefix(close + 1);
    }
    if (line.empty() || line.front() != ':') return std::nullopt;
    line.remove_prefix(1);
    // A trailing backslash continues the byte list on the next line.
    std::string list;
    for (;;) {
      line = Trim(line);
      if (!line.empty() && line.back() == '\\') {
        list.append(line.substr(0, line.size() - 1));
        if (!next_line(raw)) return std::nullopt;
        line = raw;
        continue;
      }
      list.append(line);
      break;
    }
    const auto bytes = ParseHexBytes(list);
    if (!bytes) return std::nullopt;
    if (RegHive::SetValue(*key, name, type, *bytes) != kErrorSuccess) return std::nullopt;
  }
  return hive;
}

std::string FormatRegText(const RegHive& hive, std::u16string_view root_name) {
  std::string out(kHeader);
  out += "\n";
  const std::string root = PortableUtf16ToUtf8(root_name);

  auto write_key = [&](const std::string& path, const RegHive::Key& key) {
    out += "\n[";
    out += path;
    out += "]\n";
    // Values in the order of their folded names, so that equal hives give equal files.
    std::vector<const std::pair<const std::u16string, RegValue>*> sorted;
    sorted.reserve(key.values.size());
    for (const auto& entry : key.values) sorted.push_back(&entry);
    std::sort(sorted.begin(), sorted.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    for (const auto* entry : sorted) {
      const RegValue& value = entry->second;
      const std::size_t line_start = out.size();
      if (value.name.empty()) {
        out.push_back('@');
      } else {
        AppendQuoted(out, value.name);
      }
      out.push_back('=');
      if (const auto text = PlainText(value)) {
        AppendQuoted(out, *text);
      } else if (value.type == kRegDword && value.data.size() == 4) {
        const auto& d = value.data;
        out += "dword:";
        AppendHex(out,
                  static_cast<std::uint32_t>(d[0]) | (d[1] << 8) | (d[2] << 16) |
                      (static_cast<std::uint32_t>(d[3]) << 24),
                  8);
      } else {
        if (value.type == kRegBinary) {
          out += "hex:";
        } else {
          out += "hex(";
          AppendHex(out, value.type, 1);
          out += "):";
        }
        std::size_t column = out.size() - line_start;
        for (std::size_t i = 0; i < value.data.size(); ++i) {
          if (i > 0) {
            out.push_back(',');
            ++column;
            if (column > 76) {
              out += "\\\n  ";
              column = 2;
            }
          }
          out.push_back(kHexDigits[value.data[i] >> 4]);
          out.push_back(kHexDigits[value.data[i] & 0xF]);
          column += 2;
        }
      }
      out.push_back('\n');
    }
  };

  auto walk = [&](auto&& self, const std::string& path, const RegHive::Key& key) -> void {
    for (const auto& [folded, child] : key.children) {
      const std::string child_path = path + "\\" + PortableUtf16ToUtf8(child->name);
      write_key(child_path, *child);
      self(self, child_path, *child);
    }
  };

  if (!hive.root().values.empty()) write_key(root, hive.root());
  walk(walk, root, hive.root());
  return out;
}

}  // namespace os
