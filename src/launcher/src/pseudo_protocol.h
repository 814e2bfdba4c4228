#pragma once

#include <string>
#include <vector>

// Delivers one URL of the product's scheme: to the running client over IPC, or by starting the
// client (the assistant for notification URLs) with the URL on its command line.
void LaunchSchema(const std::u16string& url);

// Hands a plain client request (the process's own command line) to a client that is already
// running. False when no client runs or the send failed.
bool ForwardToRunningClient();
// The same for the given arguments, to a client taken to be running.
bool ForwardToRunningClient(const std::vector<std::u16string>& arguments);
