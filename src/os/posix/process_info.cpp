#include <sys/syscall.h>
#include <unistd.h>

#include "os/process_info.h"

namespace os {

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(::gettid()); }

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace os
