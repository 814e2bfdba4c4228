#pragma once

// The pool of large-message chunks of one chunk size: the byte layout shared by every process,
// and the free list kept in its header. A message longer than one ring record is copied into a
// chunk once, and only the chunk's storage id travels through the ring.
//
// The functions here work on any memory laid out as below; every shared byte is read once,
// atomically, and checked before it is used as an index.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace transport {

inline constexpr std::uint32_t kChunkCount = 32;    // ids fit in one byte
inline constexpr std::uint8_t kEndOfFreeList = 32;  // link and cursor value: no (further) chunk
inline constexpr std::size_t kChunkHeaderSize = 8;
inline constexpr std::size_t kChunkGranule = 1024;

// The chunk header plus the message, rounded up to a multiple of 1024. The sender and every
// receiver compute it from the same message length.
constexpr std::size_t chunk_size_for(std::size_t message_size) {
  return ((message_size + 7) & ~(kChunkGranule - 1)) + kChunkGranule;
}

struct pool_header {
  std::uint8_t free_list[kChunkCount];  // per chunk id: the id of the next free chunk
  std::uint8_t cursor;                  // first free chunk id
  std::uint8_t prepared;                // the free list has been built
  std::uint8_t padding[2];
  std::uint32_t lock;  // spin lock guarding the bytes above
};

struct chunk_header {
  std::uint32_t receivers;  // receivers that have not yet released the message
  std::uint8_t padding[4];
};

inline constexpr std::size_t kPoolHeaderSize = 40;

static_assert(sizeof(pool_header) == kPoolHeaderSize);
static_assert(offsetof(pool_header, free_list) == 0);
static_assert(offsetof(pool_header, cursor) == 32);
static_assert(offsetof(pool_header, prepared) == 33);
static_assert(offsetof(pool_header, padding) == 34);
static_assert(offsetof(pool_header, lock) == 36);
static_assert(sizeof(chunk_header) == kChunkHeaderSize);
static_assert(offsetof(chunk_header, receivers) == 0);
static_assert(chunk_size_for(65) == 1024 && chunk_size_for(1016) == 1024);
static_assert(chunk_size_for(1017) == 2048 && chunk_size_for(65536) == 66560);

constexpr std::size_t pool_segment_size(std::size_t chunk_size) {
  return chunk_size * kChunkCount + kPoolHeaderSize;
}

inline chunk_header* chunk_at(void* pool, std::size_t chunk_size, std::uint32_t id) {
  return reinterpret_cast<chunk_header*>(static_cast<std::uint8_t*>(pool) + kPoolHeaderSize +
                                         std::size_t{id} * chunk_size);
}

inline std::uint8_t* chunk_message(void* pool, std::size_t chunk_size, std::uint32_t id) {
  return reinterpret_cast<std::uint8_t*>(chunk_at(pool, chunk_size, id)) + kChunkHeaderSize;
}

// What preparing the free list found.
enum class free_list_state {
  kValid,    // prepared and intact
  kBuilt,    // first use of the pool: linked in order
  kRebuilt,  // prepared but broken (a cycle, a link out of range): linked again
};

// The caller holds the pool's lock for these three.
free_list_state prepare_free_list(pool_header& pool);
std::optional<std::uint8_t> take_chunk(pool_header& pool);
void put_chunk(pool_header& pool, std::uint8_t id);

}  // namespace transport
