#include <windows.h>

#include <tlhelp32.h>

#include "os/own_process.h"

namespace os {

std::optional<std::size_t> OwnThreadCount() {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return std::nullopt;
  const DWORD own = ::GetCurrentProcessId();
  std::size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot, &entry); more;
       more = ::Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == own) ++count;
  }
  ::CloseHandle(snapshot);
  return count;
}

void TerminateOwnProcess(std::uint32_t exit_code) {
  ::TerminateProcess(::GetCurrentProcess(), exit_code);
  // TerminateProcess on the own process does not return; this keeps the promise if it failed.
  ::ExitProcess(exit_code);
}

}  // namespace os
