#pragma once

#include <cstdint>

namespace os {

// Whether this process runs elevated: the TokenElevation of its token on Windows (false when the
// token cannot be opened or queried); on Linux an effective uid of 0.
bool IsOwnProcessElevated();

// Ends this process at once with `exit_code` (TerminateProcess on itself; _exit on Linux): no
// destructors, no atexit handlers, no flushing.
[[noreturn]] void TerminateOwnProcess(std::uint32_t exit_code);

}  // namespace os
