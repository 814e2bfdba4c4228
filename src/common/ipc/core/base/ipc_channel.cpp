#include "common/ipc/core/base/ipc_channel.h"

#include "transport/channel.h"
#include "transport/message.h"

namespace ipc {
namespace {

transport::channel* Native(void* native) {
  return static_cast<transport::channel*>(native);
}

}  // namespace

IpcChannel::IpcChannel(std::string_view name, bool global)
    : native_(transport::channel_open(name, global)), global_(global) {}

IpcChannel::~IpcChannel() {
  transport::channel_close(Native(native_));
}

bool IpcChannel::ConnectSender() {
  connected_ = Native(native_)->connect_sender();
  return connected_;
}

bool IpcChannel::ConnectReceiver() {
  connected_ = Native(native_)->connect_receiver();
  return connected_;
}

void IpcChannel::Disconnect() {
  Native(native_)->disconnect();
  connected_ = false;
}

bool IpcChannel::Send(std::string_view bytes, std::uint32_t timeout_ms) {
  return transport::send(Native(native_), bytes.data(), bytes.size(), timeout_ms);
}

bool IpcChannel::TrySend(std::string_view bytes, std::uint32_t timeout_ms) {
  return transport::try_send(Native(native_), bytes.data(), bytes.size(), timeout_ms);
}

std::string IpcChannel::Receive(std::uint32_t timeout_ms) {
  const transport::received_buffer buffer = transport::recv(Native(native_), timeout_ms);
  if (buffer.empty()) return {};
  return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size());
}

void IpcChannel::QuitWaiting() {
  Native(native_)->read_waiter().quit_waiting();
}

}  // namespace ipc
