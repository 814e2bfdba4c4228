#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/md5.h"
#include "os/reg_hive.h"
#include "os/registry.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::u16string_view kRoot = u"HKEY_CURRENT_USER";

Bytes Le16(std::u16string_view text, bool with_nul) {
  Bytes bytes;
  for (const char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  if (with_nul) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

struct ValueCase {
  std::u16string name;
  std::uint32_t type;
  Bytes data;
  std::string line;  // how the value is written
};

// Every kind of value keeps its exact bytes and type through the text form.
const std::vector<ValueCase>& ValueCases() {
  static const std::vector<ValueCase> cases = {
      {u"Plain", os::kRegSz, Le16(u"5.2.0.1", true), "\"Plain\"=\"5.2.0.1\""},
      {u"", os::kRegSz, Le16(u"default", true), "@=\"default\""},
      {u"Esc\"aped\\", os::kRegSz, Le16(u"C:\\dir \"q\"", true),
       "\"Esc\\\"aped\\\\\"=\"C:\\\\dir \\\"q\\\"\""},
      {u"Empty", os::kRegSz, Le16(u"", true), "\"Empty\"=\"\""},
      {u"NoNul", os::kRegSz, Le16(u"abc", false), "\"NoNul\"=hex(1):61,00,62,00,63,00"},
      {u"ZeroSize", os::kRegSz, {}, "\"ZeroSize\"=hex(1):"},
      {u"OddSize", os::kRegSz, {0x61, 0x00, 0x00}, "\"OddSize\"=hex(1):61,00,00"},
      {u"InnerNul", os::kRegSz, Le16(std::u16string(u"a\0b", 3), true),
       "\"InnerNul\"=hex(1):61,00,00,00,62,00,00,00"},
      {u"Lines", os::kRegSz, Le16(u"a\r\nb", true),
       "\"Lines\"=hex(1):61,00,0d,00,0a,00,62,00,00,00"},
      {u"LoneSurrogate", os::kRegSz, Le16(u"\xD800", true), "\"LoneSurrogate\"=hex(1):00,d8,00,00"},
      {u"Unicode \u00C4\u4E2D", os::kRegSz, Le16(u"\u00E4\U0001F600", true),
       "\"Unicode \xC3\x84\xE4\xB8\xAD\"=\"\xC3\xA4\xF0\x9F\x98\x80\""},
      {u"Expand", os::kRegExpandSz, Le16(u"%TEMP%", true),
       "\"Expand\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00"},
      {u"Dword", os::kRegDword, {0x78, 0x56, 0x34, 0x12}, "\"Dword\"=dword:12345678"},
      {u"ShortDword", os::kRegDword, {0x01, 0x02}, "\"ShortDword\"=hex(4):01,02"},
      {u"Qword",
       os::kRegQword,
       {1, 2, 3, 4, 5, 6, 7, 0x80},
       "\"Qword\"=hex(b):01,02,03,04,05,06,07,80"},
      {u"Binary", os::kRegBinary, {0xDE, 0xAD}, "\"Binary\"=hex:de,ad"},
      {u"EmptyBinary", os::kRegBinary, {}, "\"EmptyBinary\"=hex:"},
      {u"Odd type", 0x12345, {0x01}, "\"Odd type\"=hex(12345):01"},
  };
  return cases;
}

TEST(RegText, EveryValueKeepsItsBytesAndType) {
  os::RegHive hive;
  os::RegHive::Key* key = nullptr;
  ASSERT_EQ(hive.Create(u"SOFTWARE\\Quorlen\\Velmora", &key), os::kErrorSuccess);
  for (const auto& c : ValueCases()) {
    ASSERT_EQ(os::RegHive::SetValue(*key, c.name, c.type, c.data), os::kErrorSuccess);
  }
  const std::string text = os::FormatRegText(hive, kRoot);
  for (const auto& c : ValueCases()) {
    EXPECT_NE(text.find("\n" + c.line + "\n"), std::string::npos) << c.line << "\n" << text;
  }

  const auto parsed = os::ParseRegText(text, kRoot);
  ASSERT_TRUE(parsed.has_value()) << text;
  const os::RegHive::Key* read = parsed->Find(u"software\\quorlen\\velmora");
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->values.size(), ValueCases().size());
  for (const auto& c : ValueCases()) {
    const os::RegValue* value = os::RegHive::FindValue(*read, c.name);
    ASSERT_NE(value, nullptr) << c.line;
    EXPECT_EQ(value->name, c.name);
    EXPECT_EQ(value->type, c.type) << c.line;
    EXPECT_EQ(value->data, c.data) << c.line;
  }
  // Written again, the text is the same: nothing drifts from one write to the next.
  EXPECT_EQ(os::FormatRegText(*parsed, kRoot), text);
}

TEST(RegText, LongDataIsWrappedAndReadBack) {
  os::RegHive hive;
  os::RegHive::Key* key = nullptr;
  ASSERT_EQ(hive.Create(u"Big", &key), os::kErrorSuccess);
  Bytes data(1000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(os::RegHive::SetValue(*key, u"Blob", os::kRegBinary, data), os::kErrorSuccess);
  const std::string text = os::FormatRegText(hive, kRoot);
  std::size_t longest = 0, start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    longest = std::max(longest, end - start);
  }
  EXPECT_LE(longest, 80u);
  const auto parsed = os::ParseRegText(text, kRoot);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(os::RegHive::FindValue(*parsed->Find(u"Big"), u"Blob")->data, data);
}

// Files as the registry editor writes them: CRLF, comments, continued hex lines, deletions.
TEST(RegText, ReadsEditorFiles) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; exported\r\n"
      "[HKEY_CURRENT_USER\\Software\\A]\r\n"
      "\"Name\"=\"value\"\r\n"
      "\"Gone\"=\"soon\"\r\n"
      "\"Blob\"=hex:01,02,\\\r\n"
      "  03,04\r\n"
      "\"Gone\"=-\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\A\\B\\C]\r\n"
      "@=dword:0000002a\r\n"
      "[hkey_current_user\\software\\a\\b\\c]\r\n"
      "\"Second\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "[HKEY_CURRENT_USER\\Software\\Dropped\\Child]\r\n"
      "[-HKEY_CURRENT_USER\\Software\\Dropped]\r\n";
  const auto hive = os::ParseRegText(text, kRoot);
  ASSERT_TRUE(hive.has_value());
  const auto* a = hive->Find(u"SOFTWARE\\A");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(os::RegHive::FindValue(*a, u"name")->data, Le16(u"value", true));
  EXPECT_EQ(os::RegHive::FindValue(*a, u"Blob")->data, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(os::RegHive::FindValue(*a, u"Gone"), nullptr);
  // The parent "B" exists without a section of its own.
  ASSERT_NE(hive->Find(u"Software\\A\\B"), nullptr);
  const auto* c = hive->Find(u"Software\\A\\B\\C");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(os::RegHive::FindValue(*c, u"")->data, (Bytes{0x2a, 0, 0, 0}));
  EXPECT_EQ(os::RegHive::FindValue(*c, u"Second")->type, os::kRegQword);
  EXPECT_EQ(hive->Find(u"Software\\Dropped"), nullptr);
  ASSERT_NE(hive->Find(u"Software"), nullptr);
}

TEST(RegText, ReadsUtf16FilesWithByteOrderMark) {
  const std::u16string text =
      u"Windows Registry Editor Version "
      u"5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"N\u00E4me\"=\"\u4E2D\"\r\n";
  std::string bytes = "\xFF\xFE";
  for (const char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  const auto hive = os::ParseRegText(bytes, kRoot);
  ASSERT_TRUE(hive.has_value());
  EXPECT_EQ(os::RegHive::FindValue(*hive->Find(u"K"), u"N\u00C4ME")->data, Le16(u"\u4E2D", true));
}

TEST(RegText, EmptyTextIsAnEmptyHive) {
  for (const std::string text :
       {"", "\n\n", "\xEF\xBB\xBF", "Windows Registry Editor Version 5.00\n"}) {
    const auto hive = os::ParseRegText(text, kRoot);
    ASSERT_TRUE(hive.has_value());
    EXPECT_TRUE(hive->root().children.empty());
    EXPECT_TRUE(hive->root().values.empty());
  }
}

TEST(RegText, RejectsTextThatIsNotAHive) {
  const std::string header = "Windows Registry Editor Version 5.00\n";
  const std::string section = header + "[HKEY_CURRENT_USER\\K]\n";
  const std::string cases[] = {
      "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n",
      "garbage\x01\x02\x03",
      "[HKEY_CURRENT_USER\\K]\n",
      header + "\"Value\"=\"before any key\"\n",
      header + "[HKEY_LOCAL_MACHINE\\K]\n",
      header + "[HKEY_CURRENT_USER\\K\n",
      section + "\"Unterminated=\"x\"\n",
      section + "\"Bad\\escape\"=\"x\"\n",
      section + "\"NoEquals\" \"x\"\n",
      section + "\"Text\"=\"x\" trailing\n",
      section + "\"Dword\"=dword:123456789\n",
      section + "\"Dword\"=dword:xyz\n",
      section + "\"Hex\"=hex:1g\n",
      section + "\"Hex\"=hex:123\n",
      section + "\"Hex\"=hex(zz):01\n",
      section + "\"Hex\"=hex:01,\\\n",
      section + "just words\n",
      section + "\"Cut\"=\"text",
  };
  for (const auto& text : cases) EXPECT_FALSE(os::ParseRegText(text, kRoot).has_value()) << text;
}

TEST(RegHive, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
  os::RegHive hive;
  os::RegHive::Key* key = nullptr;
  ASSERT_EQ(hive.Create(u"Software\\\u00C4rger\\\u0416", &key), os::kErrorSuccess);
  EXPECT_EQ(hive.Find(u"SOFTWARE\\\u00E4RGER\\\u0436"), key);
  EXPECT_EQ(hive.Find(u"software\\\\\u00C4rger\\\u0416\\"), key);  // empty components ignored
  ASSERT_EQ(os::RegHive::SetValue(*key, u"Version", os::kRegSz, Le16(u"1", true)),
            os::kErrorSuccess);
  ASSERT_EQ(os::RegHive::SetValue(*key, u"VERSION", os::kRegSz, Le16(u"2", true)),
            os::kErrorSuccess);
  ASSERT_EQ(key->values.size(), 1u);
  EXPECT_EQ(os::RegHive::FindValue(*key, u"version")->name, u"Version");
  EXPECT_EQ(os::RegHive::FindValue(*key, u"version")->data, Le16(u"2", true));
  EXPECT_EQ(hive.Find(u"SOFTWARE")->name, u"Software");
}

TEST(RegHive, DeletesOnlyKeysWithoutSubKeys) {
  os::RegHive hive;
  ASSERT_EQ(hive.Create(u"A\\B\\C", nullptr), os::kErrorSuccess);
  EXPECT_EQ(hive.Delete(u"a\\b"), os::kErrorAccessDenied);
  EXPECT_EQ(hive.Delete(u"a\\b\\x"), os::kErrorFileNotFound);
  EXPECT_EQ(hive.Delete(u"x\\y"), os::kErrorFileNotFound);
  EXPECT_EQ(hive.Delete(u""), os::kErrorAccessDenied);
  EXPECT_EQ(hive.Delete(u"a\\b\\c"), os::kErrorSuccess);
  EXPECT_EQ(hive.Find(u"A\\B\\C"), nullptr);
  EXPECT_NE(hive.Find(u"A\\B"), nullptr);
  EXPECT_EQ(os::RegHive::DeleteValue(*hive.Find(u"A"), u"none"), os::kErrorFileNotFound);
}

TEST(RegHive, RefusesNamesAHiveFileCannotHold) {
  os::RegHive hive;
  EXPECT_EQ(hive.Create(u"A\\Line\nBreak", nullptr), os::kErrorInvalidParameter);
  EXPECT_EQ(hive.Find(u"A"), nullptr);  // nothing half-made
  os::RegHive::Key* key = nullptr;
  ASSERT_EQ(hive.Create(u"A", &key), os::kErrorSuccess);
  EXPECT_EQ(os::RegHive::SetValue(*key, u"x\ry", os::kRegSz, {}), os::kErrorInvalidParameter);
  EXPECT_EQ(os::RegHive::SetValue(*key, u"\xDC00", os::kRegSz, {}), os::kErrorInvalidParameter);
  EXPECT_TRUE(key->values.empty());
}

TEST(Md5, MatchesTheReferenceDigests) {
  const struct {
    std::string input;
    Bytes digest;
  } cases[] = {
      {"",
       {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04, 0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42,
        0x7e}},
      {"abc",
       {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0, 0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f,
        0x72}},
      {"message digest",
       {0xf9, 0x6b, 0x69, 0x7d, 0x7c, 0xb7, 0x93, 0x8d, 0x52, 0x5a, 0x2f, 0x31, 0xaa, 0xf1, 0x61,
        0xd0}},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       {0x57, 0xed, 0xf4, 0xa2, 0x2b, 0xe3, 0xc9, 0x55, 0xac, 0x49, 0xda, 0x2e, 0x21, 0x07, 0xb6,
        0x7a}},
  };
  for (const auto& c : cases) {
    const auto digest =
        os::Md5(std::span(reinterpret_cast<const std::uint8_t*>(c.input.data()), c.input.size()));
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(Bytes(digest->begin(), digest->end()), c.digest) << c.input;
  }
}

}  // namespace
