#include "common/ipc/core/base/handler.h"

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/ipc_report.h"
#include "common/ipc/core/base/query_responser.h"
#include "os/process_info.h"

namespace ipc {
namespace {

std::optional<std::string> TargetClientFilter(const IpcPacketPtr& packet) {
  if (packet->to != IpcContext::Instance().self_id()) return "Target client not matched.";
  return std::nullopt;
}

// 0 addresses every process of the target client.
std::optional<std::string> TargetPidFilter(const IpcPacketPtr& packet) {
  if (!packet->to_process_id ||
      (*packet->to_process_id != 0 && *packet->to_process_id != os::CurrentProcessId())) {
    return "Target pid not matched.";
  }
  return std::nullopt;
}

std::optional<std::string> SelfIpcFilter(const IpcPacketPtr& packet) {
  if (packet->handle_self_ipc == true) return std::nullopt;
  if (packet->from_process_id.value_or(0) == os::CurrentProcessId()) {
    return "Skip self ipc message.";
  }
  return std::nullopt;
}

const std::vector<IpcFilter>& Filters() {
  static const std::vector<IpcFilter> filters{&TargetClientFilter, &TargetPidFilter,
                                              &SelfIpcFilter};
  return filters;
}

// A report must not throw from a pool thread, so text that the wire would refuse is replaced.
std::string ReportText(const IpcPacket& packet) {
  return nlohmann::json(packet).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

bool Filtered(const IpcPacketPtr& packet) {
  for (const auto& filter : Filters()) {
    const auto reason = filter(packet);
    if (!reason) continue;
    Report(kReportError, kHandlerModule, __LINE__,
           "message was filtered.[Reason]" + *reason + "[PKT]" + ReportText(*packet) + "[CT]" +
               std::to_string(IpcContext::Instance().self_id()) + "[PID]" +
               std::to_string(os::CurrentProcessId()) + "[MsgId] " +
               std::to_string(packet->msg_id) + "[Id] " + packet->unique_id.value_or(""));
    return true;
  }
  return false;
}

void IpcMsgHandler::Register(std::int32_t msg_id, IpcHandler handler, IpcDispatcher dispatcher) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[msg_id] = Entry{std::move(handler), std::move(dispatcher)};
}

bool IpcMsgHandler::Unregister(std::int32_t msg_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.erase(msg_id) != 0;
}

void IpcMsgHandler::SetFallback(IpcHandler handler, IpcDispatcher dispatcher) {
  std::lock_guard<std::mutex> lock(mutex_);
  fallback_ = Entry{std::move(handler), std::move(dispatcher)};
}

void IpcMsgHandler::Handle(const IpcPacketPtr& packet) {
  if (Filtered(packet)) return;
  if (packet->response_channel && !packet->response_channel->empty()) {
    if (const auto responser = IpcContext::Instance().query_responser()) responser->Handle(packet);
    return;
  }
  const std::string ids =
      "[MsgId]" + std::to_string(packet->msg_id) + "[Id]" + packet->unique_id.value_or("");
  // Dispatch starts under the lock; a dispatcher that runs the task at once must therefore not
  // register handlers from it.
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = entries_.find(packet->msg_id);
  if (found == entries_.end() && !fallback_.handler) {
    Report(kReportWarning, kHandlerModule, __LINE__, "message handler not found." + ids);
    return;
  }
  const Entry& entry = found != entries_.end() ? found->second : fallback_;
  IpcTask task = [handler = entry.handler, packet, ids] {
    if (!handler(packet)) {
      Report(kReportWarning, kHandlerModule, __LINE__, "handle function return false." + ids);
    }
  };
  if (entry.dispatcher) {
    entry.dispatcher(packet, std::move(task));
  } else {
    std::thread(std::move(task)).detach();
  }
}

}  // namespace ipc
