#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One channel object of the shared-memory transport, owned: opened by the constructor, closed
// (channel_close) by the destructor, on every path.
namespace ipc {

class IpcChannel {
 public:
  IpcChannel(std::string_view name, bool global);
  ~IpcChannel();
  IpcChannel(const IpcChannel&) = delete;
  IpcChannel& operator=(const IpcChannel&) = delete;

  bool ConnectSender();
  bool ConnectReceiver();
  void Disconnect();
  bool connected() const { return connected_; }
  bool global() const { return global_; }

  // One message to every connected receiver; after `timeout_ms` per slot `Send` forces it in and
  // `TrySend` gives up.
  bool Send(std::string_view bytes, std::uint32_t timeout_ms);
  bool TrySend(std::string_view bytes, std::uint32_t timeout_ms);

  // The next whole message, copied out of the transport (its buffer is released at once), or an
  // empty text when nothing came within `timeout_ms`, on failure, or after QuitWaiting.
  std::string Receive(std::uint32_t timeout_ms);

  // Makes a receive that blocks on this object, in any thread, return at once, and every later
  // one too; the receiver connection stays.
  void QuitWaiting();

 private:
  void* native_ = nullptr;
  bool global_ = false;
  bool connected_ = false;
};

}  // namespace ipc
