#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "common/ipc/core/base/ipc_client.h"

namespace ipc {

// The one message record that processes of the product family exchange. On the wire it is the
// compact JSON text of the record followed by one NUL byte, sent as one transport message.
// Packets are shared through IpcPacketPtr and not changed once sent, except for the send stamp
// that SendIpc renews.
struct IpcPacket {
  // The receiving side's record before parsing: ids 0, data null, uac true, handle_self_ipc
  // false, process ids 0, the rest without value.
  IpcPacket() = default;
  // A packet to send: elevation of this process in "uac", the current time, a new identity text,
  // this process's id; to_process_id 0 (any process of the target).
  IpcPacket(IpcClientId from_id, IpcClientId to_id, std::int32_t message_id,
            nlohmann::json payload);
  // The same, from this process's own client id.
  IpcPacket(IpcClientId to_id, std::int32_t message_id, nlohmann::json payload);

  IpcClientId from = 0;
  IpcClientId to = 0;
  std::int32_t msg_id = 0;
  nlohmann::json data;
  std::optional<bool> uac = true;
  std::optional<bool> handle_self_ipc = false;
  std::optional<std::uint64_t> send_time_us;
  std::optional<std::string> unique_id;
  std::optional<std::uint64_t> from_process_id = 0;
  std::optional<std::uint64_t> to_process_id = 0;
  std::optional<std::string> response_channel;

  // The wire and log text: compact, non-ASCII as raw UTF-8. Invalid UTF-8 in a string makes it
  // throw the JSON library's type error.
  std::string ToText() const;
};

using IpcPacketPtr = std::shared_ptr<IpcPacket>;

// Required: "from", "to", "msg_id" (numbers; a boolean is refused, a fraction truncated) and
// "data". The optional members keep their defaults when missing, null or of the wrong type.
void to_json(nlohmann::json& j, const IpcPacket& packet);
void from_json(const nlohmann::json& j, IpcPacket& packet);

// Microseconds since 1970-01-01 UTC by the system clock.
std::uint64_t CurrentTimeUs();

// A new GUID as 36 upper-case characters in the groups 8-4-4-4-12, without braces.
std::string NewIdentityText();

}  // namespace ipc
