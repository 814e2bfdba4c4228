#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "common/ipc/core/base/ipc_packet.h"
#include "common/ipc/core/base/thread_pool.h"

namespace ipc {

// Computes the answer to a query from its "data". Must not throw: the pool does not catch it.
using IpcResponder = std::function<nlohmann::json(const nlohmann::json& data)>;

// The answering side of queries: a packet whose "data" is {"query_id": int, "data": any} and whose
// "response_channel" names where the asker listens. The answer is the responder's JSON text plus a
// NUL, sent on that channel; nothing else travels back.
class IpcQueryResponser {
 public:
  static constexpr std::int32_t kThreadCount = 4;

  // Starts "query_pool".
  IpcQueryResponser();
  ~IpcQueryResponser();
  IpcQueryResponser(const IpcQueryResponser&) = delete;
  IpcQueryResponser& operator=(const IpcQueryResponser&) = delete;

  // Sets the responder of `query_id`, replacing an earlier one.
  void SetResponder(std::int32_t query_id, IpcResponder responder);

  // A malformed query or one without a responder is dropped without a report.
  void Handle(const IpcPacketPtr& packet);

  // The pool's life follows the IPC context: UninitIpc waits for it and destroys it, InitIpc
  // starts a new one.
  bool HasPool() const;
  void EnsurePool();
  // Waits up to `timeout_ms` for the pool to go idle, then destroys it (its queue still runs).
  void ShutdownPool(std::uint32_t timeout_ms);

 private:
  static void Answer(const IpcResponder& responder, const IpcPacketPtr& packet,
                     const nlohmann::json& query_data);

  mutable std::mutex mutex_;
  std::map<std::int32_t, IpcResponder> responders_;
  std::unique_ptr<ThreadPool> pool_;
  std::int32_t thread_count_ = kThreadCount;
};

}  // namespace ipc
