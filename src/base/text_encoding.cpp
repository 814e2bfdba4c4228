#include "base/text_encoding.h"

#include <climits>

#include "os/text.h"

std::u16string Utf8ToWide(std::string_view text) {
  // Lengths travel to the platform as 32-bit counts: longer texts are not supported.
  if (text.empty() || text.size() > INT_MAX) return {};
  return os::Utf8ToUtf16(text);
}

std::string WideToUtf8(std::u16string_view text) {
  if (text.size() > INT_MAX) return {};
  return os::Utf16ToUtf8(text);
}

std::string HexEncode(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out(bytes.size() * 2, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return out;
}

std::string HexEncode(std::string_view bytes) {
  return HexEncode(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}
