#pragma once

// Large-message storage: a message longer than one ring record is copied once into a chunk of a
// shared pool, and only the chunk's storage id travels through the ring. Every receiver reads the
// message in place and gives its claim back when it releases its buffer. One pool per chunk
// size, each a global segment "__CHUNK_INFO__<chunk size>" with room for 32 chunks, reached
// through a process-wide table; a pool stays mapped for the life of the process.
//
// When no chunk is free the sender cuts the message into fragments instead, so this storage
// never makes a send fail.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "transport/chunk_pool.h"
#include "transport/ring.h"

namespace transport {

// Attached to every received buffer that views a chunk.
struct recycle_record {
  std::int32_t id;            // storage id
  std::uint32_t connections;  // the channel's receivers when the message was taken
  std::uint32_t own_bit;      // the receiver that took it
};

enum class pool_access {
  kOpenOrCreate,  // senders
  kOpenExisting,  // receivers: a pool nobody holds has no message in it
};

// The mapped pool for one chunk size, opening it on first use; null when it cannot be had.
void* chunk_storages(std::size_t chunk_size, pool_access access = pool_access::kOpenOrCreate);

struct storage_grant {
  std::int32_t id;
  std::uint8_t* message;  // where the message bytes go
};

// A free chunk for a message of `size` bytes, claimed by the receivers in `mask`; nothing when
// the pool has no free chunk or cannot be had.
std::optional<storage_grant> acquire_storage(std::size_t size, std::uint32_t mask);

// The message bytes of chunk `id` in the pool for `size`-byte messages, or null.
std::uint8_t* find_storage(std::int32_t id, std::size_t size);

// Removes one receiver's claim; the receiver that removes the last one returns the chunk.
void recycle_storage(const recycle_record& record, std::size_t size);

// A forced push is about to overwrite `record`: the receivers in `unread` will never read it,
// so their claims go. The chunk is returned when no claim is left.
void clear_message(const message_record& record, std::uint32_t unread);

// Returns a chunk that never reached the ring (its record could not be queued).
void return_storage(std::int32_t id, std::size_t size);

// A pool segment lives only while some process holds it, and a receiver maps a pool only when a
// message in it reaches the front of its ring: a sender that exits before its receivers got that
// far takes their messages with it. This waits until the receivers have released every chunk
// this process handed to a send, each for at most `timeout_ms` after it was handed out; a chunk
// still claimed then belongs to a receiver that is stuck or gone, and is forgotten. True when
// nothing was given up. A process that sent no long message, or whose receivers have released
// everything, returns at once without reading the clock. (A chunk released and handed out again
// by another process counts as claimed until its new receivers release it, within the same
// bound.)
bool await_storage_release(std::uint32_t timeout_ms);

// Nanoseconds of a monotonic clock.
using monotonic_clock = std::int64_t (*)();
// Replaces the clock that times chunks from their grant (null: the steady clock). Tests; set it
// before the first long message is sent.
void set_storage_clock(monotonic_clock clock);

std::string pool_segment_name(std::size_t chunk_size);

}  // namespace transport
