#pragma once

// A spin lock word inside a shared segment, taken with the protocol of spin_lock (exchange 1 to
// take it, store 0 to give it back), so processes that use spin_lock on the same word agree.
//
// Unlike spin_lock it does not wait forever. Its holders keep it for a few instructions; a word
// that stays held for a whole takeover period belongs to a process that died inside the lock, or
// to a segment whose bytes were overwritten, and waiting for it would hang every process that
// uses the segment. It is then taken over, and the caller is told so.

#include <cstdint>

namespace transport {

class word_lock {
 public:
  explicit word_lock(std::uint32_t& word);
  ~word_lock();
  word_lock(const word_lock&) = delete;
  word_lock& operator=(const word_lock&) = delete;

  // The previous holder never gave the word back.
  bool taken_over() const { return taken_over_; }

 private:
  std::uint32_t& word_;
  bool taken_over_ = false;
};

// How long a held word is waited for before it is taken over (default 1000 ms). Tests and the
// fuzz target shorten it; it is not meant to change while locks are being taken.
void set_word_lock_takeover_ms(std::uint32_t milliseconds);
std::uint32_t word_lock_takeover_ms();

}  // namespace transport
