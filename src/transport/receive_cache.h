#pragma once

// Messages that arrive as runs of 64-byte fragments are put together here, by message id. Each
// channel object has one, used by the thread that pops on it.
//
// The lengths come from shared memory that any process can write, so the cache bounds itself:
// a message it starts is at most kMaxMessageSize bytes, and the messages held at once are at
// most kMaxEntries and kMaxBytes together; the oldest go first when a new one would not fit.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "transport/limits.h"

namespace transport {

class receive_cache {
 public:
  static constexpr std::size_t kMaxMessageSize = transport::kMaxMessageSize;
  static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;
  static constexpr std::size_t kMaxEntries = 4096;
  // Above this many entries, those far from the message being started are dropped.
  static constexpr std::size_t kPruneAbove = 1024;
  static constexpr std::uint32_t kPruneDistance = 8192;

  struct message {
    std::unique_ptr<std::uint8_t[]> bytes;  // null once broken
    std::size_t size = 0;
    std::size_t filled = 0;
    std::uint64_t serial = 0;  // order of creation, for dropping the oldest
  };

  receive_cache();

  // The message being put together, or null.
  message* find(std::uint32_t msg_id);
  // Starts a message of `size` bytes (2 to kMaxMessageSize); null when it cannot be held (when
  // only the memory is missing, a broken entry stands for it).
  message* start(std::uint32_t msg_id, std::size_t size);
  // A fragment went missing: the bytes go, the entry stays until the message's last fragment
  // has gone by, so that nothing of the message is taken for a message of its own.
  void mark_broken(message& m);
  // Removes a message and hands its bytes over.
  std::unique_ptr<std::uint8_t[]> take(std::uint32_t msg_id);
  void clear();

  std::size_t entries() const { return map_.size(); }
  std::size_t bytes() const { return bytes_; }

 private:
  using map = std::unordered_map<std::uint32_t, message>;

  void erase(map::iterator it);
  void prune_far_from(std::uint32_t msg_id);
  void drop_oldest();

  map map_;
  std::size_t bytes_ = 0;
  std::uint64_t next_serial_ = 0;
};

}  // namespace transport
