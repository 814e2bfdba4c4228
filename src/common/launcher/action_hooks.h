#pragma once

#include <cstdint>
#include <functional>

#include "common/ipc/core/base/ipc_packet.h"
#include "common/ipc/launch_payload_records.h"

// The few outside effects of the launcher's actions that tests must observe or cut short: the
// IPC sends, the launch send-and-wait and the fixed pauses. Each empty member means the real
// thing (SendIpc, IpcSendAndWaitEvent, Sleep). Tests set members and reset them after use; only
// the main thread reads them.
struct ActionHooks {
  std::function<bool(const ipc::IpcPacketPtr& packet, bool global)> send;
  std::function<bool(const ipc::AppLaunchInfo& info)> send_and_wait;
  std::function<void(std::uint32_t ms)> pause;
};

ActionHooks& TestHooks();

bool HookedSendIpc(const ipc::IpcPacketPtr& packet, bool global);
bool HookedSendAndWait(const ipc::AppLaunchInfo& info);
void HookedPause(std::uint32_t ms);
