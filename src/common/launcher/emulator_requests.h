#pragma once

// Hands the launcher's request for the emulator to a running emulator that is ready for it.
// True when it was handed over (and, for a launch, confirmed); false leads to starting it.
bool IpcToEmulatorIfEnvReady();

// True when the process's own command line asks to stop the virtual machine: "oem-stop-vm" with
// a non-empty value. Such a request never starts the emulator.
bool IsStopVmRequested();
