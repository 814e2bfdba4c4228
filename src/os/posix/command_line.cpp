#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os/command_line.h"
#include "os/paths.h"
#include "os/text.h"

namespace os {
namespace {

// The kernel's argv of this process: NUL-separated in /proc/self/cmdline.
std::vector<std::u16string> KernelArguments() {
  std::vector<std::u16string> arguments;
  const int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return arguments;
  std::string raw;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    raw.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  std::size_t start = 0;
  while (start < raw.size()) {
    std::size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    arguments.push_back(Utf8ToUtf16(std::string_view(raw).substr(start, end - start)));
    start = end + 1;
  }
  return arguments;
}

}  // namespace

std::u16string ProcessCommandLine() { return JoinWindowsCommandLine(KernelArguments()); }

std::string ProcessNarrowCommandLine() { return Utf16ToUtf8(ProcessCommandLine()); }

std::vector<std::u16string> CommandLineToArgv(std::u16string_view command_line) {
  if (command_line.empty()) return {ModulePath()};
  return SplitWindowsCommandLine(command_line);
}

}  // namespace os
