#include <windows.h>

#include "os/own_process.h"

namespace os {

bool IsOwnProcessElevated() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD returned = 0;
  const BOOL ok =
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &returned);
  ::CloseHandle(token);
  return ok && returned == sizeof elevation && elevation.TokenIsElevated != 0;
}

void TerminateOwnProcess(std::uint32_t exit_code) {
  ::TerminateProcess(::GetCurrentProcess(), exit_code);
  // TerminateProcess on the own process does not return; this keeps the promise if it failed.
  ::ExitProcess(exit_code);
}

}  // namespace os
