#include "transport/ring.h"

#include <cstring>

#include "transport/backoff.h"
#include "transport/utility/log.h"
#include "transport/word_lock.h"

namespace transport {
namespace {

template <typename T>
std::atomic_ref<T> atomic(T& value) {
  return std::atomic_ref<T>(value);
}

// The layout is shared with other processes; reading through a const view still needs a plain
// reference for atomic_ref, and only loads are made through it.
template <typename T>
std::atomic_ref<T> atomic(const T& value) {
  return std::atomic_ref<T>(const_cast<T&>(value));
}

std::uint8_t epoch_byte(std::uint64_t epoch) {
  return static_cast<std::uint8_t>(epoch >> 56);
}

// The copy is what the caller looks at from here on; the fence keeps the compiler from reading
// the shared bytes again in its place, as they may change at any time.
message_record copy_record(const ring_slot& slot) {
  message_record record;
  std::memcpy(&record, &slot.record, sizeof record);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return record;
}

// The slot was claimed for cursor `c` by a swap of its read word: only this sender touches it
// until its commit flag says the record is complete.
void fill_slot(ring_slot& slot, std::uint32_t c, const message_record& record) {
  std::memcpy(&slot.record, &record, sizeof record);
  atomic(slot.commit).store(committed_flag(c), std::memory_order_release);
}

}  // namespace

void ring_initialise(ring_segment& ring) {
  if (atomic(ring.constructed).load(std::memory_order_acquire) != 0) return;
  const word_lock lock(ring.init_lock);
  if (atomic(ring.constructed).load(std::memory_order_acquire) == 0) {
    atomic(ring.connections).store(0);
    atomic(ring.constructed).store(1, std::memory_order_release);
  }
}

std::uint32_t ring_connections(const ring_segment& ring) {
  return atomic(ring.connections).load();
}

std::uint32_t ring_commit_cursor(const ring_segment& ring) {
  return atomic(ring.commit_cursor).load();
}

bool ring_push(ring_segment& ring, const message_record& record) {
  std::uint64_t e = atomic(ring.epoch).load();
  std::uint32_t k = 0;
  for (;;) {
    const std::uint32_t cc = atomic(ring.connections).load();
    if (cc == 0) return false;
    const std::uint32_t c = atomic(ring.commit_cursor).load();
    ring_slot& slot = ring.slots[c % kRingSlotCount];
    std::uint64_t r = atomic(slot.read).load();
    const std::uint32_t m = read_word::mask(r);
    // A connected receiver has not read the record of the previous round yet.
    if ((cc & m) != 0 && read_word::epoch(r) == epoch_byte(e)) return false;
    if (m == 0) {
      const std::uint64_t f = atomic(slot.commit).load(std::memory_order_acquire);
      if (f != c && f != 0) return false;
    }
    const std::uint64_t claimed = read_word::make(epoch_byte(e), read_word::counter(r) + 1, cc);
    if (atomic(slot.read).compare_exchange_strong(r, claimed)) {
      const std::uint64_t now = atomic(ring.epoch).load();
      if (now == e) {
        atomic(ring.commit_cursor).store(c + 1);
        fill_slot(slot, c, record);
        return true;
      }
      // A forced push happened meanwhile; the claim carries a stale epoch and is taken again.
      e = now;
      continue;
    }
    back_off(k);
  }
}

bool ring_force_push(ring_segment& ring, const message_record& record,
                     overwrite_hook on_overwrite) {
  std::uint64_t e = atomic(ring.epoch).fetch_add(kEpochStep) + kEpochStep;
  std::uint32_t k = 0;
  for (;;) {
    std::uint32_t cc = atomic(ring.connections).load();
    if (cc == 0) return false;
    const std::uint32_t c = atomic(ring.commit_cursor).load();
    ring_slot& slot = ring.slots[c % kRingSlotCount];
    std::uint64_t r = atomic(slot.read).load();
    const std::uint32_t m = read_word::mask(r);
    if ((cc & m) != 0) {
      TRANSPORT_REPORT(log::kNotice, "force_push: k = %u, cc = %u, rem_cc = %u\n", k, cc, m);
      cc = atomic(ring.connections).fetch_and(~m) & ~m;
      if (cc == 0) return false;
    }
    const std::uint64_t claimed = read_word::make(epoch_byte(e), read_word::counter(r) + 1, cc);
    if (atomic(slot.read).compare_exchange_strong(r, claimed)) {
      if (atomic(ring.epoch).load() == e) {
        atomic(ring.commit_cursor).store(c + 1);
        const message_record old = copy_record(slot);
        if (old.storage == 1 && on_overwrite != nullptr) on_overwrite(old, m);
        fill_slot(slot, c, record);
        return true;
      }
      if (ring_push(ring, record)) return true;
      e = atomic(ring.epoch).fetch_add(kEpochStep) + kEpochStep;
      continue;
    }
    back_off(k);
  }
}

std::uint32_t ring_claim_receiver(ring_segment& ring) {
  std::uint32_t old = atomic(ring.connections).load();
  std::uint32_t k = 0;
  for (;;) {
    if (old == 0xFFFFFFFFu) return 0;
    if (atomic(ring.connections).compare_exchange_strong(old, old | (old + 1))) {
      return (old + 1) & ~old;
    }
    back_off(k);
  }
}

void ring_release_receiver(ring_segment& ring, std::uint32_t bit) {
  atomic(ring.connections).fetch_and(~bit);
}

void ring_forget_stale_reads(ring_segment& ring, std::uint32_t bit, std::uint32_t cursor) {
  for (ring_slot& slot : ring.slots) {
    std::uint32_t k = 0;
    for (;;) {
      std::uint64_t r = atomic(slot.read).load();
      if ((read_word::mask(r) & bit) == 0) break;
      std::uint64_t f = atomic(slot.commit).load(std::memory_order_acquire);
      // Only records completed for a cursor before this receiver's first one are stale; any
      // other state belongs to a push in progress or to a record this receiver will read.
      if ((f >> 32) != 0xFFFFFFFFu) break;
      const std::uint32_t c = ~static_cast<std::uint32_t>(f);
      if (static_cast<std::int32_t>(c - cursor) >= 0) break;
      const std::uint32_t left = read_word::mask(r) & ~bit;
      if (atomic(slot.read).compare_exchange_strong(
              r, read_word::make(read_word::epoch(r), read_word::counter(r) + 1, left))) {
        // The slot is free for the sender of the next round unless a sender got there first.
        if (left == 0) atomic(slot.commit).compare_exchange_strong(f, released_flag(c + 256));
        break;
      }
      back_off(k);
    }
  }
}

std::optional<message_record> ring_pop(ring_segment& ring, std::uint32_t bit,
                                       std::uint32_t& cursor) {
  ring_slot& slot = ring.slots[cursor % kRingSlotCount];
  if (atomic(slot.commit).load(std::memory_order_acquire) != committed_flag(cursor)) {
    return std::nullopt;
  }
  cursor += 1;
  const message_record record = copy_record(slot);
  // The next round's sender may fill the slot once it is released: cursor + 255 is the old
  // cursor plus 256.
  const std::uint64_t released = released_flag(cursor + 255);
  std::uint32_t k = 0;
  for (;;) {
    std::uint64_t r = atomic(slot.read).load();
    if (read_word::mask(r) == 0) {
      atomic(slot.commit).store(released, std::memory_order_release);
      return record;
    }
    const std::uint32_t left = read_word::mask(r) & ~bit;
    if (left == 0) atomic(slot.commit).store(released, std::memory_order_release);
    if (atomic(slot.read).compare_exchange_strong(
            r, read_word::make(read_word::epoch(r), read_word::counter(r) + 1, left))) {
      return record;
    }
    back_off(k);
  }
}

}  // namespace transport
