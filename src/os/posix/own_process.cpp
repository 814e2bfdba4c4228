#include <unistd.h>

#include "os/own_process.h"

namespace os {

bool IsOwnProcessElevated() {
  return ::geteuid() == 0;
}

void TerminateOwnProcess(std::uint32_t exit_code) {
  ::_exit(static_cast<int>(exit_code));
}

}  // namespace os
