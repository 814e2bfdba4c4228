#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace os {

// The number of threads this process has now (a thread snapshot on Windows, /proc/self/task on
// Linux); nothing when it cannot be read.
std::optional<std::size_t> OwnThreadCount();

// Ends this process at once with `exit_code` (TerminateProcess on itself; _exit on Linux): no
// destructors, no atexit handlers, no flushing.
[[noreturn]] void TerminateOwnProcess(std::uint32_t exit_code);

}  // namespace os
