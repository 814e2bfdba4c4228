#pragma once

#include <cstdint>
#include <string>

#include "common/ipc/launch_payload_records.h"
#include "launcher/src/cmdline/cmdline.h"
#include "os/error.h"

// The working values of one dispatch of a launch request. The dispatch fills them; starting the
// target reads them, may change the target name and the launch record, and parses the options
// again.
struct LaunchRequest {
  int argc = 0;
  const char16_t* const* argv = nullptr;
  cmdline::parser options;      // the dispatch options, after their first parse
  std::u16string target_name;   // "Velmora.exe", "VelmoraEmulator.exe", ...; may be empty
  std::u16string package_name;  // "launch-pkg-name", empty when not given
  ipc::InstallAppInfo install_record;
  ipc::AppLaunchInfo launch_record;
  std::int32_t engine_type = 2;
  std::int32_t from = 0;  // origin number of the activation reports
};

struct StartOutcome {
  bool success = false;
  os::ErrorCode error_code = os::kErrorSuccess;
};
