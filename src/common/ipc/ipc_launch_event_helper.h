#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/ipc/launch_payload_records.h"
#include "os/named_objects.h"

// A launch request is the one message the launcher waits on. The answer does not come back over
// IPC: the emulator signals one of two named, machine-wide events that carry the request's trace
// id.
namespace ipc {

inline constexpr std::u16string_view kLaunchSuccessEventPrefix =
    u"Global\\TamriskLaunchApp_Success_";
inline constexpr std::u16string_view kLaunchFailureEventPrefix =
    u"Global\\TamriskLaunchApp_Failure_";

// Both events of one launch, manual-reset; the handles close with the pair.
struct LaunchEventPair {
  os::NamedEvent success;
  os::NamedEvent failure;
  bool ok = false;  // both events were created
};

// The waits of a launch; tests shorten them.
struct LaunchWaitTimings {
  std::uint32_t result_wait_ms = 10'000;  // for either event after the request went out
  std::uint32_t retry_pause_ms = 1'000;   // after each failed send
  // How a pause is taken (Sleep); tests record the pauses instead of taking them.
  std::function<void(std::uint32_t ms)> pause;
};

// Creates (or opens) the two events named after `trace_id` (UTF-8).
LaunchEventPair CreateLaunchEventPair(const std::string& trace_id);

// Waits for either event (success first, so a stale pair with both set counts as success) and
// logs the outcome. True only for success.
bool WaitForLaunchResult(const LaunchEventPair& pair, const std::string& trace_id,
                         std::uint32_t timeout_ms = 10'000);

// Sends the launch request (msg_id 20001 to "VelEmulator", up to three attempts one pause apart)
// and, when it carries a "client_trace_id", waits for the emulator's answer on the event pair.
// True when the launch was confirmed, or, without a trace id, when the request went out.
bool IpcSendAndWaitEvent(const AppLaunchInfo& info);
bool IpcSendAndWaitEvent(const AppLaunchInfo& info, const LaunchWaitTimings& timings);

}  // namespace ipc
