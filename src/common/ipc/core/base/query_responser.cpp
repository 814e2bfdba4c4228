#include "common/ipc/core/base/query_responser.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "common/ipc/core/base/ipc_channel.h"
#include "common/ipc/core/base/ipc_context.h"

namespace ipc {
namespace {

constexpr std::uint32_t kAnswerTimeoutMs = 100;
constexpr int kAnswerAttempts = 3;

}  // namespace

IpcQueryResponser::IpcQueryResponser()
    : pool_(std::make_unique<ThreadPool>(kThreadCount, "query_pool")) {}

IpcQueryResponser::~IpcQueryResponser() = default;

void IpcQueryResponser::SetResponder(std::int32_t query_id, IpcResponder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responders_[query_id] = std::move(responder);
}

void IpcQueryResponser::Handle(const IpcPacketPtr& packet) {
  std::int32_t query_id = 0;
  nlohmann::json query_data;
  try {
    // The 64-bit reader refuses a boolean id, which a 32-bit one would take as 0 or 1.
    query_id = static_cast<std::int32_t>(packet->data.at("query_id").get<std::int64_t>());
    query_data = packet->data.at("data");
  } catch (const nlohmann::json::exception&) {
    return;
  }
  IpcResponder responder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = responders_.find(query_id);
    if (found == responders_.end()) return;
    responder = found->second;
  }
  std::string tag =
      "query_id=" + std::to_string(query_id) + ",id=" + packet->unique_id.value_or("");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pool_) return;
  pool_->Post([responder = std::move(responder), packet,
               query_data = std::move(query_data)] { Answer(responder, packet, query_data); },
              std::move(tag));
}

void IpcQueryResponser::Answer(const IpcResponder& responder, const IpcPacketPtr& packet,
                               const nlohmann::json& query_data) {
  IpcChannel channel(packet->response_channel.value_or(""), packet->uac.value_or(true));
  channel.ConnectSender();
  std::string text;
  try {
    text = responder(query_data).dump();
  } catch (const nlohmann::json::exception&) {
    // An answer that cannot be written (invalid UTF-8) is lost like an undelivered one, rather
    // than ending the process from a pool thread.
    return;
  }
  text.push_back('\0');
  for (int attempt = 0; attempt < kAnswerAttempts; ++attempt) {
    if (IpcContext::Instance().stopped()) break;
    if (channel.TrySend(text, kAnswerTimeoutMs)) break;
    if (attempt + 1 < kAnswerAttempts) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10 * (attempt + 1)));
    }
  }
  channel.Disconnect();
}

bool IpcQueryResponser::HasPool() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pool_ != nullptr;
}

void IpcQueryResponser::EnsurePool() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pool_) pool_ = std::make_unique<ThreadPool>(thread_count_, "query_pool");
}

void IpcQueryResponser::ShutdownPool(std::uint32_t timeout_ms) {
  std::unique_ptr<ThreadPool> pool;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pool = std::move(pool_);
  }
  if (!pool) return;
  pool->WaitIdle(timeout_ms);
  pool.reset();  // the tasks still queued run before the workers end
}

}  // namespace ipc
