// One suite for both registry backends: the real registry under Wine is the reference the hive
// files of the Linux build must match.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "base/registry.h"
#include "os/process.h"
#include "registry_sandbox.h"

namespace {

const bool kSandbox = test_support::UseRegistrySandbox();

using test_support::SetRawValue;
using test_support::Utf16LeBytes;

// A key of its own under both roots for every test, removed afterwards.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { key_ = test_support::UniqueRegistryKey("registry"); }
  void TearDown() override {
    test_support::DeleteRegistryTree(kHkeyCurrentUser, key_);
    test_support::DeleteRegistryTree(kHkeyLocalMachine, key_);
  }
  bool KeyExists(RegistryRoot root, std::u16string_view path) const {
    os::RegistryKey key;
    return os::RegistryKey::Open(root, path, os::kKeyRead, key) == os::kErrorSuccess;
  }
  bool ValueExists(RegistryRoot root, std::u16string_view path, std::u16string_view name) const {
    os::RegistryKey key;
    return os::RegistryKey::Open(root, path, os::kKeyRead, key) == os::kErrorSuccess &&
           key.QueryValue(name, nullptr, nullptr, nullptr) == os::kErrorSuccess;
  }

  std::u16string key_;
};

TEST_F(RegistryTest, ReadStringTakesOnlyWholeTerminatedText) {
  const struct {
    const char16_t* name;
    std::uint32_t type;
    std::string bytes;
    std::u16string expected;
  } cases[] = {
      {u"Text", os::kRegSz, Utf16LeBytes(u"5.2.0.1", true), u"5.2.0.1"},
      {u"NoNul", os::kRegSz, Utf16LeBytes(u"5.2.0.1", false), u"default"},
      {u"Empty", os::kRegSz, Utf16LeBytes(u"", true), u""},
      {u"ZeroBytes", os::kRegSz, "", u"default"},
      {u"OneByte", os::kRegSz, std::string(1, '\0'), u"default"},
      {u"OddSize", os::kRegSz, Utf16LeBytes(u"ab", true) + std::string(1, '\0'), u"default"},
      {u"InnerNul", os::kRegSz, Utf16LeBytes(std::u16string(u"ab\0cd", 5), true), u"ab"},
      {u"Expand", os::kRegExpandSz, Utf16LeBytes(u"%TEMP%\\x", true), u"%TEMP%\\x"},
      {u"Unicode", os::kRegSz, Utf16LeBytes(u"\u00E4\U0001F600", true), u"\u00E4\U0001F600"},
      {u"Dword", os::kRegDword, std::string("\x01\0\0\0", 4), u"default"},
      {u"Binary", os::kRegBinary, Utf16LeBytes(u"text", true), u"default"},
      {u"Multi", os::kRegMultiSz, Utf16LeBytes(u"a", true) + std::string(2, '\0'), u"default"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetRawValue(kHkeyCurrentUser, key_, c.name, c.type, c.bytes));
  }
  for (const auto& c : cases) {
    EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, key_, c.name, u"default"), c.expected)
        << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
  }
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, key_, u"Missing", u"default"), u"default");
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, key_ + u"\\Missing", u"Text", u"d"), u"d");
  EXPECT_EQ(RegistryReadString(kHkeyLocalMachine, key_, u"Text", u"d"), u"d");
}

TEST_F(RegistryTest, ReadQwordTakesOnlyQwords) {
  const struct {
    const char16_t* name;
    std::uint32_t type;
    std::string bytes;
    std::uint64_t expected;
  } cases[] = {
      {u"Qword", os::kRegQword, std::string("\x08\x07\x06\x05\x04\x03\x02\x81", 8),
       0x8102030405060708},
      {u"Dword", os::kRegDword, std::string("\x01\x02\x03\x04", 4), 0},
      {u"Binary", os::kRegBinary, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8), 0},
      {u"Text", os::kRegSz, Utf16LeBytes(u"123", true), 0},
      {u"ShortQword", os::kRegQword, std::string("\x04\x03\x02\x01", 4), 0x01020304},
      {u"LongQword", os::kRegQword, std::string(9, '\x01'), 0},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(SetRawValue(kHkeyCurrentUser, key_, c.name, c.type, c.bytes));
  }
  for (const auto& c : cases) {
    EXPECT_EQ(RegistryReadQword(kHkeyCurrentUser, key_, c.name), c.expected)
        << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
  }
  EXPECT_EQ(RegistryReadQword(kHkeyCurrentUser, key_, u"Missing"), 0u);
  EXPECT_EQ(RegistryReadQword(kHkeyCurrentUser, key_ + u"\\Missing", u"Qword"), 0u);
}

TEST_F(RegistryTest, WritesStoreTypedBytesAndCreateKeys) {
  const std::u16string deep = key_ + u"\\New\\Deeper";
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, deep, u"Version", u"5.2.0.1"));
  ASSERT_TRUE(RegistryWriteQword(kHkeyCurrentUser, deep, u"Time", 0x1122334455667788));
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, deep, u"Blank", u""));

  os::RegistryKey key;
  ASSERT_EQ(os::RegistryKey::Open(kHkeyCurrentUser, deep, os::kKeyRead, key), os::kErrorSuccess);
  std::uint8_t bytes[64] = {};
  std::uint32_t type = 0, size = sizeof bytes;
  ASSERT_EQ(key.QueryValue(u"Version", &type, bytes, &size), os::kErrorSuccess);
  EXPECT_EQ(type, os::kRegSz);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), size), Utf16LeBytes(u"5.2.0.1", true));
  size = sizeof bytes;
  ASSERT_EQ(key.QueryValue(u"Time", &type, bytes, &size), os::kErrorSuccess);
  EXPECT_EQ(type, os::kRegQword);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), size),
            std::string("\x88\x77\x66\x55\x44\x33\x22\x11", 8));
  size = sizeof bytes;
  ASSERT_EQ(key.QueryValue(u"Blank", &type, bytes, &size), os::kErrorSuccess);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, deep, u"Blank", u"default"), u"");
  // A buffer too small for the value reports the size it needs.
  size = 4;
  EXPECT_EQ(key.QueryValue(u"Version", &type, bytes, &size), os::kErrorMoreData);
  EXPECT_EQ(size, 16u);

  // Overwriting changes the type with the data.
  ASSERT_TRUE(RegistryWriteQword(kHkeyCurrentUser, deep, u"Version", 7));
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, deep, u"Version", u"none"), u"none");
  EXPECT_EQ(RegistryReadQword(kHkeyCurrentUser, deep, u"Version"), 7u);

  // Text ends at its first NUL, as the registry's C strings do.
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, deep, u"Cut", std::u16string(u"ab\0cd", 5)));
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, deep, u"Cut", u""), u"ab");
  // A view without a buffer is no data.
  EXPECT_FALSE(RegistryWriteString(kHkeyCurrentUser, deep, u"Null", std::u16string_view()));
  EXPECT_FALSE(ValueExists(kHkeyCurrentUser, deep, u"Null"));
}

TEST_F(RegistryTest, EmptyNameAndDataOnlyCreateTheKey) {
  const std::u16string path = key_ + u"\\Only\\Key";
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, path, u"", u""));
  EXPECT_TRUE(KeyExists(kHkeyCurrentUser, path));
  EXPECT_FALSE(ValueExists(kHkeyCurrentUser, path, u""));
  // Once more on the existing key: still nothing written.
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, path, u"", u""));
  EXPECT_FALSE(ValueExists(kHkeyCurrentUser, path, u""));
  // The default value itself is written when it has data.
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, path, u"", u"x"));
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, path, u"", u""), u"x");
}

TEST_F(RegistryTest, NamesAreCaseInsensitive) {
  ASSERT_TRUE(
      RegistryWriteString(kHkeyCurrentUser, key_ + u"\\Product\\\u00C4rger", u"Version", u"1"));
  std::u16string lower = key_;
  for (char16_t& c : lower) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  }
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, lower + u"\\PRODUCT\\\u00E4RGER", u"vErSiOn", u""),
            u"1");
  // Writing under another spelling replaces the value rather than adding one.
  ASSERT_TRUE(
      RegistryWriteString(kHkeyCurrentUser, lower + u"\\product\\\u00E4rger", u"VERSION", u"2"));
  os::RegistryKey key;
  ASSERT_EQ(os::RegistryKey::Open(kHkeyCurrentUser, key_ + u"\\Product", os::kKeyRead, key),
            os::kErrorSuccess);
  std::u16string name;
  ASSERT_EQ(key.EnumSubKey(0, name), os::kErrorSuccess);
  EXPECT_EQ(name, u"\u00C4rger");  // the first spelling stays
  EXPECT_EQ(key.EnumSubKey(1, name), os::kErrorNoMoreItems);
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, key_ + u"\\Product\\\u00C4rger", u"Version", u""),
            u"2");
}

TEST_F(RegistryTest, DeleteValuesDeletesWhatIsThere) {
  EXPECT_TRUE(RegistryDeleteValues(key_ + u"\\Missing", {u"a"}));
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, key_, u"a", u"1"));
  ASSERT_TRUE(RegistryWriteQword(kHkeyCurrentUser, key_, u"b", 2));
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, key_, u"c", u"3"));
  EXPECT_TRUE(RegistryDeleteValues(key_, {u"A", u"missing", u"b"}));
  EXPECT_FALSE(ValueExists(kHkeyCurrentUser, key_, u"a"));
  EXPECT_FALSE(ValueExists(kHkeyCurrentUser, key_, u"b"));
  EXPECT_TRUE(ValueExists(kHkeyCurrentUser, key_, u"c"));
  EXPECT_TRUE(RegistryDeleteValues(key_, {}));
}

TEST_F(RegistryTest, DeleteKeyTreeRemovesEveryLevel) {
  const std::u16string top = key_ + u"\\Tree";
  for (const auto* sub : {u"\\A\\B\\C", u"\\A\\D", u"\\E", u""}) {
    ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, top + sub, u"v", u"x"));
  }
  // A key with sub-keys cannot be deleted alone.
  EXPECT_EQ(os::DeleteRegistryKey(kHkeyLocalMachine, top), os::kErrorAccessDenied);
  EXPECT_EQ(os::DeleteRegistryKey(kHkeyLocalMachine, top + u"\\Nothing"), os::kErrorFileNotFound);

  EXPECT_TRUE(RegistryDeleteKeyTree(top + u"\\A\\"));
  EXPECT_FALSE(KeyExists(kHkeyLocalMachine, top + u"\\A"));
  EXPECT_TRUE(KeyExists(kHkeyLocalMachine, top + u"\\E"));
  EXPECT_TRUE(RegistryDeleteKeyTree(top));
  EXPECT_FALSE(KeyExists(kHkeyLocalMachine, top));
  EXPECT_TRUE(KeyExists(kHkeyLocalMachine, key_));
  EXPECT_TRUE(RegistryDeleteKeyTree(top));  // missing: nothing to do
  EXPECT_TRUE(RegistryDeleteKeyTree(key_ + u"\\Never\\There"));
}

TEST_F(RegistryTest, RootsAreSeparate) {
  ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, key_, u"Where", u"machine"));
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, key_, u"Where", u"user"));
  EXPECT_EQ(RegistryReadString(kHkeyLocalMachine, key_, u"Where", u""), u"machine");
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, key_, u"Where", u""), u"user");
}

TEST_F(RegistryTest, HandlesSeeTheirKeyDeleted) {
  const std::u16string path = key_ + u"\\Doomed";
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, path, u"v", u"x"));
  os::RegistryKey key;
  ASSERT_EQ(os::RegistryKey::Open(kHkeyCurrentUser, path, os::kKeyRead | os::kKeyWrite, key),
            os::kErrorSuccess);
  ASSERT_EQ(os::DeleteRegistryKey(kHkeyCurrentUser, path), os::kErrorSuccess);
  EXPECT_EQ(key.QueryValue(u"v", nullptr, nullptr, nullptr), os::kErrorKeyDeleted);
  const std::uint8_t byte = 1;
  EXPECT_EQ(key.SetValue(u"w", os::kRegBinary, std::span(&byte, 1)), os::kErrorKeyDeleted);
  EXPECT_FALSE(KeyExists(kHkeyCurrentUser, path));
}

TEST(SecurityAttributes, BuiltOnceForEveryThread) {
  std::vector<os::SecurityAttributes*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = NullDaclSecurityAttributes(); });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_NE(seen[0], nullptr);
  for (const auto* attributes : seen) EXPECT_EQ(attributes, seen[0]);
  EXPECT_EQ(NullDaclSecurityAttributes(), seen[0]);
}

TEST(ProcessPrivilege, SwitchesKnownPrivilegesOnly) {
  // Where the token's state can be read (Windows), it must follow every switch.
  const auto before = os::OwnPrivilegeEnabled(u"SeDebugPrivilege");
  auto expect_state = [&](bool enabled) {
    if (before.has_value()) {
      EXPECT_EQ(os::OwnPrivilegeEnabled(u"SeDebugPrivilege"), enabled);
    }
  };
  EXPECT_TRUE(SetProcessPrivilege(true, u"SeDebugPrivilege"));
  expect_state(true);
  EXPECT_TRUE(SetProcessPrivilege(false, u"SeDebugPrivilege"));
  expect_state(false);
  EXPECT_FALSE(SetProcessPrivilege(true, u"SeNoSuchThingPrivilege"));
  {
    const ScopedProcessPrivilege scoped(u"SeDebugPrivilege");
    EXPECT_TRUE(scoped.enabled());
    expect_state(true);
  }
  expect_state(false);
  if (before.has_value()) SetProcessPrivilege(*before, u"SeDebugPrivilege");
}

}  // namespace
