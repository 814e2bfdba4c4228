#pragma once

// Helpers shared by the channel tests.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "transport/chunk_storage.h"
#include "transport/message.h"

namespace channel_test {

// Yields until `done` holds or a generous deadline passes; for states another thread or process
// reaches without telling anyone.
template <typename Done>
bool Eventually(Done&& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// `size` bytes that depend on `seed` and on their position.
inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
  }
  return bytes;
}

inline bool Matches(const transport::received_buffer& buffer,
                    const std::vector<std::uint8_t>& bytes) {
  return buffer.size() == bytes.size() && std::equal(bytes.begin(), bytes.end(), buffer.data());
}

inline transport::channel_ptr Open(const std::string& name) {
  return transport::channel_ptr(transport::channel_open(name, false));
}

inline transport::channel_ptr OpenReceiver(const std::string& name) {
  auto channel = Open(name);
  channel->connect_receiver();
  return channel;
}

// The chunk size class a received buffer's bytes lie in, 0 when not in any pool up to 64 KiB.
inline std::size_t ChunkClassOf(const transport::received_buffer& buffer) {
  for (std::size_t chunk = 1024; chunk <= 66560; chunk += 1024) {
    auto* pool = static_cast<const std::uint8_t*>(
        transport::chunk_storages(chunk, transport::pool_access::kOpenExisting));
    if (pool == nullptr) continue;
    const std::uint8_t* first = pool + transport::kPoolHeaderSize;
    if (buffer.data() >= first && buffer.data() < first + chunk * transport::kChunkCount) {
      return (buffer.data() - first) % chunk == transport::kChunkHeaderSize ? chunk : 0;
    }
  }
  return 0;
}

// Takes every free chunk of the pool for `size`-byte messages while in scope.
class ExhaustedPool {
 public:
  explicit ExhaustedPool(std::size_t size) : size_(size) {
    while (const auto grant = transport::acquire_storage(size, 1)) ids_.push_back(grant->id);
  }
  ~ExhaustedPool() {
    for (const auto id : ids_) transport::return_storage(id, size_);
  }
  ExhaustedPool(const ExhaustedPool&) = delete;
  ExhaustedPool& operator=(const ExhaustedPool&) = delete;
  std::size_t taken() const { return ids_.size(); }

 private:
  std::size_t size_;
  std::vector<std::int32_t> ids_;
};

}  // namespace channel_test
