#include <dirent.h>
#include <unistd.h>

#include "os/own_process.h"

namespace os {

std::optional<std::size_t> OwnThreadCount() {
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return std::nullopt;
  std::size_t count = 0;
  while (const dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(tasks);
  return count;
}

void TerminateOwnProcess(std::uint32_t exit_code) {
  ::_exit(static_cast<int>(exit_code));
}

}  // namespace os
