#include <windows.h>

#include <bcrypt.h>

#include "os/md5.h"

namespace os {
namespace {

class AlgorithmHandle {
 public:
  ~AlgorithmHandle() {
    if (handle_ != nullptr) ::BCryptCloseAlgorithmProvider(handle_, 0);
  }
  BCRYPT_ALG_HANDLE* out() { return &handle_; }
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class HashHandle {
 public:
  ~HashHandle() {
    if (handle_ != nullptr) ::BCryptDestroyHash(handle_);
  }
  BCRYPT_HASH_HANDLE* out() { return &handle_; }
  BCRYPT_HASH_HANDLE get() const { return handle_; }

 private:
  BCRYPT_HASH_HANDLE handle_ = nullptr;
};

bool Succeeded(NTSTATUS status) {
  return status >= 0;
}

}  // namespace

std::optional<Md5Digest> Md5(std::span<const std::uint8_t> bytes) {
  AlgorithmHandle algorithm;
  if (!Succeeded(
          ::BCryptOpenAlgorithmProvider(algorithm.out(), BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
    return std::nullopt;
  }
  HashHandle hash;
  if (!Succeeded(::BCryptCreateHash(algorithm.get(), hash.out(), nullptr, 0, nullptr, 0, 0))) {
    return std::nullopt;
  }
  // BCryptHashData takes at most 4 GiB per call.
  while (!bytes.empty()) {
    const ULONG chunk = static_cast<ULONG>(bytes.size() > 0x40000000 ? 0x40000000 : bytes.size());
    if (!Succeeded(::BCryptHashData(hash.get(), const_cast<PUCHAR>(bytes.data()), chunk, 0))) {
      return std::nullopt;
    }
    bytes = bytes.subspan(chunk);
  }
  Md5Digest digest{};
  if (!Succeeded(
          ::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace os
