#include "launcher/src/cmdline/option_sets.h"

#include <cstdint>
#include <initializer_list>

#include "os/command_line.h"

namespace {

void DeclareText(cmdline::parser& options, std::initializer_list<const char16_t*> names) {
  for (const char16_t* name : names) options.declare_option<std::u16string>(name, u"", u"");
}

cmdline::parser& ClientForwardParser() {
  static cmdline::parser options;
  return options;
}

cmdline::parser& EmulatorRequestParser() {
  static cmdline::parser options;
  return options;
}

}  // namespace

void DeclareDispatchOptions(cmdline::parser& options) {
  DeclareText(options, {u"local-install", u"pseudo-protocol", u"context-menu-search",
                        u"context-menu-uninstall", u"launch-pkg-name", u"install-app-info",
                        u"app-launch-info"});
}

void DeclareDispatchRestartOptions(cmdline::parser& options) {
  DeclareText(options, {u"silent", u"from"});
}

void DeclareClientForwardOptions(cmdline::parser& options) {
  DeclareText(options, {u"pseudo-protocol", u"from"});
  options.declare_flag(u"silent", u"");
}

void DeclareEmulatorRequestOptions(cmdline::parser& options) {
  DeclareText(options, {u"launch-pkg-name", u"app-launch-info"});
  options.declare_option<std::int32_t>(u"from", u"", 0);
  DeclareText(options,
              {u"launch-deep-link", u"launch-extra-data", u"from-source", u"install-app-info"});
  options.declare_option<bool>(u"quit", u"", false);
  DeclareText(options, {u"oem", u"oem-start-vm", u"oem-stop-vm", u"install-pkg-name",
                        u"install-file-path", u"launch-tv-series"});
}

void DeclareStopVmOptions(cmdline::parser& options) {
  DeclareText(options, {u"oem-stop-vm"});
}

std::vector<std::u16string> ProcessArguments() {
  return os::CommandLineToArgv(os::ProcessCommandLine());
}

cmdline::parser& ParseClientForwardOptions() {
  return ParseClientForwardOptions(ProcessArguments());
}

cmdline::parser& ParseClientForwardOptions(const std::vector<std::u16string>& arguments) {
  cmdline::parser& options = ClientForwardParser();
  DeclareClientForwardOptions(options);
  options.parse_arguments(arguments);
  return options;
}

cmdline::parser& ParseEmulatorRequestOptions() {
  return ParseEmulatorRequestOptions(ProcessArguments());
}

cmdline::parser& ParseEmulatorRequestOptions(const std::vector<std::u16string>& arguments) {
  cmdline::parser& options = EmulatorRequestParser();
  DeclareEmulatorRequestOptions(options);
  options.parse_arguments(arguments);
  return options;
}
