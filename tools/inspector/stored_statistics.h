#pragma once

namespace tools {

// Prints the IPC statistics that runs stored under the product key of HKEY_CURRENT_USER.
int PrintStoredStatistics(bool json);

}  // namespace tools
