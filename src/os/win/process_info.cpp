#include <windows.h>

#include "os/process_info.h"

namespace os {

std::uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace os
