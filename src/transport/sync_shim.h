#pragma once

// Temporary stand-ins for the synchronisation blocks and the diagnostic hook until they land.
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <thread>

#include <emmintrin.h>

namespace transport::shim {

inline void backoff(std::uint32_t& k) {
  if (k < 4) {
  } else if (k < 16) {
    _mm_pause();
  } else if (k < 32) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  ++k;
}

inline void report(int, int, const char*, ...) {}

}  // namespace transport::shim
