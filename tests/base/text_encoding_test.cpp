#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/text_encoding.h"

namespace {

TEST(TextEncoding, EmptyInputsGiveEmptyOutputs) {
  EXPECT_EQ(Utf8ToWide(""), u"");
  EXPECT_EQ(WideToUtf8(u""), "");
  EXPECT_EQ(HexEncode(std::string_view()), "");
}

TEST(TextEncoding, AstralTextRoundTripsAsOneSurrogatePair) {
  const std::u16string wide = Utf8ToWide("\xF0\x9F\x98\x80");
  ASSERT_EQ(wide.size(), 2u);
  EXPECT_EQ(wide[0], 0xD83D);
  EXPECT_EQ(wide[1], 0xDE00);
  EXPECT_EQ(WideToUtf8(wide), "\xF0\x9F\x98\x80");
}

TEST(TextEncoding, LoneSurrogateBecomesReplacementCharacter) {
  EXPECT_EQ(WideToUtf8(std::u16string(1, char16_t(0xDFFF))), "\xEF\xBF\xBD");
}

TEST(HexEncode, UpperCaseTwoDigitsPerByte) {
  const std::vector<std::uint8_t> bytes{0x0A, 0xFF};
  EXPECT_EQ(HexEncode(bytes), "0AFF");
  EXPECT_EQ(HexEncode(std::string_view("\x00\x7f", 2)), "007F");
}

}  // namespace
