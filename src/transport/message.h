#pragma once

// Messages of any length over a channel's ring. A message of up to 64 bytes travels in one
// record; a longer one in a shared chunk whose storage id travels in the ring, or, when no chunk
// is free, as 64-byte fragments with one message id that each receiver puts together again.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "transport/channel.h"
#include "transport/chunk_storage.h"

namespace transport {

// A received message. Dropping it runs its release: a heap copy is freed, a view into a shared
// chunk gives this receiver's claim on the chunk back. Empty (no data, length 0) when nothing was
// received.
//
// The bytes of a chunk view lie in memory every process on the machine can write: treat them as
// untrusted input, and read them once.
class received_buffer {
 public:
  received_buffer() = default;
  ~received_buffer() { reset(); }
  received_buffer(received_buffer&& other) noexcept;
  received_buffer& operator=(received_buffer&& other) noexcept;
  received_buffer(const received_buffer&) = delete;
  received_buffer& operator=(const received_buffer&) = delete;

  static received_buffer heap(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size);
  static received_buffer chunk_view(const std::uint8_t* data, std::size_t size,
                                    const recycle_record& record);

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool is_chunk_view() const { return viewed_; }

  // Runs the release now; the buffer is empty afterwards.
  void reset();

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::unique_ptr<std::uint8_t[]> owned_;
  bool viewed_ = false;
  recycle_record recycle_{};
};

// Delivers one message to every connected receiver. Waits up to `timeout_ms` for each free
// slot (several condition waits of at most that long each) and then forces the record in,
// dropping the receivers that have not read that slot. True when the whole message was queued.
bool send(channel* h, const void* data, std::size_t size, std::uint32_t timeout_ms);

// The same without forcing: false when a slot does not become free in time.
bool try_send(channel* h, const void* data, std::size_t size, std::uint32_t timeout_ms);

// The next complete message for this receiver, waiting up to `timeout_ms` per wait, or an empty
// buffer: time-out, not connected as receiver, disconnected meanwhile, or a record no sender
// can have made. Own messages of the same object are skipped.
received_buffer recv(channel* h, std::uint32_t timeout_ms);

}  // namespace transport
