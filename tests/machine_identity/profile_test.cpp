#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "os/profile.h"
#include "os/text.h"
#include "test_support.h"

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The same file read through ReadProfileString: the system's profile functions on Windows, the
// portable rules on Linux. Both must give what the table says.
TEST(Profile, ReadsValuesAsTheProfileFunctionsDo) {
  struct Case {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    std::string expected;
  };
  const Case cases[] = {
      {"CR LF lines", "[Profile]\r\nconfig1=abc\r\nconfig2=def\r\n", "Profile", "config2", "def"},
      {"LF lines", "[Profile]\nconfig1=abc\n", "Profile", "config1", "abc"},
      {"no final line end", "[Profile]\r\nconfig1=abc", "Profile", "config1", "abc"},
      {"section and key ignore case", "[PROFILE]\r\nCONFIG1=x\r\n", "profile", "Config1", "x"},
      {"blanks around key and value", "[Profile]\r\n  config1 =  v w  \r\n", "Profile", "config1",
       "v w"},
      {"quotes around the value", "[Profile]\r\nconfig1=\"quoted\"\r\n", "Profile", "config1",
       "quoted"},
      {"empty value", "[Profile]\r\nconfig3=\r\nconfig4=z\r\n", "Profile", "config3", ""},
      {"missing key", "[Profile]\r\nconfig1=a\r\n", "Profile", "config4", ""},
      {"key in another section", "[Other]\r\nconfig1=a\r\n[Profile]\r\nconfig2=b\r\n", "Profile",
       "config1", ""},
      {"first of two equal keys", "[Profile]\r\nconfig1=first\r\nconfig1=second\r\n", "Profile",
       "config1", "first"},
      {"cut to the buffer", "[Profile]\r\nconfig1=0123456789abcdef0123456789abcdef99\r\n",
       "Profile", "config1", "0123456789abcdef0123456789abcdef"},
      {"value holding an equals sign", "[Profile]\r\nconfig1=a=b\r\n", "Profile", "config1", "a=b"},
      {"empty file", "", "Profile", "config1", ""},
      {"second section of the same name", "[Profile]\r\nconfig1=a\r\n[Profile]\r\nconfig2=b\r\n",
       "Profile", "config2", ""},
      {"comment line", "[Profile]\r\n;config1=x\r\nconfig1=y\r\n", "Profile", "config1", "y"},
      {"blanks inside the brackets", "[ Profile ]\r\nconfig1=a\r\n", "Profile", "config1", "a"},
  };
  test_support::TempFolder folder;
  const std::string path = os::NarrowPathJoin(folder.narrow(), "GlobalMgr.db");
  for (const auto& c : cases) {
    WriteFile(path, c.text);
    EXPECT_EQ(os::ReadProfileString(path, c.section, c.key, 32), c.expected) << c.name;
  }
  EXPECT_EQ(os::ReadProfileString(os::NarrowPathJoin(folder.narrow(), "missing.db"), "Profile",
                                  "config1", 32),
            "");
}

TEST(Profile, ReadsNumbers) {
  struct Case {
    std::string value_line;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"config5=1", 1},     {"config5=42", 42}, {"config5=-3", -3}, {"config5= 7 ", 7},
      {"config5=12ab", 12}, {"config5=abc", 0}, {"config5=", 9},    {"other=1", 9},
  };
  test_support::TempFolder folder;
  const std::string path = os::NarrowPathJoin(folder.narrow(), "GlobalMgr.db");
  for (const auto& c : cases) {
    WriteFile(path, "[Profile]\r\n" + c.value_line + "\r\n");
    EXPECT_EQ(os::ReadProfileInt(path, "Profile", "config5", 9), c.expected) << c.value_line;
  }
  EXPECT_EQ(os::ReadProfileInt(os::NarrowPathJoin(folder.narrow(), "missing.db"), "Profile",
                               "config5", 0),
            0);
}

TEST(SharedFile, OpensExistingOnlyCreatesTruncatesAndWrites) {
  test_support::TempFolder folder;
  const std::string path = os::NarrowPathJoin(folder.narrow(), "file.db");
  os::ErrorCode error = 0;
  EXPECT_FALSE(os::SharedFile::Open(path, os::SharedFile::Disposition::kOpenExisting, &error));
  EXPECT_EQ(error, os::kErrorFileNotFound);

  auto created = os::SharedFile::Open(path, os::SharedFile::Disposition::kCreateAlways);
  ASSERT_TRUE(created);
  EXPECT_TRUE(created->Write("0123456789"));
  EXPECT_EQ(created->Size(), 10u);

  // Another handle may read and write while the first is open.
  auto second = os::SharedFile::Open(path, os::SharedFile::Disposition::kOpenExisting);
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->TruncateAtStart());
  EXPECT_EQ(second->Size(), 0u);
  EXPECT_TRUE(second->Write("abc"));
  second->Close();
  created->Close();
  EXPECT_EQ(test_support::ReadFileBytes(os::Utf8ToUtf16(path)), "abc");

  EXPECT_EQ(os::CreateNarrowDirectory(os::NarrowPathJoin(folder.narrow(), "sub")),
            os::kErrorSuccess);
  EXPECT_EQ(os::CreateNarrowDirectory(os::NarrowPathJoin(folder.narrow(), "sub")),
            os::kErrorAlreadyExists);
}

}  // namespace
