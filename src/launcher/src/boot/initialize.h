#pragma once

#include <string>
#include <vector>

// Brings up the process-wide services a request needs, in their order. No step stops the process:
// a step that fails leaves its service reduced and start-up goes on.
void Initialize();

// The whole run of the launcher after the system entry point: start-up, dispatch of the
// command line, shutdown. Always returns 0.
int RunLauncher();
// The same run for a given argument vector (argv[0] first); the actions that read the process's
// own command line still read it.
int RunLauncher(const std::vector<std::u16string>& arguments);
