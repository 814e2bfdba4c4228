#pragma once

// Bounds of the transport. The shared segments can be written by any process on the machine,
// so lengths read from them are held to these before anything is allocated or mapped.

#include <cstddef>

namespace transport {

// The longest message `send` takes and `recv` accepts.
inline constexpr std::size_t kMaxMessageSize = std::size_t{16} << 20;

// Messages up to this length go through a shared chunk; longer ones as fragments. It keeps the
// chunk sizes a sender uses to 65, so a receiver's pools stay few.
inline constexpr std::size_t kMaxStoredMessageSize = std::size_t{64} << 10;

// Pools (chunk sizes) a process maps at most; each stays mapped for the life of the process.
inline constexpr std::size_t kMaxPools = 128;

}  // namespace transport
