#pragma once

#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include "common/ipc/core/base/ipc_channel.h"
#include "common/ipc/core/base/thread_pool.h"

namespace ipc {

// The receiving pipeline of the process's own channel: one thread takes raw messages from the
// transport, "decode_pool" parses and counts them, "handler_pool" filters and dispatches them.
class IpcReceiver {
 public:
  struct Timings {
    std::uint32_t receive_ms = 200;                   // one receive wait
    std::uint32_t thread_stop_ms = 400;               // waiting for the receive thread at Stop
    std::uint32_t pool_idle_ms = 5000;                // waiting for each pool to go idle at Stop
    ThreadPool::MonotonicClock pool_clock = nullptr;  // busy records of both pools
  };

  IpcReceiver();
  explicit IpcReceiver(Timings timings);
  // Destroys the pools if any are left, waits for the receive thread, closes the channel.
  ~IpcReceiver();
  IpcReceiver(const IpcReceiver&) = delete;
  IpcReceiver& operator=(const IpcReceiver&) = delete;

  // Opens and connects the channel named after the own client, starts both pools and the receive
  // thread. An own name of "UNKNOWN" is reported and starts nothing.
  void Start();
  // Only after the stopped flag is set: wakes and waits for the receive thread, drains both pools
  // (a launcher, assistant or client whose pool stays busy past the idle wait with a stuck worker
  // ends its process at once, exit code 0), and disconnects the channel.
  void Stop();

  bool connected() const { return channel_ && channel_->connected(); }

 private:
  void ReceiveMsgThread();
  void StopPool(std::unique_ptr<ThreadPool>& pool);

  Timings timings_;
  std::unique_ptr<IpcChannel> channel_;
  std::future<void> receive_thread_;
  std::unique_ptr<ThreadPool> decode_pool_;
  std::unique_ptr<ThreadPool> handler_pool_;
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool waking_ = false;
};

// The work of one decode task: parse the text, count it, and hand the packet on (to the query
// responder right here when it carries a response channel, else to `handler_pool`). Errors are
// reported and the packet dropped.
void DecodeMessage(const std::string& text, ThreadPool* handler_pool);

}  // namespace ipc
