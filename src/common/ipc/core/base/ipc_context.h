#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/ipc/core/base/ipc_client.h"
#include "common/ipc/core/base/receiver.h"
#include "os/named_objects.h"

namespace ipc {

class IpcMsgHandler;
class IpcQueryResponser;
class IpcQualityMonitor;

// All IPC state of the process. First use creates the handler registry, the query responder (and
// with it the 4 threads of "query_pool") and the quality monitor; InitIpc makes the process an
// IPC client that receives on its channel and announces itself with its ipc-inited mutex.
class IpcContext {
 public:
  static IpcContext& Instance();

  // The launcher's own start: client "VelLauncher", in the machine-wide namespace only when this
  // process runs elevated.
  void InitIpc();
  // The same for another client of the product family (the replacement peers in tools/ use it):
  // its id, and the namespace of its channel and ipc-inited mutex. Does nothing when initialised.
  void InitIpc(IpcClientId self_id, bool global);
  // Stops receiving, drains the pools, releases the ipc-inited mutex and, with `report`, stores
  // the statistics. Then waits until the receivers have released the long messages this process
  // sent, each at most kChunkReleaseWaitMs after it was sent (none sent, or all released: no
  // wait). Does nothing unless initialised. Must run on the thread that ran InitIpc, which owns
  // the mutex.
  void UninitIpc(bool report);

  // A long message travels in a shared pool that may live only in its sender: a process that
  // sends and exits (the launcher) would take it along before the receiver has mapped the pool.
  // A live receiver takes it within milliseconds; a stuck or dead one must not hold the process
  // longer than this.
  static constexpr std::uint32_t kChunkReleaseWaitMs = 2000;

  IpcClientId self_id() const { return self_id_.load(std::memory_order_acquire); }
  std::uint32_t owner_thread_id() const { return owner_thread_id_.load(std::memory_order_acquire); }
  bool stopped() const { return stopped_.load(std::memory_order_acquire); }
  // The namespace of the own channel and mutex, as InitIpc chose it.
  bool global() const { return global_.load(std::memory_order_acquire); }

  std::shared_ptr<IpcMsgHandler> msg_handler() const { return msg_handler_; }
  std::shared_ptr<IpcQueryResponser> query_responser() const { return query_responser_; }
  std::shared_ptr<IpcQualityMonitor> quality_monitor() const { return quality_monitor_; }

  // Waits and clocks of the receiver that the next InitIpc starts (tests).
  void SetReceiverTimings(const IpcReceiver::Timings& timings);

  ~IpcContext();
  IpcContext(const IpcContext&) = delete;
  IpcContext& operator=(const IpcContext&) = delete;

 private:
  IpcContext();

  std::atomic<IpcClientId> self_id_{0};
  std::atomic<std::uint32_t> owner_thread_id_{0};
  std::atomic<bool> stopped_{true};
  std::atomic<bool> global_{false};
  os::NamedMutex inited_mutex_;
  // Receiving and announced (or trying to be). Kept apart from the mutex so that a process whose
  // mutex could not be created still stops its receiver.
  bool running_ = false;
  std::mutex mutex_;
  std::shared_ptr<IpcMsgHandler> msg_handler_;
  std::shared_ptr<IpcQueryResponser> query_responser_;
  std::unique_ptr<IpcReceiver> receiver_;
  std::shared_ptr<IpcQualityMonitor> quality_monitor_;
  IpcReceiver::Timings receiver_timings_;
};

}  // namespace ipc
