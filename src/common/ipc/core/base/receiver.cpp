#include "common/ipc/core/base/receiver.h"

#include <chrono>
#include <utility>

#include "common/ipc/core/base/handler.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/ipc_packet.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"
#include "common/ipc/core/base/ipc_report.h"
#include "os/own_process.h"

namespace ipc {
namespace {

constexpr std::int32_t kDecodeThreads = 4;
constexpr std::int32_t kHandlerThreads = 8;

// Clients whose shutdown must not hang on a stuck handler: they end themselves instead.
bool EndsItselfWhenStuck(IpcClientId id) {
  return id == kClientAssistant || id == kClientLauncher || id == kClientVelAppstore;
}

}  // namespace

IpcReceiver::IpcReceiver() = default;

IpcReceiver::IpcReceiver(Timings timings) : timings_(timings) {}

IpcReceiver::~IpcReceiver() {
  decode_pool_.reset();
  handler_pool_.reset();
  if (receive_thread_.valid()) receive_thread_.wait();
  channel_.reset();
}

void IpcReceiver::Start() {
  IpcContext& context = IpcContext::Instance();
  const std::string name = GetClientName(context.self_id());
  if (name == kUnknownClientName) {
    Report(kReportWarning, kReceiverModule, __LINE__, "client_name error!");
    return;
  }
  decode_pool_ = std::make_unique<ThreadPool>(kDecodeThreads, "decode_pool", timings_.pool_clock);
  handler_pool_ =
      std::make_unique<ThreadPool>(kHandlerThreads, "handler_pool", timings_.pool_clock);
  channel_ = std::make_unique<IpcChannel>(name, context.global());
  channel_->ConnectReceiver();
  receive_thread_ = std::async(std::launch::async, [this] { ReceiveMsgThread(); });
}

void IpcReceiver::ReceiveMsgThread() {
  const IpcContext& context = IpcContext::Instance();
  for (;;) {
    std::string text = channel_->Receive(timings_.receive_ms);
    if (context.stopped()) return;
    if (text.empty()) {
      // A channel that never connected answers at once; wait as a receive would instead of
      // spinning until shutdown.
      if (!channel_->connected()) {
        std::unique_lock<std::mutex> lock(wake_mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(timings_.receive_ms),
                       [this] { return waking_; });
      }
      continue;
    }
    ThreadPool* handlers = handler_pool_.get();
    decode_pool_->Post([text = std::move(text), handlers] { DecodeMessage(text, handlers); });
  }
}

void IpcReceiver::Stop() {
  if (channel_) channel_->QuitWaiting();
  {
    std::lock_guard<std::mutex> lock(wake_mutex_);
    waking_ = true;
  }
  wake_.notify_all();
  if (receive_thread_.valid()) {
    receive_thread_.wait_for(std::chrono::milliseconds(timings_.thread_stop_ms));
  }
  StopPool(decode_pool_);
  StopPool(handler_pool_);
  if (channel_) channel_->Disconnect();
}

void IpcReceiver::StopPool(std::unique_ptr<ThreadPool>& pool) {
  if (!pool) return;
  if (!pool->WaitIdle(timings_.pool_idle_ms)) {
    if (!pool->StuckThreads().empty() && EndsItselfWhenStuck(IpcContext::Instance().self_id())) {
      os::TerminateOwnProcess(0);
    }
  }
  pool.reset();
}

void DecodeMessage(const std::string& text, ThreadPool* handler_pool) {
  IpcContext& context = IpcContext::Instance();
  try {
    IpcPacket parsed = nlohmann::json::parse(text).get<IpcPacket>();
    const std::uint64_t latency = parsed.send_time_us ? CurrentTimeUs() - *parsed.send_time_us : 0;
    if (const auto monitor = context.quality_monitor()) {
      monitor->AddRecv(IpcStatKey{parsed.from, parsed.to, parsed.msg_id}, latency);
    }
    auto packet = std::make_shared<IpcPacket>(std::move(parsed));
    if (packet->response_channel && !packet->response_channel->empty()) {
      if (const auto handler = context.msg_handler()) handler->Handle(packet);
      return;
    }
    std::string tag =
        "msg_id=" + std::to_string(packet->msg_id) + ",id=" + packet->unique_id.value_or("");
    handler_pool->Post(
        [packet] {
          if (const auto handler = IpcContext::Instance().msg_handler()) handler->Handle(packet);
        },
        std::move(tag));
  } catch (const nlohmann::json::exception& e) {
    Report(kReportError, kReceiverModule, __LINE__,
           std::string("parse ipc json failed, [data]: ") + e.what());
  } catch (const std::exception& e) {
    Report(kReportError, kReceiverModule, __LINE__,
           std::string("handle ipc json failed, [data]: ") + e.what());
  }
}

}  // namespace ipc
