#pragma once

#include <string_view>

// The IPC core reports through the transport's diagnostic hook, not through the log: level, the
// source module, a line and the text, cut at 2048 bytes. The default hook discards everything.
namespace ipc {

inline constexpr const char* kSenderModule = "src/common/ipc/core/base/sender";
inline constexpr const char* kReceiverModule = "src/common/ipc/core/base/receiver";
inline constexpr const char* kHandlerModule = "src/common/ipc/core/base/handler";

inline constexpr int kReportError = 1;
inline constexpr int kReportWarning = 2;

void Report(int level, const char* module, int line, std::string_view text);

}  // namespace ipc
