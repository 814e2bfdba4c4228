// The portable UTF converter. It substitutes as the platform's CP_UTF8 conversion does: a
// sequence is cut at the first byte that is no continuation byte at all (that byte starts afresh),
// while a continuation byte that only makes the sequence overlong, a surrogate or too large is
// swallowed into the one U+FFFD of the sequence. Lone surrogates become U+FFFD too.
#include <cstdint>

#include "os/text.h"

namespace os {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool InRange(unsigned char byte, unsigned char low, unsigned char high) {
  return byte >= low && byte <= high;
}

}  // namespace

std::u16string PortableUtf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t i = 0;
  while (i < size) {
    const unsigned char lead = bytes[i];
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    int needed = 0;
    std::uint32_t code = 0;
    // Bounds of the first continuation byte exclude overlong forms and surrogates.
    unsigned char low = 0x80, high = 0xBF;
    if (InRange(lead, 0xC2, 0xDF)) {
      needed = 1;
      code = lead & 0x1F;
    } else if (InRange(lead, 0xE0, 0xEF)) {
      needed = 2;
      code = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (InRange(lead, 0xF0, 0xF4)) {
      needed = 3;
      code = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool complete = true;
    for (int k = 0; k < needed; ++k, ++j) {
      if (j >= size || !InRange(bytes[j], 0x80, 0xBF)) {
        complete = false;
        break;
      }
      if (!InRange(bytes[j], low, high)) {
        complete = false;
        ++j;
        break;
      }
      code = (code << 6) | (bytes[j] & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    if (!complete) {
      // The bytes consumed so far make one replacement character.
      out.push_back(kReplacement);
      i = j;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
    i = j;
  }
  return out;
}

std::string PortableUtf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size; ++i) {
    std::uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < size && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = kReplacement;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

std::string NativeNarrowPath(std::u16string_view path) { return PortableUtf16ToUtf8(path); }

}  // namespace os
