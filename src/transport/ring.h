#pragma once

// The message ring of a channel: the byte layout every process that uses a channel shares, and
// the lock-free push, forced push and pop of one 80-byte record. The functions work on any
// memory laid out as below (a mapped segment, or plain memory in tests).
//
// Every field is read and written through atomic operations: the segment is shared with every
// process on the machine, so its content is never trusted to stay what it was when last read.

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace transport {

static_assert(std::endian::native == std::endian::little, "the shared layouts are little-endian");

inline constexpr std::size_t kRecordDataLength = 64;
inline constexpr std::size_t kRecordDataAlignment = 8;
inline constexpr std::uint32_t kRingSlotCount = 256;
inline constexpr std::uint32_t kMaxReceivers = 32;

// One record of the ring. A message of up to 64 bytes travels in one record; a longer one as a
// storage id (chunk_storage.h) or as a run of 64-byte fragments with the same message id.
struct message_record {
  std::uint32_t sender_id;  // connection id of the sending channel object
  std::uint32_t msg_id;
  std::int32_t remain;      // total length - 64 - offset of this fragment
  std::uint8_t storage;     // 1: data holds a 32-bit storage id
  std::uint8_t padding[3];  // ignored by receivers
  alignas(kRecordDataAlignment) std::uint8_t data[kRecordDataLength];
};

// Read word of a slot: bits 0-31 the receivers that still have to read it, bits 32-55 a change
// counter, bits 56-63 the epoch byte of the push that filled it.
struct read_word {
  static constexpr std::uint32_t mask(std::uint64_t r) { return static_cast<std::uint32_t>(r); }
  static constexpr std::uint32_t counter(std::uint64_t r) {
    return static_cast<std::uint32_t>(r >> 32) & 0xFFFFFFu;
  }
  static constexpr std::uint8_t epoch(std::uint64_t r) {
    return static_cast<std::uint8_t>(r >> 56);
  }
  static constexpr std::uint64_t make(std::uint8_t epoch_byte, std::uint32_t change_counter,
                                      std::uint32_t receivers) {
    return (std::uint64_t{epoch_byte} << 56) | (std::uint64_t{change_counter & 0xFFFFFFu} << 32) |
           receivers;
  }
};

// Commit flag of a slot: 0 while never used; the complement of the slot's cursor value, taken as
// a 64-bit number, once the record for that cursor is complete; cursor + 256 (32-bit arithmetic)
// once every receiver has read it, which is the cursor value of the next sender allowed to fill it.
constexpr std::uint64_t committed_flag(std::uint32_t cursor) {
  return ~static_cast<std::uint64_t>(cursor);
}
constexpr std::uint64_t released_flag(std::uint32_t next_cursor) {
  return next_cursor;
}

struct ring_slot {
  message_record record;
  std::uint64_t read;
  std::uint64_t commit;
};

inline constexpr std::uint64_t kEpochStep = std::uint64_t{1} << 56;

struct ring_segment {
  std::uint32_t connections;  // bit mask of the connected receivers
  std::uint32_t init_lock;    // spin lock guarding the first initialisation
  std::uint8_t constructed;
  std::uint8_t reserved0[55];
  std::uint32_t commit_cursor;  // slots taken by senders so far
  std::uint8_t reserved1[60];
  std::uint64_t epoch;  // only the top byte is used
  std::uint8_t reserved2[56];
  ring_slot slots[kRingSlotCount];
  std::uint8_t reserved3[64];
};

inline constexpr std::size_t kRingSegmentSize = 24832;

static_assert(sizeof(message_record) == 80);
static_assert(offsetof(message_record, sender_id) == 0);
static_assert(offsetof(message_record, msg_id) == 4);
static_assert(offsetof(message_record, remain) == 8);
static_assert(offsetof(message_record, storage) == 12);
static_assert(offsetof(message_record, padding) == 13);
static_assert(offsetof(message_record, data) == 16);
static_assert(sizeof(ring_slot) == 96);
static_assert(offsetof(ring_slot, record) == 0);
static_assert(offsetof(ring_slot, read) == 80);
static_assert(offsetof(ring_slot, commit) == 88);
static_assert(sizeof(ring_segment) == kRingSegmentSize);
static_assert(offsetof(ring_segment, connections) == 0);
static_assert(offsetof(ring_segment, init_lock) == 4);
static_assert(offsetof(ring_segment, constructed) == 8);
static_assert(offsetof(ring_segment, reserved0) == 9);
static_assert(offsetof(ring_segment, commit_cursor) == 64);
static_assert(offsetof(ring_segment, reserved1) == 68);
static_assert(offsetof(ring_segment, epoch) == 128);
static_assert(offsetof(ring_segment, reserved2) == 136);
static_assert(offsetof(ring_segment, slots) == 192);
static_assert(offsetof(ring_segment, reserved3) == 24768);
static_assert(read_word::make(0xAB, 0x123456, 0x89ABCDEF) == 0xAB12345689ABCDEFull);
static_assert(std::atomic_ref<std::uint64_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);

// What a forced push does with the record it overwrites: `unread` are the receivers that had not
// read it (they are dropped from the channel).
using overwrite_hook = void (*)(const message_record& overwritten, std::uint32_t unread);

// First use of a freshly mapped ring: whoever maps it first clears the connections word.
void ring_initialise(ring_segment& ring);

// Puts one record into the next slot. False when no receiver is connected or the slot still
// holds a record that a connected receiver has not read (the ring is full for it).
bool ring_push(ring_segment& ring, const message_record& record);

// Puts one record into the next slot even when the ring is full: the receivers that had not
// read that slot lose their connection. False when no receiver is left.
bool ring_force_push(ring_segment& ring, const message_record& record, overwrite_hook on_overwrite);

// Claims the lowest free receiver bit; 0 when all 32 are taken.
std::uint32_t ring_claim_receiver(ring_segment& ring);

// A new receiver must not be held to slots it will never read: clears `bit` from every slot
// completed before `cursor` (left behind by an earlier holder of the same bit).
void ring_forget_stale_reads(ring_segment& ring, std::uint32_t bit, std::uint32_t cursor);

// Gives a receiver bit up.
void ring_release_receiver(ring_segment& ring, std::uint32_t bit);

// Takes the record at `cursor` for the receiver `bit` and advances `cursor`, or nothing when no
// new record is complete there.
std::optional<message_record> ring_pop(ring_segment& ring, std::uint32_t bit,
                                       std::uint32_t& cursor);

std::uint32_t ring_connections(const ring_segment& ring);
std::uint32_t ring_commit_cursor(const ring_segment& ring);

}  // namespace transport
