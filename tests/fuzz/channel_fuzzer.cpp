// A channel's ring and its chunk pools hold whatever another process wrote there. Each input
// starts from a ring and pools filled by real sends, overwrites parts of them with arbitrary
// bytes, then receives everything it can, reads every byte of what it got and releases it, then
// sends and receives once more. Nothing may crash, read or write outside the mappings, or
// allocate without bound (ASan and UBSan watch; libFuzzer's memory limit bounds the rest).
//
// An input is a list of writes: target (ring, pool of 1024-byte chunks, pool of 2048-byte
// chunks), 16-bit offset, length, bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "os/child_process.h"
#include "os/paths.h"
#include "os/process_info.h"
#include "os/text.h"
#include "transport/chunk_storage.h"
#include "transport/message.h"
#include "transport/word_lock.h"

namespace {

struct Setup {
  transport::channel_ptr receiver;
  transport::channel_ptr sender;
  transport::ring_segment* ring = nullptr;
  std::uint8_t* pools[2] = {nullptr, nullptr};
  std::size_t pool_sizes[2] = {0, 0};
};

std::u16string g_objects;

Setup& Get() {
  static Setup* setup = [] {
    g_objects =
        os::PathJoin(os::TempFolder(),
                     os::Utf8ToUtf16("velmora-fuzz-" + std::to_string(os::CurrentProcessId())));
    os::RemoveAll(g_objects);
    os::CreateDirectories(g_objects);
    os::SetEnv(u"VELMORA_OBJECT_DIR", g_objects);
    std::atexit([] { os::RemoveAll(g_objects); });
    // A lock word left held by the input is taken over after a moment, not a second.
    transport::set_word_lock_takeover_ms(0);
    auto* s = new Setup;
    const std::string name = "fuzz-" + std::to_string(os::CurrentProcessId());
    s->receiver.reset(transport::channel_open(name, false));
    s->sender.reset(transport::channel_open(name, false));
    s->ring = s->receiver->ring();
    const std::size_t chunk_sizes[2] = {1024, 2048};
    for (int i = 0; i < 2; ++i) {
      s->pools[i] = static_cast<std::uint8_t*>(transport::chunk_storages(chunk_sizes[i]));
      s->pool_sizes[i] = transport::pool_segment_size(chunk_sizes[i]);
    }
    if (s->ring == nullptr || s->pools[0] == nullptr || s->pools[1] == nullptr) std::abort();
    return s;
  }();
  return *setup;
}

// The starting point: a fresh ring and pools, with a short message, two stored ones and a
// fragmented one (sent by hand: a chunk would be free) waiting for the receiver.
void Prime(Setup& s) {
  std::memset(s.ring, 0, sizeof(transport::ring_segment));
  s.ring->constructed = 1;
  for (int i = 0; i < 2; ++i) std::memset(s.pools[i], 0, s.pool_sizes[i]);
  s.receiver->connect_receiver();
  std::vector<std::uint8_t> bytes(1500);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  transport::try_send(s.sender.get(), bytes.data(), 20, 0);
  transport::try_send(s.sender.get(), bytes.data(), 100, 0);
  transport::try_send(s.sender.get(), bytes.data(), 1500, 0);
  transport::message_record record{};
  record.sender_id = s.sender->connection_id();
  record.msg_id = 1000;
  for (std::int32_t offset = 0; offset < 150; offset += 64) {
    record.remain = 150 - offset - 64;
    std::memcpy(record.data, bytes.data() + offset, 64);
    s.sender->push(record);
  }
}

void Apply(Setup& s, const std::uint8_t* data, std::size_t size) {
  while (size >= 4) {
    const std::uint8_t target = data[0] % 3;
    const std::size_t offset = static_cast<std::size_t>(data[1]) | (std::size_t{data[2]} << 8);
    std::size_t length = data[3];
    data += 4;
    size -= 4;
    length = std::min(length, size);
    std::uint8_t* base =
        target == 0 ? reinterpret_cast<std::uint8_t*>(s.ring) : s.pools[target - 1];
    const std::size_t limit =
        target == 0 ? sizeof(transport::ring_segment) : s.pool_sizes[target - 1];
    // The ring's 16-bit offsets reach its first 65536 / 24832 of a wrap; spread them over it.
    const std::size_t at = target == 0 ? (offset * 3) % limit : offset % limit;
    std::memcpy(base + at, data, std::min(length, limit - at));
    data += length;
    size -= length;
  }
}

std::uint32_t g_sink = 0;

void ReceiveAll(Setup& s) {
  for (int i = 0; i < 600; ++i) {
    const auto received = transport::recv(s.receiver.get(), 0);
    if (received.empty()) return;
    for (std::size_t j = 0; j < received.size(); ++j) g_sink += received.data()[j];
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Setup& s = Get();
  Prime(s);
  Apply(s, data, size);
  ReceiveAll(s);
  const std::uint8_t more[100] = {1, 2, 3};
  transport::try_send(s.sender.get(), more, sizeof more, 0);
  ReceiveAll(s);
  s.receiver->disconnect();
  return 0;
}
