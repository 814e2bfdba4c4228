#include <gtest/gtest.h>

#include <string>

#include "os/object_names.h"
#include "os/text.h"

namespace {

TEST(ObjectNames, PrefixPicksTheFolderAndKindPicksTheFilePrefix) {
  const struct {
    os::ObjectKind kind;
    std::u16string name;
    bool global;
    std::string file_name;
  } cases[] = {
      {os::ObjectKind::kMutex, u"Global\\abc", true, "mutex.abc"},
      {os::ObjectKind::kSemaphore, u"Local\\abc", false, "sem.abc"},
      {os::ObjectKind::kEvent, u"abc", false, "event.abc"},
      {os::ObjectKind::kFileMapping, u"Global\\__IPC_SHM__x", true, "shm.__IPC_SHM__x"},
      // Only the exact prefixes count; anything else is part of a session name.
      {os::ObjectKind::kMutex, u"global\\abc", false, "mutex.global%5Cabc"},
      {os::ObjectKind::kMutex, u"Global", false, "mutex.Global"},
      {os::ObjectKind::kMutex, u"Global\\Local\\x", true, "mutex.Local%5Cx"},
      {os::ObjectKind::kEvent, u"", false, "event."},
  };
  for (const auto& c : cases) {
    const auto location = os::LocateObject(c.kind, c.name);
    EXPECT_EQ(location.global, c.global) << c.file_name;
    EXPECT_EQ(location.file_name, c.file_name);
  }
}

TEST(ObjectNames, UnsafeBytesArePercentEncoded) {
  const struct {
    std::u16string name;
    std::string encoded;
  } cases[] = {
      {u"AZaz09._-{}", "AZaz09._-{}"},
      {u"{F083FC96-54BA-42C2-B64E-D06896C1A58B}", "{F083FC96-54BA-42C2-B64E-D06896C1A58B}"},
      {u"a/b c", "a%2Fb%20c"},
      {u"100%", "100%25"},
      {u"..", ".."},
      {u"\u00E9", "%C3%A9"},
      {u"~", "%7E"},
      {std::u16string(u"a\0b", 3), "a%00b"},
  };
  for (const auto& c : cases) EXPECT_EQ(os::EncodeObjectName(c.name), c.encoded);
}

TEST(ObjectNames, LongNamesAreCutAndHashedAndStayDistinct) {
  const std::u16string at_limit(200, u'a');
  EXPECT_EQ(os::EncodeObjectName(at_limit), std::string(200, 'a'));

  const std::u16string over(201, u'a');
  const std::string encoded = os::EncodeObjectName(over);
  ASSERT_EQ(encoded.size(), 180u + 1 + 16);
  EXPECT_EQ(encoded.substr(0, 181), std::string(180, 'a') + "~");
  char hash[17];
  std::snprintf(hash, sizeof(hash), "%016llX",
                static_cast<unsigned long long>(os::ObjectNameHash(std::string(201, 'a'))));
  EXPECT_EQ(encoded.substr(181), hash);

  // Names equal in their first 180 encoded bytes, and an encoded form that spells another
  // name's bytes, all differ.
  const std::u16string stem(190, u'x');
  const std::string one = os::EncodeObjectName(stem + u"1 2");
  const std::string two = os::EncodeObjectName(stem + u"1%202");
  const std::string three = os::EncodeObjectName(stem + u"1 3");
  EXPECT_NE(one, two);
  EXPECT_NE(one, three);
  EXPECT_NE(two, three);
  EXPECT_EQ(one, os::EncodeObjectName(stem + u"1 2"));
}

TEST(ObjectNames, HashIsFnv1a64) {
  EXPECT_EQ(os::ObjectNameHash(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(os::ObjectNameHash("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(os::ObjectNameHash("foobar"), 0x85944171f73967e8ull);
}

}  // namespace
