#include "common/launcher/action_hooks.h"

#include <chrono>
#include <thread>

#include "common/ipc/core/base/sender.h"
#include "common/ipc/ipc_launch_event_helper.h"

ActionHooks& TestHooks() {
  static ActionHooks hooks;
  return hooks;
}

bool HookedSendIpc(const ipc::IpcPacketPtr& packet, bool global) {
  const ActionHooks& hooks = TestHooks();
  return hooks.send ? hooks.send(packet, global) : ipc::SendIpc(packet, global);
}

bool HookedSendAndWait(const ipc::AppLaunchInfo& info) {
  const ActionHooks& hooks = TestHooks();
  return hooks.send_and_wait ? hooks.send_and_wait(info) : ipc::IpcSendAndWaitEvent(info);
}

void HookedPause(std::uint32_t ms) {
  const ActionHooks& hooks = TestHooks();
  if (hooks.pause) {
    hooks.pause(ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}
