#include "transport/receive_cache.h"

#include <functional>
#include <new>

namespace transport {

receive_cache::receive_cache() {
  map_.max_load_factor(1.0f);
  map_.rehash(8);
}

std::size_t receive_cache::key_hash::operator()(const key& k) const {
  return std::hash<const void*>()(k.channel) ^ (std::size_t{k.msg_id} * 0x9E3779B97F4A7C15ull);
}

receive_cache& receive_cache::of_this_thread() {
  thread_local receive_cache cache;
  return cache;
}

receive_cache::message* receive_cache::find(const void* channel, std::uint32_t msg_id) {
  const auto it = map_.find(key{channel, msg_id});
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

void receive_cache::prune_far_from(const key& k) {
  for (auto it = map_.begin(); it != map_.end();) {
    // Distance on the 32-bit circle: ids wrap around.
    const std::uint32_t ahead = it->first.msg_id - k.msg_id;
    const std::uint32_t distance = ahead < 0x80000000u ? ahead : 0u - ahead;
    if (it->first.channel == k.channel && distance > kPruneDistance) {
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

receive_cache::message* receive_cache::start(const void* channel, std::uint32_t msg_id,
                                             std::size_t size) {
  if (size < 2 || size > kMaxMessageSize) return nullptr;
  const key k{channel, msg_id};
  // A message id seen again replaces what was left of its earlier use.
  if (const auto it = map_.find(k); it != map_.end()) erase(it);
  if (map_.size() > kPruneAbove) prune_far_from(k);
  while (!map_.empty() && (map_.size() >= kMaxEntries || bytes_ + size > kMaxBytes)) {
    drop_oldest();
  }
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[size]);
  if (!bytes) {
    // Kept as broken, so that the message's later fragments are not taken for messages.
    map_[k] = message{nullptr, size, 0, next_serial_++};
    return nullptr;
  }
  message& entry = map_[k];
  entry.bytes = std::move(bytes);
  entry.size = size;
  entry.filled = 0;
  entry.serial = next_serial_++;
  bytes_ += size;
  return &entry;
}

std::unique_ptr<std::uint8_t[]> receive_cache::take(const void* channel, std::uint32_t msg_id) {
  const auto it = map_.find(key{channel, msg_id});
  if (it == map_.end()) return nullptr;
  if (it->second.bytes) bytes_ -= it->second.size;
  std::unique_ptr<std::uint8_t[]> bytes = std::move(it->second.bytes);
  map_.erase(it);
  return bytes;
}

void receive_cache::forget(const void* channel) {
  for (auto it = map_.begin(); it != map_.end();) {
    if (it->first.channel == channel) {
      const auto next = std::next(it);
      erase(it);
      it = next;
    } else {
      ++it;
    }
  }
}

}  // namespace transport
