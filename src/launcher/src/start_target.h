#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "launcher/src/launch_request.h"

// Starts the target of a launch request that no running process took, with the request forwarded
// on its command line: through the service when it may, else directly from the application
// folder. May change the request's target name and launch record, and parses its options again.
// Only a plain file name of the application folder is started: a name that is empty, holds a
// separator or a drive, or is "." or "..", is refused (logged, nothing started or sent).
StartOutcome StartTarget(LaunchRequest& request);

// Whether a target name is a plain file name of the application folder.
bool IsSafeTargetName(std::u16string_view name);

// Asks the service (then the app store) to start `target_name` with `command_line`, when the
// token allows it. True when the request was taken and, for the client and the emulator, the
// started process announced itself.
bool RequestServiceStart(const std::u16string& target_name, const std::u16string& command_line);

// What the token gate of the service way reads about this process's token. Nothing means that
// the fact could not be read.
struct TokenFacts {
  std::optional<std::uint32_t> elevation_type;  // 1 default, 2 full, 3 limited
  std::optional<bool> linked_token_is_admin;    // read only for a limited token
  std::optional<bool> shell_user_is_admin;      // read only for other types
};

// The service may start programs for an administrator running with a filtered token, and when
// the token cannot be inspected; a standard user and an elevated administrator start it
// themselves.
bool ServiceWayAllowed(const TokenFacts& facts);

// The token facts of this process; tests replace them.
std::function<TokenFacts()>& TokenFactsSource();

// `text` as one command-line value: between double quotes, backslashes doubled, double quotes
// escaped, followed by a blank. The narrow form quotes UTF-8 text.
std::u16string Quote(std::u16string_view text);
std::u16string Quote(std::string_view text);

// "--name " and the quoted value for each entry, in name order.
std::u16string Options(const std::map<std::u16string, std::u16string>& options);
std::u16string Options(const std::map<std::string, std::string>& options);

// The application folder to start from. A folder named after an older 5.10 version (third field
// below 2100) is replaced by the folder of the launcher's own version beside its executable, when
// that one holds the emulator.
std::u16string FixUpAppFolder(const std::u16string& folder, const std::u16string& launcher_path,
                              const std::u16string& launcher_version);
