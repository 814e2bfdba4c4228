#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cmdline {

// Numbers in option values are read as a wide stream extracts them with its default formatting
// (there is no stream for char16_t, so this is that extraction written out): leading blanks
// skipped, an optional '+' or '-', ASCII decimal digits, and nothing after them, a trailing blank
// included. Blanks are the six ASCII white-space characters (space, tab, line feed, vertical tab,
// form feed, carriage return) on both systems.

// An int within the 32-bit range.
std::optional<std::int32_t> read_int32(std::u16string_view text);

// A bool is a number that reads as 0 or 1 ("-0" and "+01" included); "true" is not one.
std::optional<bool> read_bool(std::u16string_view text);

// The decimal text a stream writes for the value ("-12"; a bool as "0" or "1").
std::u16string to_text(std::int32_t value);

}  // namespace cmdline
