#include "transport/chunk_pool.h"

namespace transport {
namespace {

std::uint8_t load(std::uint8_t& byte) {
  return std::atomic_ref<std::uint8_t>(byte).load(std::memory_order_relaxed);
}

void store(std::uint8_t& byte, std::uint8_t value) {
  std::atomic_ref<std::uint8_t>(byte).store(value, std::memory_order_relaxed);
}

// Valid when the list from the cursor reaches its end within 33 steps, without a link to itself
// and without a value past the end.
bool free_list_valid(pool_header& pool) {
  std::uint8_t id = load(pool.cursor);
  for (std::uint32_t step = 0; step <= kChunkCount; ++step) {
    if (id == kEndOfFreeList) return true;
    if (id > kEndOfFreeList) return false;
    const std::uint8_t next = load(pool.free_list[id]);
    if (next == id) return false;
    id = next;
  }
  return false;
}

}  // namespace

free_list_state prepare_free_list(pool_header& pool) {
  const bool prepared = load(pool.prepared) != 0;
  if (prepared && free_list_valid(pool)) return free_list_state::kValid;
  for (std::uint8_t i = 0; i < kChunkCount; ++i) store(pool.free_list[i], i + 1);
  // A cursor past the end cannot be an index: the pool starts again as a new one, all free.
  if (load(pool.cursor) > kEndOfFreeList) store(pool.cursor, 0);
  store(pool.prepared, 1);
  return prepared ? free_list_state::kRebuilt : free_list_state::kBuilt;
}

std::optional<std::uint8_t> take_chunk(pool_header& pool) {
  const std::uint8_t id = load(pool.cursor);
  if (id >= kEndOfFreeList) return std::nullopt;
  store(pool.cursor, load(pool.free_list[id]));
  return id;
}

void put_chunk(pool_header& pool, std::uint8_t id) {
  if (id >= kChunkCount) return;
  store(pool.free_list[id], load(pool.cursor));
  store(pool.cursor, id);
}

}  // namespace transport
