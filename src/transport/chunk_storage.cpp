#include "transport/chunk_storage.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <vector>

#include "os/named_objects.h"
#include "os/text.h"
#include "transport/backoff.h"
#include "transport/limits.h"
#include "transport/shm.h"
#include "transport/utility/log.h"
#include "transport/word_lock.h"

namespace transport {
namespace {

constexpr std::uint32_t kWriterBit = 0x80000000u;

// One chunk size's pool as this process holds it.
struct pool_entry {
  shm::handle segment;
  // Per chunk: bit 0 is set while a message this process sent in it may still be unread; the
  // bits above count the grants, so that a look which finds the chunk released cannot clear a
  // grant another thread made meanwhile.
  std::array<std::atomic<std::uint32_t>, kChunkCount> handed_out{};
  std::array<std::atomic<std::int64_t>, kChunkCount> handed_out_ns{};  // when, on storage_clock
};

// Chunk size -> pool. Lookups share a reader/writer spin lock (bit 31: a writer holds or wants
// it; bits 0-30: readers); inserting and mapping are exclusive, so two threads never map the same
// entry at once. An entry stays where it is once mapped.
class pool_table {
 public:
  pool_entry* get(std::size_t chunk_size, pool_access access) {
    std::atomic<pool_entry*>* fast = fast_slot(chunk_size);
    if (fast != nullptr) {
      if (pool_entry* entry = fast->load(std::memory_order_acquire)) return entry;
    }
    if (pool_entry* entry = lookup(chunk_size)) return entry;
    lock_exclusive();
    pool_entry* entry = map_entry(chunk_size, access);
    if (entry != nullptr && fast != nullptr) fast->store(entry, std::memory_order_release);
    std::atomic_ref<std::uint32_t>(lock_).store(0, std::memory_order_release);
    return entry;
  }

  // Calls visit(chunk size, entry) for every mapped pool, inserts waiting meanwhile.
  template <typename Visit>
  void for_each(Visit&& visit) {
    lock_shared();
    for (auto& [chunk_size, entry] : pools_) visit(chunk_size, entry);
    unlock_shared();
  }

 private:
  void lock_shared() {
    std::atomic_ref<std::uint32_t> word(lock_);
    std::uint32_t k = 0;
    for (;;) {
      std::uint32_t seen = word.load(std::memory_order_relaxed);
      if ((seen & kWriterBit) == 0 &&
          word.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) {
        return;
      }
      back_off(k);
    }
  }

  void unlock_shared() {
    std::atomic_ref<std::uint32_t>(lock_).fetch_sub(1, std::memory_order_release);
  }

  pool_entry* lookup(std::size_t chunk_size) {
    lock_shared();
    pool_entry* entry = nullptr;
    if (const auto it = pools_.find(chunk_size); it != pools_.end()) entry = &it->second;
    unlock_shared();
    return entry;
  }

  void lock_exclusive() {
    std::atomic_ref<std::uint32_t> word(lock_);
    std::uint32_t k = 0;
    std::uint32_t seen = word.load(std::memory_order_relaxed);
    while ((seen & kWriterBit) != 0 ||
           !word.compare_exchange_weak(seen, seen | kWriterBit, std::memory_order_acquire)) {
      back_off(k);
      seen = word.load(std::memory_order_relaxed);
    }
    k = 0;
    while ((word.load(std::memory_order_acquire) & ~kWriterBit) != 0) back_off(k);
  }

  pool_entry* map_entry(std::size_t chunk_size, pool_access access) {
    auto it = pools_.find(chunk_size);
    if (it == pools_.end()) {
      if (pools_.size() >= kMaxPools) {
        TRANSPORT_REPORT(log::kFailure, "[chunk_storages] too many pools: chunk_size = %zd\n",
                         chunk_size);
        return nullptr;
      }
      it = pools_.try_emplace(chunk_size).first;
    }
    shm::handle& pool = it->second.segment;
    if (pool.get() != nullptr) return &it->second;

    const std::string name = pool_segment_name(chunk_size);
    // A receiver only looks into pools some process holds: one made now would be empty, and
    // making pools of any size a record names would let a stranger's bytes exhaust memory.
    os::FileMapping existing;
    if (access == pool_access::kOpenExisting) {
      existing = os::FileMapping::Open(os::Utf8ToUtf16(shm::segment_name(name, true))).object;
      if (!existing.valid()) return forget(it);
    }
    const std::size_t size = pool_segment_size(chunk_size);
    if (!pool.acquire(name, size, true)) {
      TRANSPORT_REPORT(log::kFailure,
                       "[chunk_storages] chunk_shm.id_info_.acquire failed: chunk_size = %zd\n",
                       chunk_size);
      return forget(it);
    }
    // An existing segment keeps its creator's size: chunks must lie inside the mapping.
    if (pool.size() < size) {
      TRANSPORT_REPORT(log::kFailure,
                       "[chunk_storages] chunk_shm.id_info_.get failed: chunk_size = %zd\n",
                       chunk_size);
      return forget(it);
    }
    return &it->second;
  }

  // An entry that could not be mapped is tried afresh by the next lookup; dropping it keeps
  // sizes that name no pool from filling the table.
  pool_entry* forget(std::map<std::size_t, pool_entry>::iterator it) {
    pools_.erase(it);
    return nullptr;
  }

  // Pools stay mapped for the life of the process, so the sizes senders use (up to
  // kMaxStoredMessageSize) are also found without the lock, through one slot per size.
  static constexpr std::size_t kFastSlots = chunk_size_for(kMaxStoredMessageSize) / kChunkGranule;
  std::atomic<pool_entry*>* fast_slot(std::size_t chunk_size) {
    const std::size_t index = chunk_size / kChunkGranule;
    if (chunk_size % kChunkGranule != 0 || index == 0 || index > kFastSlots) return nullptr;
    return &fast_[index - 1];
  }

  std::uint32_t lock_ = 0;
  std::map<std::size_t, pool_entry> pools_;
  std::atomic<pool_entry*> fast_[kFastSlots] = {};
};

pool_table& table() {
  // Never destroyed: buffers released by threads still running at exit must find their pool.
  static pool_table* const pools = new pool_table;
  return *pools;
}

// Sizes that cannot belong to a message a sender could have queued.
bool size_acceptable(std::size_t size) {
  return size > 0 && size <= kMaxMessageSize;
}

bool id_acceptable(std::int32_t id) {
  return id >= 0 && id < static_cast<std::int32_t>(kChunkCount);
}

void free_chunk(void* pool, std::uint8_t id) {
  auto& header = *static_cast<pool_header*>(pool);
  const word_lock lock(header.lock);
  put_chunk(header, id);
}

// Removes `claims` from a chunk's receivers; the caller whose change empties the mask frees it.
void drop_claims(void* pool, std::size_t chunk_size, std::int32_t id, std::uint32_t keep) {
  std::atomic_ref<std::uint32_t> receivers(chunk_at(pool, chunk_size, id)->receivers);
  std::uint32_t seen = receivers.load();
  std::uint32_t k = 0;
  while (!receivers.compare_exchange_weak(seen, seen & keep)) back_off(k);
  if (seen != 0 && (seen & keep) == 0) free_chunk(pool, static_cast<std::uint8_t>(id));
}

std::int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::atomic<monotonic_clock> storage_clock{&steady_ns};

// Set once this process has handed a chunk to a send: until then there is nothing to wait for.
std::atomic<bool> any_handed_out{false};

void mark_handed_out(pool_entry& entry, std::uint8_t id) {
  entry.handed_out_ns[id].store(storage_clock.load()());
  std::atomic<std::uint32_t>& word = entry.handed_out[id];
  std::uint32_t seen = word.load();
  while (!word.compare_exchange_weak(seen, (seen + 2) | 1u)) {
  }
  any_handed_out.store(true);
}

struct sweep_result {
  std::uint32_t pending = 0;    // claimed, and younger than the time-out
  std::uint32_t abandoned = 0;  // claimed past the time-out, now forgotten
};

// Forgets the grants whose chunk no receiver claims any more, and those claimed for `timeout_ns`
// or longer. The clock is read only when some chunk is still claimed.
sweep_result sweep_grants(std::int64_t timeout_ns) {
  struct claim {
    std::atomic<std::uint32_t>* word;
    std::uint32_t seen;
    std::int64_t handed_out_ns;
  };
  std::vector<claim> claims;
  sweep_result result;
  table().for_each([&](std::size_t chunk_size, pool_entry& entry) {
    for (std::uint32_t id = 0; id < kChunkCount; ++id) {
      std::atomic<std::uint32_t>& word = entry.handed_out[id];
      std::uint32_t seen = word.load();
      if ((seen & 1u) == 0) continue;
      const std::uint32_t receivers =
          std::atomic_ref<std::uint32_t>(chunk_at(entry.segment.get(), chunk_size, id)->receivers)
              .load();
      if (receivers != 0) {
        claims.push_back({&word, seen, entry.handed_out_ns[id].load()});
      } else if (!word.compare_exchange_strong(seen, seen & ~1u)) {
        ++result.pending;  // handed out again since `seen` was read: looked at next time
      }
    }
  });
  if (claims.empty()) return result;
  // Entries stay where they are once mapped: the words outlive the table's lock.
  const std::int64_t now = storage_clock.load()();
  for (claim& c : claims) {
    const std::int64_t age = now - c.handed_out_ns;
    // A grant timed by a clock that was replaced since reads as from the future: never waited for.
    if (age >= 0 && age < timeout_ns) {
      ++result.pending;
    } else if (c.word->compare_exchange_strong(c.seen, c.seen & ~1u)) {
      ++result.abandoned;
    } else {
      ++result.pending;
    }
  }
  return result;
}

}  // namespace

std::string pool_segment_name(std::size_t chunk_size) {
  return "__CHUNK_INFO__" + std::to_string(chunk_size);
}

void* chunk_storages(std::size_t chunk_size, pool_access access) {
  pool_entry* entry = table().get(chunk_size, access);
  return entry == nullptr ? nullptr : entry->segment.get();
}

std::optional<storage_grant> acquire_storage(std::size_t size, std::uint32_t mask) {
  if (!size_acceptable(size)) return std::nullopt;
  const std::size_t chunk_size = chunk_size_for(size);
  pool_entry* entry = table().get(chunk_size, pool_access::kOpenOrCreate);
  if (entry == nullptr) return std::nullopt;
  void* pool = entry->segment.get();
  auto& header = *static_cast<pool_header*>(pool);
  free_list_state state;
  std::optional<std::uint8_t> id;
  bool taken_over;
  {
    const word_lock lock(header.lock);
    taken_over = lock.taken_over();
    state = prepare_free_list(header);
    id = take_chunk(header);
  }
  if (taken_over) {
    TRANSPORT_REPORT(log::kNotice,
                     "[id_pool::prepare] lock held too long, taken over: chunk_size = %zd\n",
                     chunk_size);
  }
  if (state == free_list_state::kRebuilt) {
    TRANSPORT_REPORT(log::kNotice, "[id_pool::prepare] invalid free-list detected, rebuild pool.");
  }
  if (!id) return std::nullopt;
  std::atomic_ref<std::uint32_t>(chunk_at(pool, chunk_size, *id)->receivers).store(mask);
  mark_handed_out(*entry, *id);
  return storage_grant{*id, chunk_message(pool, chunk_size, *id)};
}

std::uint8_t* find_storage(std::int32_t id, std::size_t size) {
  if (!id_acceptable(id) || !size_acceptable(size)) {
    TRANSPORT_REPORT(log::kFailure, "[find_storage] id is invalid: id = %ld, size = %zd\n",
                     static_cast<long>(id), size);
    return nullptr;
  }
  const std::size_t chunk_size = chunk_size_for(size);
  void* pool = chunk_storages(chunk_size, pool_access::kOpenExisting);
  return pool == nullptr ? nullptr : chunk_message(pool, chunk_size, id);
}

void recycle_storage(const recycle_record& record, std::size_t size) {
  if (!id_acceptable(record.id) || !size_acceptable(size)) {
    TRANSPORT_REPORT(log::kFailure, "[recycle_storage] id is invalid: id = %ld, size = %zd\n",
                     static_cast<long>(record.id), size);
    return;
  }
  const std::size_t chunk_size = chunk_size_for(size);
  void* pool = chunk_storages(chunk_size, pool_access::kOpenExisting);
  if (pool == nullptr) return;
  // Intersecting with the receivers of the moment also drops the claims of receivers that had
  // disconnected before this one took the message.
  drop_claims(pool, chunk_size, record.id, record.connections & ~record.own_bit);
}

void clear_message(const message_record& record, std::uint32_t unread) {
  if (record.storage != 1) return;
  const auto length = static_cast<std::int32_t>(static_cast<std::uint32_t>(record.remain) + 64u);
  if (length <= 0) {
    TRANSPORT_REPORT(log::kFailure, "[clear_message] invalid msg size: %d\n", length);
    return;
  }
  std::int32_t id;
  std::memcpy(&id, record.data, sizeof id);
  const auto size = static_cast<std::size_t>(length);
  if (!id_acceptable(id) || !size_acceptable(size)) {
    TRANSPORT_REPORT(log::kFailure, "[release_storage] id is invalid: id = %ld, size = %zd\n",
                     static_cast<long>(id), size);
    return;
  }
  if (unread == 0) return;  // every receiver took it; their buffers give the chunk back
  const std::size_t chunk_size = chunk_size_for(size);
  void* pool = chunk_storages(chunk_size, pool_access::kOpenExisting);
  if (pool == nullptr) return;
  drop_claims(pool, chunk_size, id, ~unread);
}

void return_storage(std::int32_t id, std::size_t size) {
  if (!id_acceptable(id) || !size_acceptable(size)) return;
  const std::size_t chunk_size = chunk_size_for(size);
  pool_entry* entry = table().get(chunk_size, pool_access::kOpenExisting);
  if (entry == nullptr) return;
  void* pool = entry->segment.get();
  // Before the chunk is free again: a grant made after it must stay marked.
  entry->handed_out[static_cast<std::size_t>(id)].fetch_and(~1u);
  std::atomic_ref<std::uint32_t>(chunk_at(pool, chunk_size, id)->receivers).store(0);
  free_chunk(pool, static_cast<std::uint8_t>(id));
}

bool await_storage_release(std::uint32_t timeout_ms) {
  if (!any_handed_out.load()) return true;
  const std::int64_t timeout_ns = std::int64_t{timeout_ms} * 1'000'000;
  std::uint32_t abandoned = 0;
  std::uint32_t k = 0;
  for (;;) {
    const sweep_result swept = sweep_grants(timeout_ns);
    abandoned += swept.abandoned;
    if (swept.pending == 0) break;
    back_off(k);
  }
  if (abandoned != 0) {
    TRANSPORT_REPORT(log::kNotice,
                     "[await_storage_release] %u chunks still claimed %u ms after they were sent\n",
                     abandoned, timeout_ms);
  }
  return abandoned == 0;
}

void set_storage_clock(monotonic_clock clock) {
  storage_clock.store(clock != nullptr ? clock : &steady_ns);
}

}  // namespace transport
