#include <sys/random.h>

#include <cerrno>
#include <cstddef>

#include "os/guid.h"

namespace os {

Guid NewGuid() {
  std::uint8_t bytes[16] = {};
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Guid{};
    }
    filled += static_cast<std::size_t>(got);
  }
  Guid guid;
  guid.data1 = static_cast<std::uint32_t>(bytes[0]) << 24 |
               static_cast<std::uint32_t>(bytes[1]) << 16 |
               static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
  guid.data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  // Version 4 in the top nibble of the third field, variant 10 in the top bits of the fourth.
  guid.data3 = static_cast<std::uint16_t>(((bytes[6] & 0x0F) | 0x40) << 8 | bytes[7]);
  guid.data4[0] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  for (std::size_t i = 1; i < 8; ++i) guid.data4[i] = bytes[8 + i];
  return guid;
}

}  // namespace os
