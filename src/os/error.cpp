#include "os/error.h"

#include <cerrno>

namespace os {

ErrorCode ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EEXIST:
      return kErrorAlreadyExists;
    case EINVAL:
    case ENAMETOOLONG:
      return kErrorInvalidParameter;
    case ENOEXEC:
      return kErrorBadExeFormat;
    case ETIMEDOUT:
      return kErrorWaitTimeout;
    case EOVERFLOW:
      return kErrorTooManyPosts;
    case ENOSYS:
    case EOPNOTSUPP:
      return kErrorNotSupported;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace os
