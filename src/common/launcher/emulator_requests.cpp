#include "common/launcher/emulator_requests.h"

#include <string>

#include "base/logger.h"
#include "launcher/src/cmdline/option_sets.h"

// Placeholder until the emulator requests land: the emulator is never reached, so the dispatch
// goes on to start it.
bool IpcToEmulatorIfEnvReady() {
  LOG("[placeholder] IpcToEmulatorIfEnvReady -> false");
  return false;
}

bool IsStopVmRequested() {
  cmdline::parser options;
  DeclareStopVmOptions(options);
  options.parse_arguments(ProcessArguments());
  return options.is_given(u"oem-stop-vm") &&
         !options.value_of<std::u16string>(u"oem-stop-vm").value_or(u"").empty();
}
