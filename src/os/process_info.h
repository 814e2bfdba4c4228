#pragma once

#include <cstdint>

namespace os {

// GetCurrentThreadId / the kernel thread id (gettid) on Linux.
std::uint32_t CurrentThreadId();

// GetCurrentProcessId / getpid.
std::uint32_t CurrentProcessId();

}  // namespace os
