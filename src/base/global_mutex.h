#pragma once

#include <string>

// Whether the mutex "Global\" + `name` exists in the machine-wide namespace: how the launcher
// learns that a peer (client, emulator, another instance) runs. Only "not found" means absent;
// a mutex that exists but cannot be opened (another account's, another integrity level's)
// counts as present. `name` is plain ASCII.
bool IsGlobalMutexPresent(const std::string& name);
