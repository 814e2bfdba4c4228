#pragma once

#include "common/ipc/core/base/ipc_packet.h"

namespace ipc {

// Delivers one packet to the channel of its target client, from the calling thread: opens a
// channel object, sends the packet's text and its NUL as one message, counts the attempt and
// closes the object again. No retries. `global` is the namespace of the target's channel and
// ipc-inited mutex. The packet's "send_time_us" is renewed; nothing else in it changes.
//
// False without sending for an unknown target, when IPC is stopped, and for the emulator,
// service, assistant and client when their ipc-inited mutex is missing; false when the transport
// refuses. A packet holding invalid UTF-8 throws the JSON library's type error.
bool SendIpc(const IpcPacketPtr& packet, bool global);

}  // namespace ipc
