#include "common/ipc/core/base/ipc_context.h"

#include <utility>

#include "base/text_encoding.h"
#include "common/ipc/core/base/handler.h"
#include "common/ipc/core/base/ipc_packet.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"
#include "common/ipc/core/base/query_responser.h"
#include "os/process_info.h"
#include "transport/chunk_storage.h"

namespace ipc {
namespace {

constexpr std::uint32_t kQueryPoolIdleMs = 4000;

}  // namespace

bool IsClientIpcInited(IpcClientId id, bool global) {
  // The handle closes again as `opened` goes.
  const auto opened =
      os::NamedMutex::Open(Utf8ToWide(MakeIpcInitedMutexName(id, global)), os::ObjectAccess::kAll);
  return opened.ok();
}

IpcPacket::IpcPacket(IpcClientId to_id, std::int32_t message_id, nlohmann::json payload)
    : IpcPacket(IpcContext::Instance().self_id(), to_id, message_id, std::move(payload)) {}

IpcContext& IpcContext::Instance() {
  static IpcContext context;
  return context;
}

IpcContext::IpcContext()
    : msg_handler_(std::make_shared<IpcMsgHandler>()),
      query_responser_(std::make_shared<IpcQueryResponser>()),
      quality_monitor_(std::make_shared<IpcQualityMonitor>(IpcQualityMonitor::RegistryStore())) {}

IpcContext::~IpcContext() {
  UninitIpc(false);
  quality_monitor_.reset();
  receiver_.reset();
  query_responser_.reset();
  msg_handler_.reset();
}

void IpcContext::SetReceiverTimings(const IpcReceiver::Timings& timings) {
  std::lock_guard<std::mutex> lock(mutex_);
  receiver_timings_ = timings;
}

void IpcContext::InitIpc() {
  InitIpc(kClientLauncher, IsProcessElevated());
}

void IpcContext::InitIpc(IpcClientId self_id, bool global) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_) {
      // Running without its mutex (the creation failed): announcing is tried again below.
      if (inited_mutex_.valid()) return;
    } else {
      self_id_.store(self_id, std::memory_order_release);
      owner_thread_id_.store(os::CurrentThreadId(), std::memory_order_release);
      global_.store(global, std::memory_order_release);
      stopped_.store(false, std::memory_order_release);
      query_responser_->EnsurePool();
      receiver_ = std::make_unique<IpcReceiver>(receiver_timings_);
      receiver_->Start();
      running_ = true;
    }
  }
  // Announced only once the channel and its threads exist. The mutex is taken outside the
  // context lock: it stays owned until UninitIpc, which takes the context lock while owning it,
  // so the two are always taken in that one order.
  auto created =
      os::NamedMutex::Create(Utf8ToWide(MakeIpcInitedMutexName(self_id_.load(), global_.load())),
                             true, os::ObjectSecurity::kOpenToAll);
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ && !inited_mutex_.valid()) {
    if (created.ok()) inited_mutex_ = std::move(created.object);
    return;
  }
  // Another InitIpc announced meanwhile, or an UninitIpc ended it: give this ownership back.
  if (created.ok()) created.object.Release();
}

void IpcContext::UninitIpc(bool report) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!running_) return;
  stopped_.store(true, std::memory_order_release);
  if (receiver_) {
    receiver_->Stop();
    receiver_.reset();
  }
  query_responser_->ShutdownPool(kQueryPoolIdleMs);
  if (inited_mutex_.valid()) {
    inited_mutex_.Release();
    inited_mutex_.Close();
  }
  running_ = false;
  if (report && quality_monitor_) {
    quality_monitor_->ReportSend();
    quality_monitor_->ReportRecv();
  }
  // Last, so that the receivers have had the time of the steps above.
  transport::await_storage_release(kChunkReleaseWaitMs);
}

}  // namespace ipc
