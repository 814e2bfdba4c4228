#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace os {

using Md5Digest = std::array<std::uint8_t, 16>;

// The MD5 digest (RFC 1321) from the platform's crypto library: CNG on Windows, libcrypto on
// Linux. Nothing when the library fails.
std::optional<Md5Digest> Md5(std::span<const std::uint8_t> bytes);

}  // namespace os
