#include <openssl/evp.h>

#include "os/md5.h"

namespace os {

std::optional<Md5Digest> Md5(std::span<const std::uint8_t> bytes) {
  Md5Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr) != 1 ||
      length != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace os
