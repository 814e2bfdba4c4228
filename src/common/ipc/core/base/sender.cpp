#include "common/ipc/core/base/sender.h"

#include <string>

#include "common/ipc/core/base/ipc_channel.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"
#include "common/ipc/core/base/ipc_report.h"
#include "os/process_info.h"

namespace ipc {
namespace {

// The peers the launcher only talks to while they announce themselves.
bool NeedsAnnouncedTarget(IpcClientId to) {
  return to == kClientEmulator || to == kClientService || to == kClientAssistant ||
         to == kClientVelAppstore;
}

// The thread that ran InitIpc sends with a short slot wait; it is read once and kept.
std::uint32_t SlotWaitMs() {
  static const std::uint32_t owner = IpcContext::Instance().owner_thread_id();
  return os::CurrentThreadId() == owner ? 10 : 200;
}

}  // namespace

bool SendIpc(const IpcPacketPtr& packet, bool global) {
  const std::string name = GetClientName(packet->to);
  if (name == kUnknownClientName) {
    Report(kReportWarning, kSenderModule, __LINE__, "client_name error!");
    return false;
  }
  IpcContext& context = IpcContext::Instance();
  if (context.stopped()) return false;
  if (NeedsAnnouncedTarget(packet->to) && !IsClientIpcInited(packet->to, global)) return false;

  IpcChannel channel(name, global);
  channel.ConnectSender();
  packet->send_time_us = CurrentTimeUs();
  const std::uint32_t timeout_ms = SlotWaitMs();
  std::string text = packet->ToText();
  text.push_back('\0');
  const bool sent = channel.Send(text, timeout_ms);
  if (IsClientIpcInited(packet->to, global)) {
    if (const auto monitor = context.quality_monitor()) {
      monitor->AddSend(IpcStatKey{packet->from, packet->to, packet->msg_id}, sent);
    }
  }
  channel.Disconnect();
  return sent;
}

}  // namespace ipc
