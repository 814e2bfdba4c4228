#include "launcher/src/cmdline/number_reader.h"

#include <limits>

namespace cmdline {
namespace {

bool is_blank(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

struct signed_number {
  bool negative = false;
  std::uint64_t magnitude = 0;
  bool overflow = false;  // more than 64 bits of magnitude: out of range for every caller
};

// Blanks, sign, at least one digit, and the end of the text right after the digits.
std::optional<signed_number> read_signed(std::u16string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  signed_number number;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    number.negative = text[i] == u'-';
    ++i;
  }
  const std::size_t first_digit = i;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - u'0');
    if (number.magnitude > (kMax - digit) / 10) {
      number.overflow = true;
    } else {
      number.magnitude = number.magnitude * 10 + digit;
    }
  }
  if (i == first_digit || i != text.size()) return std::nullopt;
  return number;
}

}  // namespace

std::optional<std::int32_t> read_int32(std::u16string_view text) {
  const auto number = read_signed(text);
  if (!number || number->overflow) return std::nullopt;
  constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int32_t>::max();
  if (number->negative) {
    if (number->magnitude > kMaxPositive + 1) return std::nullopt;
    return static_cast<std::int32_t>(-static_cast<std::int64_t>(number->magnitude));
  }
  if (number->magnitude > kMaxPositive) return std::nullopt;
  return static_cast<std::int32_t>(number->magnitude);
}

std::optional<bool> read_bool(std::u16string_view text) {
  const auto number = read_signed(text);
  if (!number || number->overflow) return std::nullopt;
  if (number->magnitude == 0) return false;
  if (number->magnitude == 1 && !number->negative) return true;
  return std::nullopt;
}

std::u16string to_text(std::int32_t value) {
  std::u16string digits;
  std::int64_t rest = value;
  const bool negative = rest < 0;
  if (negative) rest = -rest;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + rest % 10));
    rest /= 10;
  } while (rest != 0);
  if (negative) digits.insert(digits.begin(), u'-');
  return digits;
}

}  // namespace cmdline
