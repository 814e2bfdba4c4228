#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "common/ipc/core/base/ipc_packet.h"

namespace ipc {

// Handles one packet; false is reported as a failed handling.
using IpcHandler = std::function<bool(const IpcPacketPtr& packet)>;
// A ready-to-run handling of one packet.
using IpcTask = std::function<void()>;
// Decides on which thread a handling runs: it gets the packet and the task and must run the
// task (at once, or later on a thread of its choice).
using IpcDispatcher = std::function<void(const IpcPacketPtr& packet, IpcTask task)>;
// The reason to reject a packet, or nothing to let it pass.
using IpcFilter = std::function<std::optional<std::string>(const IpcPacketPtr& packet)>;

// Runs the process's filters in order ("Target client not matched.", "Target pid not matched.",
// "Skip self ipc message."); at the first rejection it reports the packet and returns true.
bool Filtered(const IpcPacketPtr& packet);

// The registry of message handlers, by msg_id.
class IpcMsgHandler {
 public:
  // Sets the handler of `msg_id`, replacing an earlier one. Without a dispatcher every packet is
  // handled on a thread of its own.
  void Register(std::int32_t msg_id, IpcHandler handler, IpcDispatcher dispatcher = nullptr);
  // Removes the handler of `msg_id`; false when there was none.
  bool Unregister(std::int32_t msg_id);
  // The handler for every msg_id without an entry of its own, for programs that take all traffic
  // (the replacement peers). Without one such packets are reported as having no handler; a null
  // handler removes it.
  void SetFallback(IpcHandler handler, IpcDispatcher dispatcher = nullptr);

  // Filters the packet, hands a query (a non-empty response channel) to the query responder and
  // dispatches anything else to the handler of its msg_id.
  void Handle(const IpcPacketPtr& packet);

 private:
  struct Entry {
    IpcHandler handler;
    IpcDispatcher dispatcher;
  };

  std::mutex mutex_;
  std::map<std::int32_t, Entry> entries_;
  Entry fallback_;
};

}  // namespace ipc
