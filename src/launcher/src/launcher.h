#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "launcher/src/launch_request.h"

// Every action the dispatch can hand a request to, as one table: LaunchTarget uses the real
// actions, tests and the fuzzer pass tables of their own to record calls and steer the answers.
struct LaunchActions {
  void (*launch_schema)(const std::u16string& url);
  bool (*forward_to_running_client)();
  bool (*ipc_to_emulator_if_env_ready)();
  bool (*is_stop_vm_requested)();
  bool (*should_suppress_launch)(const std::u16string& key);
  StartOutcome (*start_target)(LaunchRequest& request);
  void (*report_successful_activate_launcher_exe)(const std::u16string& package_name,
                                                  std::int32_t from);
  void (*report_successful_active_market_process_exe)(const std::u16string& package_name,
                                                      std::int32_t from);
  void (*report_fail_pull_market_process_exe)(const std::u16string& package_name, std::int32_t from,
                                              std::int32_t error_code);
};

// The real actions.
const LaunchActions& DefaultLaunchActions();

// Decides what the command line asks for and hands it to the action that carries it out.
// `argv` holds `argc` NUL-terminated wide strings; argv[0] is the program path.
void LaunchTarget(int argc, const char16_t* const* argv);
void LaunchTarget(int argc, const char16_t* const* argv, const LaunchActions& actions);

// Values put into the product's URLs: ASCII letters and digits stay, the six white-space bytes
// become '+', every other byte (also "-_.~" and all bytes from 0x80) becomes %XX, upper case.
std::string UrlEncode(std::string_view text);

// The extension of a path's file name as the shell menu search uses it: the last '.' of the file
// name and what follows it, where the file name is the text after the last '\' or '/' (and after
// any drive or server root) up to its first ':'. Empty for names of at most one character, for
// "..", and for names whose only '.' is the first character; "." for a name ending in '.'.
std::u16string FileNameExtension(std::u16string_view path);
