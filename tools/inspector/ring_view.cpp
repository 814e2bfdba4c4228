#include "tools/inspector/ring_view.h"

#include <atomic>
#include <bit>
#include <cstdio>

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

int PrintRing(const std::string& channel, bool global, bool json) {
  const std::string kernel_name =
      transport::shm::segment_name(transport::ring_segment_name(channel), global);
  auto mapping = os::FileMapping::Open(Utf8ToWide(kernel_name));
  if (!mapping.ok()) {
    std::fprintf(stderr, "no process has channel %s open (%s, error %u)\n", channel.c_str(),
                 kernel_name.c_str(), static_cast<unsigned>(mapping.error));
    return 1;
  }
  auto view = os::MappedView::Map(mapping.object);
  std::size_t size = 0;
  if (!view.ok() || view.object.QueryRegionSize(size) != 0 || size < transport::kRingSegmentSize) {
    std::fprintf(stderr, "the ring of channel %s cannot be read\n", channel.c_str());
    return 1;
  }
  const auto& ring = *static_cast<const transport::ring_segment*>(view.object.data());
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
    std::printf("%s\n", nlohmann::json{{"channel", channel},
                                       {"global", global},
                                       {"constructed", constructed != 0},
                                       {"connections", connections},
                                       {"receivers", std::popcount(connections)},
                                       {"cursor", cursor},
                                       {"epoch", epoch >> 56},
                                       {"occupied", slots}}
                            .dump()
                            .c_str());
    return 0;
  }
  std::printf("channel      %s (%s)\n", channel.c_str(), global ? "global" : "local");
  std::printf("constructed  %s\n", constructed != 0 ? "yes" : "no");
  std::printf("connections  0x%08X  receivers %d: bits %s\n", connections, std::popcount(connections),
              Bits(connections).c_str());
  std::printf("cursor       %u (next slot %u)\n", cursor, cursor % transport::kRingSlotCount);
  std::printf("epoch        %u\n", static_cast<unsigned>(epoch >> 56));
  std::printf("occupied     %zu slot(s)\n", slots.size());
  for (const auto& slot : slots) {
    std::printf("  slot %3u  unread by %-12s msg %u from conn %u  remain %d%s\n",
                slot["slot"].get<unsigned>(), Bits(slot["unread_by"].get<std::uint32_t>()).c_str(),
                slot["msg_id"].get<unsigned>(), slot["sender"].get<unsigned>(),
                slot["remain"].get<int>(), slot["stored"].get<bool>() ? "  (stored in a chunk)" : "");
  }
  return 0;
}

}  // namespace tools
