#pragma once

// A channel: a named, many-to-many broadcast queue in shared memory. Any number of processes send
// on it; up to 32 receivers are connected at a time, and each gets every record pushed while it
// is connected. Processes meet by using the same name and global flag, which makes them open the
// same segments and synchronisation objects.
//
// A channel object is one process's use of a channel. It may push from several threads; popping
// (and putting fragments together) belongs to one thread. `disconnect` may come from any thread
// and wakes every waiting one.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "transport/receive_cache.h"
#include "transport/ring.h"
#include "transport/shm.h"
#include "transport/sync.h"

namespace transport {

class channel {
 public:
  channel(const channel&) = delete;
  channel& operator=(const channel&) = delete;
  ~channel();

  // Registers the object as a receiver; true when it holds a receiver bit. It sees only records
  // pushed after it connected.
  bool connect_receiver();
  // Prepares the object for sending; true with a ring. A receiver bit it holds is given up by
  // `disconnect`, with what that means for its waits.
  bool connect_sender();
  // Gives the receiver bit up and wakes every thread waiting on the object; their waits end,
  // and later waits on this object no longer block (a new object waits again).
  void disconnect();

  // One record. Push fails when no receiver is connected or the ring is full for one of them;
  // a forced push then drops the receivers that have not read the slot, and fails when none is
  // left. Pop returns the next record for this receiver, or nothing.
  bool push(const message_record& record);
  bool force_push(const message_record& record);
  std::optional<message_record> pop();

  const std::string& name() const { return name_; }
  std::uint32_t connection_id() const { return connection_id_; }
  std::uint32_t receiver_bit() const { return receiver_bit_.load(); }
  // Null when the ring could not be opened.
  ring_segment* ring() const { return ring_; }
  // The channel's message-id counter, null when it could not be opened.
  std::uint32_t* message_counter() const;

  // Whether message `msg_id` may have started before this receiver connected. Only messages
  // numbered within 2^24 before the counter value at connection are; later ids end the check.
  bool may_have_missed(std::uint32_t msg_id);

  // Fragments being put together; for the popping thread only.
  receive_cache& fragments() { return fragments_; }

  waiter& connection_waiter() { return connection_waiter_; }
  waiter& write_waiter() { return write_waiter_; }
  waiter& read_waiter() { return read_waiter_; }

 private:
  channel() = default;
  friend channel* channel_open(std::string_view name, bool global);

  std::string name_;
  std::uint32_t connection_id_ = 0;
  waiter connection_waiter_;
  waiter write_waiter_;
  waiter read_waiter_;
  shm::handle message_counter_;
  // Queue part. The bit is read by the popping thread and cleared by `disconnect` from any.
  std::atomic<std::uint32_t> receiver_bit_{0};
  // The objects of a process on one ring share its mapping.
  std::shared_ptr<shm::handle> ring_segment_;
  ring_segment* ring_ = nullptr;
  std::uint32_t read_cursor_ = 0;
  // Used by the popping thread only.
  std::uint32_t first_msg_id_ = 0;
  bool screening_ = false;
  receive_cache fragments_;
};

// Opens the channel `name` in the global or the session namespace. Always returns an object;
// a part that cannot be opened is missing, and the operations that need it fail.
channel* channel_open(std::string_view name, bool global);
// Disconnects, releases the segments and waiters, and frees the object. Null is ignored.
void channel_close(channel* h);

struct channel_closer {
  void operator()(channel* h) const { channel_close(h); }
};
using channel_ptr = std::unique_ptr<channel, channel_closer>;

// The names of a channel's segments and waiters.
std::string ring_segment_name(std::string_view channel_name);

}  // namespace transport
