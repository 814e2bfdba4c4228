#pragma once

#include <string>
#include <vector>

#include "launcher/src/cmdline/cmdline.h"

// The option sets of the launcher's actions. Each action parses the whole command line against
// only the options it reads; every option is declared required, with an empty description, and
// defaults to the empty text, false or 0.

// The dispatch's own options, on a parser that lives and dies with the dispatch: "local-install",
// "pseudo-protocol", "context-menu-search", "context-menu-uninstall", "launch-pkg-name",
// "install-app-info", "app-launch-info" (all text).
void DeclareDispatchOptions(cmdline::parser& options);

// Added to the dispatch's parser before its second parse, when the target is started directly:
// "silent" and "from" (text; here "--silent" needs a value, unlike in the client forward set).
void DeclareDispatchRestartOptions(cmdline::parser& options);

// The client forward set: "pseudo-protocol", "from" (text) and "silent" (without value).
void DeclareClientForwardOptions(cmdline::parser& options);

// The emulator request set: "launch-pkg-name", "app-launch-info" (text), "from" (int),
// "launch-deep-link", "launch-extra-data", "from-source", "install-app-info" (text), "quit" (bool),
// "oem", "oem-start-vm", "oem-stop-vm", "install-pkg-name", "install-file-path",
// "launch-tv-series" (text).
void DeclareEmulatorRequestOptions(cmdline::parser& options);

// The stop-VM check: "oem-stop-vm" (text), on a parser local to the check.
void DeclareStopVmOptions(cmdline::parser& options);

// The client forward and emulator request sets are one process-wide parser each, created on first
// use. Every use declares the set again (the repeats are refused and change nothing) and parses
// again: the process's own command line split by the shell's rules, or the given arguments.
cmdline::parser& ParseClientForwardOptions();
cmdline::parser& ParseClientForwardOptions(const std::vector<std::u16string>& arguments);
cmdline::parser& ParseEmulatorRequestOptions();
cmdline::parser& ParseEmulatorRequestOptions(const std::vector<std::u16string>& arguments);

// The process's own command line (GetCommandLineW) split again by CommandLineToArgvW.
std::vector<std::u16string> ProcessArguments();
