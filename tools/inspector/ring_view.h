#pragma once

#include <string>

namespace tools {

// Prints a channel's ring as it is now: the connected receivers, the commit cursor, the epoch and
// every slot that a receiver still has to read. Opens nothing that is not there already.
// Exit code: 0, or 1 when no process has the channel open.
int PrintRing(const std::string& channel, bool global, bool json);

}  // namespace tools
