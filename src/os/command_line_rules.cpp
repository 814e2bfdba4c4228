// The Windows rules for splitting and quoting command lines. Pure logic: the Linux backend splits
// with it, and the Windows build checks it against the real CommandLineToArgvW.
#include "os/command_line.h"

namespace os {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

std::vector<std::u16string> SplitWindowsCommandLine(std::u16string_view line) {
  std::vector<std::u16string> arguments;
  if (line.empty()) return arguments;
  std::size_t i = 0;

  // The program name takes no escapes: a leading quote runs to the next quote, anything else to
  // the first blank.
  std::u16string program;
  if (line[0] == u'"') {
    for (i = 1; i < line.size() && line[i] != u'"'; ++i) program.push_back(line[i]);
    if (i < line.size()) ++i;
  } else {
    for (; i < line.size() && !IsBlank(line[i]); ++i) program.push_back(line[i]);
  }
  arguments.push_back(std::move(program));
  while (i < line.size() && IsBlank(line[i])) ++i;

  // Quotes are counted in runs: every third quote of a run is a literal quote (so a doubled quote
  // inside a quoted part gives a quote and ends the part), and an odd count left over toggles.
  std::u16string current;
  bool started = false;
  int quotes = 0;  // 0 outside a quoted part, 1 inside, 2 transiently within a run
  while (i < line.size()) {
    const char16_t c = line[i];
    if (IsBlank(c) && quotes == 0) {
      arguments.push_back(std::move(current));
      current.clear();
      started = false;
      while (i < line.size() && IsBlank(line[i])) ++i;
      continue;
    }
    started = true;
    if (c == u'\\') {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == u'\\') {
        ++backslashes;
        ++i;
      }
      if (i < line.size() && line[i] == u'"') {
        current.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          current.push_back(u'"');
          ++i;
        }
        // An even count leaves the quote to be read as a delimiter on the next round.
      } else {
        current.append(backslashes, u'\\');
      }
      continue;
    }
    if (c == u'"') {
      for (; i < line.size() && line[i] == u'"'; ++i) {
        if (++quotes == 3) {
          current.push_back(u'"');
          quotes = 0;
        }
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    current.push_back(c);
    ++i;
  }
  if (started) arguments.push_back(std::move(current));
  return arguments;
}

std::u16string QuoteWindowsArgument(std::u16string_view argument) {
  if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string_view::npos) {
    return std::u16string(argument);
  }
  std::u16string quoted(1, u'"');
  std::size_t backslashes = 0;
  for (const char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      // Backslashes before a quote are doubled, and the quote itself escaped.
      quoted.append(backslashes * 2 + 1, u'\\');
    } else {
      quoted.append(backslashes, u'\\');
    }
    backslashes = 0;
    quoted.push_back(c);
  }
  // Backslashes before the closing quote are doubled so that it stays a delimiter.
  quoted.append(backslashes * 2, u'\\');
  quoted.push_back(u'"');
  return quoted;
}

std::u16string JoinWindowsCommandLine(const std::vector<std::u16string>& arguments) {
  std::u16string line;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) line.push_back(u' ');
    line += QuoteWindowsArgument(arguments[i]);
  }
  return line;
}

}  // namespace os
