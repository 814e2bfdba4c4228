#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Narrow text is UTF-8, wide text UTF-16, everywhere in the product. Malformed input is never
// rejected: invalid UTF-8 sequences and unpaired surrogates come out as U+FFFD.
std::u16string Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::u16string_view text);

// Upper-case hexadecimal, two digits per byte.
std::string HexEncode(std::span<const std::uint8_t> bytes);
std::string HexEncode(std::string_view bytes);
