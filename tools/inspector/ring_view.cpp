#include "tools/inspector/ring_view.h"

#include <atomic>
#include <bit>
#include <cstdio>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/text_encoding.h"
#include "os/named_objects.h"
#include "transport/channel.h"
#include "transport/ring.h"
#include "transport/shm.h"

namespace tools {
namespace {

// Other processes change the ring while it is read: every field is read once, atomically.
template <typename T>
T Load(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_acquire);
}

std::string Bits(std::uint32_t mask) {
  std::string text;
  for (std::uint32_t bit = 0; bit < 32; ++bit) {
    if ((mask & (1u << bit)) == 0) continue;
    if (!text.empty()) text += ",";
    text += std::to_string(bit);
  }
  return text.empty() ? "-" : text;
}

}  // namespace

struct RingReader::Mapping {
  os::FileMapping mapping;
  os::MappedView view;
};

RingReader::RingReader() = default;
RingReader::~RingReader() = default;

bool RingReader::Open(const std::string& channel, bool global, std::uint32_t* error) {
  const std::string kernel_name =
      transport::shm::segment_name(transport::ring_segment_name(channel), global);
  auto mapping = os::FileMapping::Open(Utf8ToWide(kernel_name));
  if (!mapping.ok()) {
    if (error != nullptr) *error = mapping.error;
    return false;
  }
  auto view = os::MappedView::Map(mapping.object);
  std::size_t size = 0;
  if (!view.ok() || view.object.QueryRegionSize(size) != 0 || size < transport::kRingSegmentSize) {
    if (error != nullptr) *error = view.ok() ? 0 : view.error;
    return false;
  }
  mapping_ = std::make_unique<Mapping>(Mapping{std::move(mapping.object), std::move(view.object)});
  ring_ = static_cast<const transport::ring_segment*>(mapping_->view.data());
  return true;
}

std::uint32_t RingReader::cursor() const {
  return Load(ring_->commit_cursor);
}

bool RingReader::AllRead(std::uint32_t from, std::uint32_t to) const {
  for (std::uint32_t c = from; c != to; ++c) {
    // A slot is free again for cursor c + 256 once every receiver has read the record of c.
    const std::uint64_t commit = Load(ring_->slots[c % transport::kRingSlotCount].commit);
    if (commit != transport::released_flag(c + transport::kRingSlotCount)) return false;
  }
  return true;
}

int PrintRing(const std::string& channel, bool global, bool json, LineOutput& out) {
  RingReader reader;
  std::uint32_t error = 0;
  if (!reader.Open(channel, global, &error)) {
    std::fprintf(stderr, "no process has channel %s open in the %s namespace (error %u)\n",
                 channel.c_str(), global ? "global" : "local", static_cast<unsigned>(error));
    return 1;
  }
  const transport::ring_segment& ring = reader.ring();
  const std::uint32_t connections = Load(ring.connections);
  const std::uint32_t cursor = Load(ring.commit_cursor);
  const std::uint64_t epoch = Load(ring.epoch);
  const std::uint8_t constructed = Load(ring.constructed);

  nlohmann::json slots = nlohmann::json::array();
  for (std::uint32_t i = 0; i < transport::kRingSlotCount; ++i) {
    const transport::ring_slot& slot = ring.slots[i];
    const std::uint64_t read = Load(slot.read);
    const std::uint64_t commit = Load(slot.commit);
    const std::uint32_t unread = transport::read_word::mask(read);
    if (unread == 0) continue;
    slots.push_back({{"slot", i},
                     {"unread_by", unread},
                     {"epoch", transport::read_word::epoch(read)},
                     {"changes", transport::read_word::counter(read)},
                     {"commit", commit},
                     {"sender", Load(slot.record.sender_id)},
                     {"msg_id", Load(slot.record.msg_id)},
                     {"remain", Load(slot.record.remain)},
                     {"stored", Load(slot.record.storage) != 0}});
  }

  if (json) {
    out.Json({{"channel", channel},
              {"global", global},
              {"constructed", constructed != 0},
              {"connections", connections},
              {"receivers", std::popcount(connections)},
              {"cursor", cursor},
              {"epoch", epoch >> 56},
              {"occupied", slots}});
    return 0;
  }
  out.Line(fmt::format("channel      {} ({})", channel, global ? "global" : "local"));
  out.Line(fmt::format("constructed  {}", constructed != 0 ? "yes" : "no"));
  out.Line(fmt::format("connections  0x{:08X}  receivers {}: bits {}", connections,
                       std::popcount(connections), Bits(connections)));
  out.Line(
      fmt::format("cursor       {} (next slot {})", cursor, cursor % transport::kRingSlotCount));
  out.Line(fmt::format("epoch        {}", epoch >> 56));
  out.Line(fmt::format("occupied     {} slot(s)", slots.size()));
  for (const auto& slot : slots) {
    out.Line(fmt::format("  slot {:3}  unread by {:<12} msg {} from conn {}  remain {}{}",
                         slot["slot"].get<unsigned>(), Bits(slot["unread_by"].get<std::uint32_t>()),
                         slot["msg_id"].get<unsigned>(), slot["sender"].get<unsigned>(),
                         slot["remain"].get<int>(),
                         slot["stored"].get<bool>() ? "  (stored in a chunk)" : ""));
  }
  return 0;
}

}  // namespace tools
