#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Every process of the product family that takes part in messaging is a client with a fixed id and
// name. The name is the key of everything else: a client receives on the channel of that name and
// announces that its messaging is up by holding the ipc-inited mutex built from it.
namespace ipc {

using IpcClientId = std::int32_t;

inline constexpr IpcClientId kUnknownClient = 0;
inline constexpr IpcClientId kClientAppStore = 110001;
inline constexpr IpcClientId kClientEmulator = 110002;
inline constexpr IpcClientId kClientService = 110003;
inline constexpr IpcClientId kClientUpdate = 110004;
inline constexpr IpcClientId kClientAssistant = 110006;
inline constexpr IpcClientId kClientLauncher = 110009;
inline constexpr IpcClientId kClientVelAppstore = 200001;

// Never a valid channel name: senders and receivers refuse it.
inline constexpr const char* kUnknownClientName = "UNKNOWN";

// The client's name, or "UNKNOWN" for an id without one (0 and 110007 have that name too).
std::string GetClientName(IpcClientId id);

// The id of a named client; nothing for "UNKNOWN" and names outside the table.
std::optional<IpcClientId> FindClientId(std::string_view name);

// "{prefix}tamrisk_ipc_inited_{name}": the prefix is "Global\" in the machine-wide namespace and
// empty in the session's.
std::string MakeIpcInitedMutexName(IpcClientId id, bool global);

// Whether the client's ipc-inited mutex exists (opened with all access and closed again at once).
// Never creates it.
bool IsClientIpcInited(IpcClientId id, bool global);

// Whether this process runs elevated. An elevated process keeps its channel and its ipc-inited
// mutex in the machine-wide namespace.
bool IsProcessElevated();

}  // namespace ipc
