#include "launcher/src/start_target.h"

#include "base/logger.h"
#include "base/text_encoding.h"

// Placeholder until starting the target lands: nothing is started, which is reported as a failed
// start (ERROR_NOT_SUPPORTED) so that no caller believes a process came up.
StartOutcome StartTarget(LaunchRequest& request) {
  const std::string record = nlohmann::json(request.launch_record)
                                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  LOG("[placeholder] StartTarget target:{} pkgname:{} engine_type:{} app-launch-info:{} -> "
      "false, {}",
      WideToUtf8(request.target_name), WideToUtf8(request.package_name), request.engine_type,
      record, os::kErrorNotSupported);
  return {false, os::kErrorNotSupported};
}
