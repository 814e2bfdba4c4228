#include "transport/receive_cache.h"

#include <iterator>
#include <new>

namespace transport {

receive_cache::receive_cache() {
  map_.max_load_factor(1.0f);
  map_.rehash(8);
}

receive_cache::message* receive_cache::find(std::uint32_t msg_id) {
  const auto it = map_.find(msg_id);
  return it == map_.end() ? nullptr : &it->second;
}

void receive_cache::erase(map::iterator it) {
  if (it->second.bytes) bytes_ -= it->second.size;
  map_.erase(it);
}

void receive_cache::mark_broken(message& m) {
  if (m.bytes) bytes_ -= m.size;
  m.bytes.reset();
}

void receive_cache::prune_far_from(std::uint32_t msg_id) {
  for (auto it = map_.begin(); it != map_.end();) {
    // Distance on the 32-bit circle: ids wrap around.
    const std::uint32_t ahead = it->first - msg_id;
    const std::uint32_t distance = ahead < 0x80000000u ? ahead : 0u - ahead;
    if (distance > kPruneDistance) {
      const auto next = std::next(it);
      erase(it);
      it = next;
    } else {
      ++it;
    }
  }
}

void receive_cache::drop_oldest() {
  auto oldest = map_.begin();
  for (auto it = map_.begin(); it != map_.end(); ++it) {
    if (it->second.serial < oldest->second.serial) oldest = it;
  }
  if (oldest != map_.end()) erase(oldest);
}

receive_cache::message* receive_cache::start(std::uint32_t msg_id, std::size_t size) {
  if (size < 2 || size > kMaxMessageSize) return nullptr;
  // A message id seen again replaces what was left of its earlier use.
  if (const auto it = map_.find(msg_id); it != map_.end()) erase(it);
  if (map_.size() > kPruneAbove) prune_far_from(msg_id);
  while (!map_.empty() && (map_.size() >= kMaxEntries || bytes_ + size > kMaxBytes)) {
    drop_oldest();
  }
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size]);
  if (!bytes) {
    // Kept as broken, so that the message's later fragments are not taken for messages.
    map_[msg_id] = message{nullptr, size, 0, next_serial_++};
    return nullptr;
  }
  message& entry = map_[msg_id];
  entry.bytes = std::move(bytes);
  entry.size = size;
  entry.filled = 0;
  entry.serial = next_serial_++;
  bytes_ += size;
  return &entry;
}

std::unique_ptr<std::uint8_t[]> receive_cache::take(std::uint32_t msg_id) {
  const auto it = map_.find(msg_id);
  if (it == map_.end()) return nullptr;
  if (it->second.bytes) bytes_ -= it->second.size;
  std::unique_ptr<std::uint8_t[]> bytes = std::move(it->second.bytes);
  map_.erase(it);
  return bytes;
}

void receive_cache::clear() {
  map_.clear();
  bytes_ = 0;
}

}  // namespace transport
