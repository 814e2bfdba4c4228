#include <windows.h>

#include "os/error.h"

namespace os {

ErrorCode LastError() { return ::GetLastError(); }

}  // namespace os
