#include <gtest/gtest.h>

#include "os/path_rules.h"
#include "os/text.h"

namespace {

struct NormalCase {
  std::u16string path;
  std::u16string windows;
  std::u16string posix;
};

// The lexically normal forms of both systems, the same on every build.
const NormalCase kNormalCases[] = {
    {u"", u"", u""},
    {u".", u".", u"."},
    {u"./", u".", u"."},
    {u"C:/Games//Velmora", u"C:\\Games\\Velmora", u"C:/Games/Velmora"},
    {u"C:\\Games\\\\Velmora\\", u"C:\\Games\\Velmora\\", u"C:\\Games\\\\Velmora\\"},
    {u"C:/Games/./Velmora/x/../", u"C:\\Games\\Velmora\\", u"C:/Games/Velmora/"},
    {u"a/b/..", u"a\\", u"a/"},
    {u"a/..", u".", u"."},
    {u"a/../../b", u"..\\b", u"../b"},
    {u"../", u"..", u".."},
    {u"/../x", u"\\x", u"/x"},
    {u"//opt///Quorlen/./Velmora", u"\\\\opt\\Quorlen\\Velmora", u"/opt/Quorlen/Velmora"},
    {u"\\\\?\\C:\\Games\\Velmora", u"\\\\?\\C:\\Games\\Velmora", u"\\\\?\\C:\\Games\\Velmora"},
    {u"\\\\.\\pipe\\x\\..\\y", u"\\\\.\\pipe\\y", u"\\\\.\\pipe\\x\\..\\y"},
    {u"//?/C:/a/./b", u"\\\\?\\C:\\a\\b", u"/?/C:/a/b"},
    {u"\\\\server\\share\\..\\x", u"\\\\server\\x", u"\\\\server\\share\\..\\x"},
    {u"C:..\\x", u"C:..\\x", u"C:..\\x"},
    {u"C:", u"C:", u"C:"},
    {u"/", u"\\", u"/"},
};

TEST(LexicallyNormal, FollowsEachSystemsRules) {
  for (const auto& c : kNormalCases) {
    EXPECT_EQ(os::LexicallyNormal(c.path, os::PathStyle::kWindows), c.windows)
        << os::Utf16ToUtf8(c.path);
    EXPECT_EQ(os::LexicallyNormal(c.path, os::PathStyle::kPosix), c.posix)
        << os::Utf16ToUtf8(c.path);
  }
}

}  // namespace
