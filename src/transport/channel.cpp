#include "transport/channel.h"

#include <map>
#include <mutex>
#include <utility>

#include "transport/chunk_storage.h"
#include "transport/utility/log.h"

namespace transport {
namespace {

constexpr std::size_t kCounterSize = 4;

// The process's connection counter: every channel object takes its connection id from it. The
// segment lies in the namespace of the first channel the process opens.
std::uint32_t next_connection_id(bool global) {
  static std::mutex mutex;
  static shm::handle* counter = nullptr;
  const std::lock_guard lock(mutex);
  if (counter == nullptr) {
    // Kept for the life of the process: ids must stay unique while any object lives.
    counter = new shm::handle;
    counter->acquire("__CA_CONN__", kCounterSize, global);
  }
  void* word = counter->get();
  if (word == nullptr) return 0;
  return std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(word)).fetch_add(1);
}

void release_overwritten_chunk(const message_record& overwritten, std::uint32_t unread) {
  clear_message(overwritten, unread);
}

// The ring mapped once per process, shared by every object on it, so that a process sees each
// slot at one address (also what lets ThreadSanitizer follow the ordering between its threads).
std::shared_ptr<shm::handle> map_ring(const std::string& ring_name, bool global) {
  static std::mutex mutex;
  static auto* const rings = new std::map<std::pair<std::string, bool>, std::weak_ptr<shm::handle>>;
  const std::lock_guard lock(mutex);
  std::erase_if(*rings, [](const auto& entry) { return entry.second.expired(); });
  if (auto ring = (*rings)[{ring_name, global}].lock()) return ring;
  auto ring = std::make_shared<shm::handle>();
  if (!ring->acquire(ring_name, kRingSegmentSize, global)) {
    TRANSPORT_REPORT(log::kFailure, "fail acquire elems: %s\n", ring_name.c_str());
    rings->erase({ring_name, global});
    return nullptr;
  }
  // An existing segment keeps its creator's size; one too small for a ring is not used.
  if (ring->size() < kRingSegmentSize) {
    TRANSPORT_REPORT(log::kFailure, "fail acquire elems: %s is %zu bytes\n", ring_name.c_str(),
                     ring->size());
    rings->erase({ring_name, global});
    return nullptr;
  }
  ring_initialise(*static_cast<ring_segment*>(ring->get()));
  (*rings)[{ring_name, global}] = ring;
  return ring;
}

}  // namespace

std::string ring_segment_name(std::string_view channel_name) {
  return "__QU_CONN__" + std::to_string(kRecordDataLength) + "__" +
         std::to_string(kRecordDataAlignment) + "__" + std::string(channel_name);
}

channel* channel_open(std::string_view name, bool global) {
  auto* h = new channel;
  h->name_ = std::string(name);
  h->connection_id_ = next_connection_id(global);

  const std::string n(name);
  h->connection_waiter_.set_global(global);
  h->connection_waiter_.open("__CC_CONN__" + n);
  h->write_waiter_.set_global(global);
  h->write_waiter_.open("__WT_CONN__" + n);
  h->read_waiter_.set_global(global);
  h->read_waiter_.open("__RD_CONN__" + n);

  h->message_counter_.acquire("__AC_CONN__" + n, kCounterSize, global);

  if (name.empty()) {
    TRANSPORT_REPORT(log::kFailure, "fail open waiter: name is empty!\n");
    return h;
  }
  h->ring_segment_ = map_ring(ring_segment_name(name), global);
  if (h->ring_segment_) h->ring_ = static_cast<ring_segment*>(h->ring_segment_->get());
  return h;
}

void channel_close(channel* h) {
  if (h == nullptr) return;
  h->disconnect();
  delete h;
}

channel::~channel() {
  ring_ = nullptr;
  ring_segment_.reset();
  message_counter_.release();
  connection_waiter_.close();
  write_waiter_.close();
  read_waiter_.close();
}

std::uint32_t* channel::message_counter() const {
  return static_cast<std::uint32_t*>(message_counter_.get());
}

bool channel::connect_receiver() {
  if (ring_ == nullptr) return false;
  if (receiver_bit_.load() == 0) {
    const std::uint32_t bit = ring_claim_receiver(*ring_);
    if (bit == 0) return false;
    fragments_.clear();
    receiver_bit_.store(bit);
    read_cursor_ = ring_commit_cursor(*ring_);
    ring_forget_stale_reads(*ring_, bit, read_cursor_);
    // Read after the bit is set: every message numbered from here on is pushed with it.
    if (std::uint32_t* counter = message_counter()) {
      first_msg_id_ = std::atomic_ref<std::uint32_t>(*counter).load();
      screening_ = true;
    }
  }
  connection_waiter_.broadcast();
  return true;
}

bool channel::connect_sender() {
  if (receiver_bit_.load() != 0) disconnect();
  return ring_ != nullptr;
}

void channel::disconnect() {
  const std::uint32_t bit = receiver_bit_.exchange(0);
  if (bit != 0 && ring_ != nullptr) ring_release_receiver(*ring_, bit);
  connection_waiter_.quit_waiting();
  write_waiter_.quit_waiting();
  // The popping thread drops its fragments when it finds the bit gone.
  read_waiter_.quit_waiting();
}

bool channel::push(const message_record& record) {
  return ring_ != nullptr && ring_push(*ring_, record);
}

bool channel::force_push(const message_record& record) {
  return ring_ != nullptr && ring_force_push(*ring_, record, &release_overwritten_chunk);
}

bool channel::may_have_missed(std::uint32_t msg_id) {
  if (!screening_) return false;
  constexpr std::uint32_t kWindow = 1u << 24;
  if (msg_id - first_msg_id_ >= kWindow && msg_id - first_msg_id_ < 0x80000000u) {
    screening_ = false;  // so far past the connection that nothing from before is in flight
    return false;
  }
  return first_msg_id_ - msg_id - 1 < kWindow;
}

std::optional<message_record> channel::pop() {
  const std::uint32_t bit = receiver_bit_.load();
  if (ring_ == nullptr || bit == 0) return std::nullopt;
  return ring_pop(*ring_, bit, read_cursor_);
}

}  // namespace transport
