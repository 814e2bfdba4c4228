#include "transport/message.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "transport/limits.h"
#include "transport/receive_cache.h"
#include "transport/utility/log.h"

namespace transport {

received_buffer::received_buffer(received_buffer&& other) noexcept {
  *this = std::move(other);
}

received_buffer& received_buffer::operator=(received_buffer&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = other.data_;
    size_ = other.size_;
    owned_ = std::move(other.owned_);
    viewed_ = other.viewed_;
    recycle_ = other.recycle_;
    other.data_ = nullptr;
    other.size_ = 0;
    other.viewed_ = false;
  }
  return *this;
}

received_buffer received_buffer::heap(std::unique_ptr<std::uint8_t[]> bytes, std::size_t size) {
  received_buffer buffer;
  buffer.data_ = bytes.get();
  buffer.size_ = size;
  buffer.owned_ = std::move(bytes);
  return buffer;
}

received_buffer received_buffer::chunk_view(const std::uint8_t* data, std::size_t size,
                                            const recycle_record& record) {
  received_buffer buffer;
  buffer.data_ = data;
  buffer.size_ = size;
  buffer.viewed_ = true;
  buffer.recycle_ = record;
  return buffer;
}

void received_buffer::reset() {
  if (viewed_) recycle_storage(recycle_, size_);
  viewed_ = false;
  owned_.reset();
  data_ = nullptr;
  size_ = 0;
}

namespace {

enum class queue_mode { kForce, kGiveUp };

// Waits for a free slot and pushes one record, then wakes the receivers.
bool queue_record(channel& h, const message_record& record, std::size_t size,
                  std::uint32_t timeout_ms, queue_mode mode) {
  bool pushed = false;
  const bool waited = h.write_waiter().wait_while(
      [&] {
        pushed = h.push(record);
        return !pushed;
      },
      timeout_ms);
  if (!waited) {
    if (mode == queue_mode::kGiveUp) return false;
    TRANSPORT_REPORT(log::kNotice, "force_push: msg_id = %zd, remain = %d, size = %zd\n",
                     static_cast<std::size_t>(record.msg_id), record.remain, size);
    if (!h.force_push(record)) return false;
  } else if (!pushed) {
    // The wait ended because the object was disconnected: nothing was queued.
    return false;
  }
  h.read_waiter().broadcast();
  return true;
}

bool send_message(channel* h, const void* data, std::size_t size, std::uint32_t timeout_ms,
                  queue_mode mode) {
  if (data == nullptr || size == 0) {
    TRANSPORT_REPORT(log::kFailure, "fail: send(%p, %zd)\n", data, size);
    return false;
  }
  if (h == nullptr) {
    TRANSPORT_REPORT(log::kFailure, "fail: send, queue_of(h) == nullptr\n");
    return false;
  }
  if (h->ring() == nullptr) {
    TRANSPORT_REPORT(log::kFailure, "fail: send, queue_of(h)->elems() == nullptr\n");
    return false;
  }
  if (size > kMaxMessageSize) {
    TRANSPORT_REPORT(log::kFailure, "fail: send(%p, %zd), longer than %zd\n", data, size,
                     kMaxMessageSize);
    return false;
  }
  const std::uint32_t connections = ring_connections(*h->ring());
  if (connections == 0) {
    TRANSPORT_REPORT(log::kFailure, "fail: send, there is no receiver on this connection.\n");
    return false;
  }
  std::uint32_t* counter = h->message_counter();
  if (counter == nullptr) {
    TRANSPORT_REPORT(log::kFailure, "fail: send, info_of(h)->acc() == nullptr\n");
    return false;
  }
  message_record record{};
  record.sender_id = h->connection_id();
  record.msg_id = std::atomic_ref<std::uint32_t>(*counter).fetch_add(1);
  const auto* bytes = static_cast<const std::uint8_t*>(data);

  if (size > kRecordDataLength && size <= kMaxStoredMessageSize) {
    if (const auto grant = acquire_storage(size, connections)) {
      std::memcpy(grant->message, bytes, size);
      record.remain = static_cast<std::int32_t>(size - kRecordDataLength);
      record.storage = 1;
      std::memcpy(record.data, &grant->id, sizeof grant->id);
      if (queue_record(*h, record, size, timeout_ms, mode)) return true;
      // No receiver will ever see this chunk.
      return_storage(grant->id, size);
      return false;
    }
  }

  for (std::size_t offset = 0; offset < size; offset += kRecordDataLength) {
    const std::size_t length = std::min(kRecordDataLength, size - offset);
    record.remain =
        static_cast<std::int32_t>(size - offset) - static_cast<std::int32_t>(kRecordDataLength);
    std::memset(record.data, 0, sizeof record.data);
    std::memcpy(record.data, bytes + offset, length);
    if (!queue_record(*h, record, size, timeout_ms, mode)) return false;
  }
  return true;
}

// The fragment length a record announces, computed as the sending side wrote it (32-bit, wrapping).
std::int32_t fragment_length(const message_record& record) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(record.remain) + 64u);
}

}  // namespace

bool send(channel* h, const void* data, std::size_t size, std::uint32_t timeout_ms) {
  return send_message(h, data, size, timeout_ms, queue_mode::kForce);
}

bool try_send(channel* h, const void* data, std::size_t size, std::uint32_t timeout_ms) {
  return send_message(h, data, size, timeout_ms, queue_mode::kGiveUp);
}

received_buffer recv(channel* h, std::uint32_t timeout_ms) {
  if (h == nullptr) {
    TRANSPORT_REPORT(log::kFailure, "fail: recv, queue_of(h) == nullptr\n");
    return {};
  }
  const std::uint32_t own_bit = h->receiver_bit();
  receive_cache& cache = h->fragments();
  if (own_bit == 0) {
    // Not a receiver (any more): what was put together so far will never be completed.
    cache.clear();
    return {};
  }
  for (;;) {
    std::optional<message_record> popped;
    const bool waited = h->read_waiter().wait_while(
        [&] {
          popped = h->pop();
          return !popped.has_value();
        },
        timeout_ms);
    if (!waited || !popped) return {};
    const message_record& record = *popped;
    h->write_waiter().broadcast();

    if (h->message_counter() != nullptr && record.sender_id == h->connection_id()) continue;
    const bool may_have_missed_start = h->may_have_missed(record.msg_id);

    const std::int32_t length = fragment_length(record);
    if (length <= 0 || static_cast<std::size_t>(length) > kMaxMessageSize) {
      TRANSPORT_REPORT(log::kFailure, "fail: recv, r_size = %d\n", length);
      return {};
    }
    const auto size = static_cast<std::size_t>(length);

    if (record.storage == 1) {
      std::int32_t id;
      std::memcpy(&id, record.data, sizeof id);
      if (const std::uint8_t* message = find_storage(id, size)) {
        return received_buffer::chunk_view(
            message, size, recycle_record{id, ring_connections(*h->ring()), own_bit});
      }
      TRANSPORT_REPORT(log::kNotice,
                       "fail: shm::handle for large message. msg_id: %zd, buf_id: %zd, size: %zd\n",
                       static_cast<std::size_t>(record.msg_id), static_cast<std::size_t>(id), size);
      continue;
    }

    if (receive_cache::message* partial = cache.find(record.msg_id)) {
      // A fragment continues the message only where the last one ended; anything else means a
      // fragment went missing, and a message with holes is never handed out, nor is any of
      // its later fragments taken for a message of its own.
      const std::int64_t offset = static_cast<std::int64_t>(partial->size) -
                                  static_cast<std::int64_t>(kRecordDataLength) - record.remain;
      if (partial->bytes && offset != static_cast<std::int64_t>(partial->filled)) {
        cache.mark_broken(*partial);
      }
      if (!partial->bytes) {
        if (record.remain <= 0) cache.take(record.msg_id);
        continue;
      }
      const std::size_t n = std::min(kRecordDataLength, size);
      std::memcpy(partial->bytes.get() + partial->filled, record.data, n);
      partial->filled += n;
      if (partial->filled < partial->size) continue;
      const std::size_t total = partial->size;
      return received_buffer::heap(cache.take(record.msg_id), total);
    }

    // A message sent while this receiver connected may have begun before it: its remaining
    // fragments would pass for a message of their own.
    if (may_have_missed_start) continue;

    if (size <= kRecordDataLength) {
      std::unique_ptr<std::uint8_t[]> copy(new (std::nothrow) std::uint8_t[size]);
      if (!copy) continue;
      std::memcpy(copy.get(), record.data, size);
      return received_buffer::heap(std::move(copy), size);
    }
    receive_cache::message* started = cache.start(record.msg_id, size);
    if (started == nullptr) {
      TRANSPORT_REPORT(log::kFailure, "fail: recv, cannot hold a message of %zd bytes\n", size);
      continue;
    }
    std::memcpy(started->bytes.get(), record.data, kRecordDataLength);
    started->filled = kRecordDataLength;
  }
}

}  // namespace transport
