#include "common/ipc/core/base/ipc_report.h"

#include <string>

#include "transport/utility/log.h"

namespace ipc {

void Report(int level, const char* module, int line, std::string_view text) {
  const transport::log::hook_t hook = transport::log::get_hook();
  if (hook == nullptr) return;
  // The hook gets what fits its buffer, as every transport report.
  const std::string cut(text.substr(0, transport::log::kBufferSize - 1));
  hook(level, module, line, cut.c_str());
}

}  // namespace ipc
