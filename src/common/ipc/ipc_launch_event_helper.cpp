#include "common/ipc/ipc_launch_event_helper.h"

#include <array>
#include <chrono>
#include <memory>
#include <thread>

#include "base/logger.h"
#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/ipc_packet.h"
#include "common/ipc/core/base/sender.h"

namespace ipc {
namespace {

constexpr int kSendAttempts = 3;
constexpr std::int32_t kLaunchAppMsgId = 20001;

void Pause(const LaunchWaitTimings& timings) {
  if (timings.pause) {
    timings.pause(timings.retry_pause_ms);
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(timings.retry_pause_ms));
  }
}

IpcPacketPtr LaunchPacket(const AppLaunchInfo& info) {
  return std::make_shared<IpcPacket>(IpcContext::Instance().self_id(), kClientEmulator,
                                     kLaunchAppMsgId, nlohmann::json(info));
}

}  // namespace

LaunchEventPair CreateLaunchEventPair(const std::string& trace_id) {
  const std::u16string id = Utf8ToWide(trace_id);
  LaunchEventPair pair;
  auto success = os::NamedEvent::Create(std::u16string(kLaunchSuccessEventPrefix) + id, true, false,
                                        os::ObjectSecurity::kDefault);
  auto failure = os::NamedEvent::Create(std::u16string(kLaunchFailureEventPrefix) + id, true, false,
                                        os::ObjectSecurity::kDefault);
  pair.success = std::move(success.object);
  pair.failure = std::move(failure.object);
  pair.ok = pair.success.valid() && pair.failure.valid();
  if (!pair.ok) LOG("CreateEvent failed, error: {}", failure.error);
  return pair;
}

bool WaitForLaunchResult(const LaunchEventPair& pair, const std::string& trace_id,
                         std::uint32_t timeout_ms) {
  const std::array<const os::NamedEvent*, 2> events{&pair.success, &pair.failure};
  const os::WaitResult result = os::WaitForAnyEvent(events, timeout_ms);
  if (result.status == os::WaitStatus::kSignaled && result.index == 0) {
    LOG("Launch completed successfully, trace_id: {}", trace_id);
    return true;
  }
  if (result.status == os::WaitStatus::kSignaled && result.index == 1) {
    LOG("Launch failed (receiver reported failure), trace_id: {}", trace_id);
    return false;
  }
  if (result.status == os::WaitStatus::kTimeout) {
    LOG("Wait timeout (receiver not responding), trace_id: {}", trace_id);
    return false;
  }
  LOG("WaitForMultipleObjects failed, error: {}", result.error);
  return false;
}

bool IpcSendAndWaitEvent(const AppLaunchInfo& info) {
  return IpcSendAndWaitEvent(info, LaunchWaitTimings{});
}

bool IpcSendAndWaitEvent(const AppLaunchInfo& info, const LaunchWaitTimings& timings) {
  const std::string trace_id = info.client_trace_id.value_or("");
  if (trace_id.empty()) {
    LOG("client_trace_id is empty, sending IPC without event waiting.");
    const IpcPacketPtr packet = LaunchPacket(info);
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
      if (SendIpc(packet, true)) return true;
      LOG("Send ipc failed (no trace_id).");
      Pause(timings);
    }
    return false;
  }

  const LaunchEventPair pair = CreateLaunchEventPair(trace_id);
  if (!pair.ok) return false;
  // One packet for every attempt: the same identity, a new send stamp each time.
  const IpcPacketPtr packet = LaunchPacket(info);
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    if (SendIpc(packet, true)) {
      LOG("Waiting for launch completion, trace_id: {}", trace_id);
      return WaitForLaunchResult(pair, trace_id, timings.result_wait_ms);
    }
    LOG("Send ipc failed.");
    Pause(timings);
  }
  LOG("Send ipc failed after retries.");
  return false;
}

}  // namespace ipc
