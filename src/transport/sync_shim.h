#pragma once

// Temporary stand-ins, with the names of the synchronisation blocks and the diagnostic hook,
// until those land.
#include <chrono>
#include <cstdint>
#include <thread>

namespace transport {

inline void back_off(std::uint32_t& k) {
  if (k < 4) {
  } else if (k < 16) {
    __builtin_ia32_pause();
  } else if (k < 32) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  ++k;
}

}  // namespace transport

#define TRANSPORT_REPORT(level, ...) ((void)(level))
