#pragma once

#include "tools/common/tool_support.h"

namespace tools {

// Prints the IPC statistics that runs stored under the product key of HKEY_CURRENT_USER.
int PrintStoredStatistics(bool json, LineOutput& out);

}  // namespace tools
