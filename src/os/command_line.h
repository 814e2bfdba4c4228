#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace os {

// The process's own command line as the system gave it: GetCommandLineW on Windows; on Linux
// the kernel's argv joined with blanks, each argument quoted by the Windows rules where needed.
std::u16string ProcessCommandLine();

// The narrow command line: GetCommandLineA (system code page) on Windows, UTF-8 on Linux.
std::string ProcessNarrowCommandLine();

// The shell's split of a command line into arguments: the real CommandLineToArgvW on Windows,
// SplitWindowsCommandLine on Linux. An empty text yields the module path alone.
std::vector<std::u16string> CommandLineToArgv(std::u16string_view command_line);

// --- Portable Windows command-line rules (no OS involved) ---

// CommandLineToArgvW's documented rules: the first argument ends at the first blank outside
// quotes and takes no escapes; afterwards 2n backslashes before a quote give n backslashes and
// a quote, 2n+1 give n backslashes and a literal quote; in a run of quotes every third one is
// literal, so a doubled quote inside a quoted part gives one quote and ends the part. An empty
// text yields nothing (callers add the module path).
std::vector<std::u16string> SplitWindowsCommandLine(std::u16string_view command_line);

// Quotes one argument so that SplitWindowsCommandLine gives it back unchanged; arguments with
// no blank, tab, newline, vertical tab or quote (and not empty) are returned as they are.
std::u16string QuoteWindowsArgument(std::u16string_view argument);

// Arguments joined with blanks, each quoted by QuoteWindowsArgument.
std::u16string JoinWindowsCommandLine(const std::vector<std::u16string>& arguments);

}  // namespace os
