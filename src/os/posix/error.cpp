#include <cerrno>

#include "os/error.h"

namespace os {

ErrorCode LastError() { return ErrorFromErrno(errno); }

}  // namespace os
