#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "os/append_file.h"
#include "os/named_objects.h"

// What the helper programs share: their command line, their line output, client names.
namespace tools {

// "--name value" options and "--flag" switches after an optional leading command word.
class Options {
 public:
  // Reads the process's own command line. `switches` names the options that take no value.
  Options(const std::vector<std::string>& switches);

  const std::string& command() const { return command_; }
  bool has(const std::string& name) const { return values_.count(name) != 0; }
  std::optional<std::string> get(const std::string& name) const;
  std::string get_or(const std::string& name, const std::string& fallback) const;
  // Problems met while reading the command line (unknown form, missing value).
  const std::vector<std::string>& errors() const { return errors_; }

 private:
  std::string command_;
  std::map<std::string, std::string> values_;
  std::vector<std::string> errors_;
};

// Lines to standard output and, when asked, appended to a file; after every line an auto-reset
// named event is set so that a waiting caller reads the file again without polling.
class LineOutput {
 public:
  LineOutput() = default;
  bool Open(const std::optional<std::string>& file, const std::optional<std::string>& notify_event,
            bool to_stdout = true);

  void Line(const std::string& text);
  // Compact JSON, invalid UTF-8 replaced.
  void Json(const nlohmann::json& value);

 private:
  std::mutex mutex_;
  bool to_stdout_ = true;
  os::AppendFile file_;
  os::NamedEvent notify_;
};

// Prints every report of the IPC core and the transport as a JSON line on `out`, which must live
// until the end of the process.
void PrintReports(LineOutput& out);

// A client id given as its number or its name ("VelEmulator"); nothing when neither.
std::optional<std::int32_t> ParseClient(const std::string& text);

}  // namespace tools
