#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "os/paths.h"

// One run's section of launcher.log, taken apart.
struct LogSection {
  std::uint32_t process_id = 0;
  std::vector<std::string> lines;  // "Function: message", between the banners
};

inline std::u16string LauncherLogPath(const std::u16string& temp_folder) {
  return os::PathJoin(os::PathJoin(os::PathJoin(temp_folder, u"Quorlen"), u"Velmora"),
                      u"launcher.log");
}

// The log file of exactly one run: an empty line, a rule, the start banner, the lines, the end
// banner and a rule, every line with a well-formed time and the same process id. Nothing when
// the text has any other shape.
inline std::optional<LogSection> ParseLog(const std::string& text) {
  static const std::string kRule(65, '=');
  static const std::regex kBanner(
      R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[\d+\.(\d+)\] log (start|end))");
  // Only a line's prefix goes through a regex: matching a long message would recurse once per
  // character in the standard library's matcher.
  static const std::regex kPrefix(R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[\d+\.(\d+)\]\[(\w+)\])");
  std::vector<std::string> raw;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) raw.push_back(line);
  if (raw.size() < 6 || !raw[0].empty() || !raw[1].empty() || raw[2] != kRule ||
      raw.back() != kRule) {
    return std::nullopt;
  }
  std::smatch match;
  if (!std::regex_match(raw[3], match, kBanner) || match[2] != "start") return std::nullopt;
  LogSection section;
  section.process_id = static_cast<std::uint32_t>(std::stoul(match[1]));
  const auto same_process = [&](const std::smatch& m) {
    return std::stoul(m[1]) == section.process_id;
  };
  const std::size_t end = raw.size() - 2;
  if (!std::regex_match(raw[end], match, kBanner) || match[2] != "end" || !same_process(match)) {
    return std::nullopt;
  }
  for (std::size_t i = 4; i < end; ++i) {
    const std::size_t colon = raw[i].find("]: ");
    if (colon == std::string::npos) return std::nullopt;
    const std::string prefix = raw[i].substr(0, colon + 1);
    if (!std::regex_match(prefix, match, kPrefix) || !same_process(match)) return std::nullopt;
    section.lines.push_back(match[2].str() + ": " + raw[i].substr(colon + 3));
  }
  return section;
}
