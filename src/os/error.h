#pragma once

#include <cstdint>

namespace os {

// One error vocabulary on both backends: Windows error numbers. The Linux backend maps errno
// onto them, so logs and tests read the same on both systems.
using ErrorCode = std::uint32_t;

inline constexpr ErrorCode kErrorSuccess = 0;
inline constexpr ErrorCode kErrorFileNotFound = 2;
inline constexpr ErrorCode kErrorPathNotFound = 3;
inline constexpr ErrorCode kErrorTooManyOpenFiles = 4;
inline constexpr ErrorCode kErrorAccessDenied = 5;
inline constexpr ErrorCode kErrorInvalidHandle = 6;
inline constexpr ErrorCode kErrorNotEnoughMemory = 8;
inline constexpr ErrorCode kErrorFileExists = 80;
inline constexpr ErrorCode kErrorInvalidParameter = 87;
inline constexpr ErrorCode kErrorInsufficientBuffer = 122;
inline constexpr ErrorCode kErrorModNotFound = 126;
inline constexpr ErrorCode kErrorBadExeFormat = 193;
inline constexpr ErrorCode kErrorAlreadyExists = 183;
inline constexpr ErrorCode kErrorMoreData = 234;
inline constexpr ErrorCode kErrorWaitTimeout = 258;
inline constexpr ErrorCode kErrorNotOwner = 288;
inline constexpr ErrorCode kErrorTooManyPosts = 298;
inline constexpr ErrorCode kErrorNotSupported = 50;
inline constexpr ErrorCode kErrorGenFailure = 31;
inline constexpr ErrorCode kErrorInvalidData = 13;
inline constexpr ErrorCode kErrorNoMoreItems = 259;
inline constexpr ErrorCode kErrorKeyDeleted = 1018;

// The calling thread's last platform error (GetLastError on Windows, errno mapped on Linux).
ErrorCode LastError();

// Maps an errno value onto the Windows vocabulary. Portable so both backends' tests can use it.
ErrorCode ErrorFromErrno(int err);

}  // namespace os
