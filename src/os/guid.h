#pragma once

#include <array>
#include <cstdint>

namespace os {

// A GUID in the layout Windows gives it: one 32-bit, two 16-bit fields and eight bytes.
struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};
};

// A new GUID: CoCreateGuid on Windows, a random (version 4) GUID from getrandom on Linux. A failure
// yields the all-zero GUID; callers that only need a distinct text accept that.
Guid NewGuid();

}  // namespace os
