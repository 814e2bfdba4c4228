#include <gtest/gtest.h>

#include <random>

#include "os/text.h"

namespace {

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

// Malformed input follows the platform: a continuation byte that only makes a sequence overlong,
// a surrogate or too large is swallowed into that sequence's one U+FFFD.
const Utf8Case kUtf8Cases[] = {
    {"ascii", "abc", u"abc"},
    {"two byte", "\xC3\xA9", u"\u00E9"},
    {"three byte", "\xE2\x82\xAC", u"\u20AC"},
    {"astral", "\xF0\x9F\x98\x80", u"\U0001F600"},
    {"lone continuation", "a\x80z", u"a\uFFFDz"},
    {"truncated three byte", "\xE2\x82z", u"\uFFFDz"},
    {"truncated at end", "a\xF0\x9F\x98", u"a\uFFFD"},
    {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
    {"overlong three byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD"},
    {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD"},
    {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
    {"invalid lead bytes", "\xF5\xFF", u"\uFFFD\uFFFD"},
    {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
};

TEST(Utf8ToUtf16, FollowsThePlatformOnEveryCase) {
  for (const auto& c : kUtf8Cases) {
    EXPECT_EQ(os::Utf8ToUtf16(c.utf8), c.utf16) << c.name;
    EXPECT_EQ(os::PortableUtf8ToUtf16(c.utf8), c.utf16) << c.name;
  }
}

TEST(Utf16ToUtf8, RoundTripsAndReplacesLoneSurrogates) {
  const struct {
    std::u16string utf16;
    std::string utf8;
  } cases[] = {
      {u"", ""},
      {u"\U0001F600x", "\xF0\x9F\x98\x80x"},
      {std::u16string(1, char16_t(0xD800)), "\xEF\xBF\xBD"},
      {std::u16string{char16_t(0xDC00), u'a'}, "\xEF\xBF\xBD" "a"},
      {std::u16string{char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDE00)},
       "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(os::Utf16ToUtf8(c.utf16), c.utf8);
    EXPECT_EQ(os::PortableUtf16ToUtf8(c.utf16), c.utf8);
  }
}

// On Windows this compares the portable converter with MultiByteToWideChar and
// WideCharToMultiByte on random input; the Linux backend is the portable converter itself.
// Input ends in plain ASCII: Wine turns a truncated sequence in the last three bytes into one
// U+FFFD together with whatever follows it, valid characters included, and the portable converter
// deliberately keeps those characters.
TEST(PortableConverter, AgreesWithThePlatformOnRandomInput) {
  std::mt19937 random(1234);
  std::uniform_int_distribution<int> length(0, 12);
  const unsigned char interesting[] = {0x00, 0x41, 0x7F, 0x80, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0,
                                       0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x9F, 0xA0, 0x8F, 0x90};
  for (int round = 0; round < 20000; ++round) {
    std::string bytes;
    std::u16string units;
    const int n = length(random);
    for (int i = 0; i < n; ++i) {
      bytes.push_back(static_cast<char>(interesting[random() % sizeof interesting]));
      const char16_t pick[] = {u'a', 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xFFFD, 0x7FF, 0x800};
      units.push_back(pick[random() % 8]);
    }
    bytes += "xyz";
    ASSERT_EQ(os::PortableUtf8ToUtf16(bytes), os::Utf8ToUtf16(bytes)) << round;
    ASSERT_EQ(os::PortableUtf16ToUtf8(units), os::Utf16ToUtf8(units)) << round;
  }
}

}  // namespace
