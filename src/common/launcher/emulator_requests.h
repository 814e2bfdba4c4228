#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Hands the launcher's request for the emulator to a running emulator that is ready for it.
// True when it was handed over (and, for a launch, confirmed); false leads to starting it.
bool IpcToEmulatorIfEnvReady();

// Waits for a shutting-down emulator to go: 0 when it was not shutting down, else the
// milliseconds waited (500 ms steps, at most 30 000), or -1 when it is still there after that.
int WaitEmulatorQuitting();

// Whether a Hyper-V worker process of the product's virtual machine runs. Without elevation the
// workers' owners cannot be read, and any worker is taken to be the product's.
bool IsVmWorkerRunning();

// Turns the command line (the process's own, or the given arguments) into the one request it
// asks of the emulator and sends it. `trace_id` names the launch's event pair.
bool NotifyCurrentTamrisk(const std::string& trace_id);
bool NotifyCurrentTamrisk(const std::string& trace_id,
                          const std::vector<std::u16string>& arguments);

// True when the process's own command line asks to stop the virtual machine: "oem-stop-vm" with
// a non-empty value. Such a request never starts the emulator.
bool IsStopVmRequested();

// The app store's silent desktop-link mode: its sdk mark set, neither the desktop-link nor the
// tray-hidden break mark.
bool IsSilentDesktopLink();
