#include "common/ipc/core/base/ipc_packet.h"

#include <utility>

#include <fmt/format.h>

#include "os/clock.h"
#include "os/guid.h"
#include "os/process_info.h"

namespace ipc {
namespace {

bool OwnElevationOnce() {
  static const bool elevated = IsProcessElevated();
  return elevated;
}

// Optional members never fail a packet: a wrong type leaves the default in place.
template <typename T>
void ReadOptional(const nlohmann::json& j, const char* key, std::optional<T>& field) {
  const auto found = j.find(key);
  if (found == j.end() || found->is_null()) return;
  try {
    field = found->template get<T>();
  } catch (const std::exception&) {
  }
}

template <typename T>
void WriteOptional(nlohmann::json& j, const char* key, const std::optional<T>& field) {
  if (field) j[key] = *field;
}

// The library's own 64-bit reader refuses booleans, which a narrower integer type would take.
std::int32_t ReadId(const nlohmann::json& j, const char* key) {
  return static_cast<std::int32_t>(j.at(key).get<std::int64_t>());
}

}  // namespace

IpcPacket::IpcPacket(IpcClientId from_id, IpcClientId to_id, std::int32_t message_id,
                     nlohmann::json payload)
    : from(from_id),
      to(to_id),
      msg_id(message_id),
      data(std::move(payload)),
      uac(OwnElevationOnce()),
      handle_self_ipc(false),
      send_time_us(CurrentTimeUs()),
      unique_id(NewIdentityText()),
      from_process_id(os::CurrentProcessId()),
      to_process_id(0) {}

std::string IpcPacket::ToText() const {
  return nlohmann::json(*this).dump();
}

void to_json(nlohmann::json& j, const IpcPacket& packet) {
  j = nlohmann::json::object();
  j["from"] = packet.from;
  j["to"] = packet.to;
  j["msg_id"] = packet.msg_id;
  j["data"] = packet.data;
  WriteOptional(j, "uac", packet.uac);
  WriteOptional(j, "handle_self_ipc", packet.handle_self_ipc);
  WriteOptional(j, "send_time_us", packet.send_time_us);
  WriteOptional(j, "unique_id", packet.unique_id);
  WriteOptional(j, "from_process_id", packet.from_process_id);
  WriteOptional(j, "to_process_id", packet.to_process_id);
  WriteOptional(j, "response_channel", packet.response_channel);
}

void from_json(const nlohmann::json& j, IpcPacket& packet) {
  packet.from = ReadId(j, "from");
  packet.to = ReadId(j, "to");
  packet.msg_id = ReadId(j, "msg_id");
  packet.data = j.at("data");
  ReadOptional(j, "uac", packet.uac);
  ReadOptional(j, "handle_self_ipc", packet.handle_self_ipc);
  ReadOptional(j, "send_time_us", packet.send_time_us);
  ReadOptional(j, "unique_id", packet.unique_id);
  ReadOptional(j, "from_process_id", packet.from_process_id);
  ReadOptional(j, "to_process_id", packet.to_process_id);
  ReadOptional(j, "response_channel", packet.response_channel);
}

std::uint64_t CurrentTimeUs() {
  return static_cast<std::uint64_t>(os::WallClockTicks()) / 10;
}

std::string NewIdentityText() {
  const os::Guid g = os::NewGuid();
  return fmt::format("{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}",
                     g.data1, g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3],
                     g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
}

}  // namespace ipc
