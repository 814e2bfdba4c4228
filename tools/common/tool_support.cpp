#include "tools/common/tool_support.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_client.h"
#include "os/command_line.h"
#include "transport/utility/log.h"

namespace tools {

Options::Options(const std::vector<std::string>& switches) {
  const auto wide = os::CommandLineToArgv(os::ProcessCommandLine());
  std::vector<std::string> arguments;
  for (std::size_t i = 1; i < wide.size(); ++i) arguments.push_back(WideToUtf8(wide[i]));
  std::size_t i = 0;
  if (!arguments.empty() && !arguments[0].starts_with("--")) command_ = arguments[i++];
  for (; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!argument.starts_with("--") || argument.size() == 2) {
      errors_.push_back("unexpected argument: " + argument);
      continue;
    }
    const std::string name = argument.substr(2);
    if (std::find(switches.begin(), switches.end(), name) != switches.end()) {
      values_[name] = "";
    } else if (i + 1 < arguments.size()) {
      values_[name] = arguments[++i];
    } else {
      errors_.push_back("missing value for --" + name);
    }
  }
}

std::optional<std::string> Options::get(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::string Options::get_or(const std::string& name, const std::string& fallback) const {
  return get(name).value_or(fallback);
}

bool LineOutput::Open(const std::optional<std::string>& file,
                      const std::optional<std::string>& notify_event, bool to_stdout) {
  to_stdout_ = to_stdout;
  if (file && !file_.Open(Utf8ToWide(*file), os::AppendFile::Mode::kAppend)) return false;
  if (notify_event) {
    auto created = os::NamedEvent::Create(Utf8ToWide(*notify_event), false, false,
                                          os::ObjectSecurity::kDefault);
    if (!created.ok()) return false;
    notify_ = std::move(created.object);
  }
  return true;
}

void LineOutput::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (to_stdout_) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  if (file_.IsOpen()) file_.Write(text + "\n");
  if (notify_.valid()) notify_.Set();
}

void LineOutput::Json(const nlohmann::json& value) {
  Line(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

namespace {

LineOutput* report_output = nullptr;

void PrintReport(int level, const char* module, int line, const char* text) {
  if (report_output == nullptr) return;
  report_output->Json(
      {{"event", "report"}, {"level", level}, {"module", module}, {"line", line}, {"text", text}});
}

}  // namespace

void PrintReports(LineOutput& out) {
  report_output = &out;
  transport::log::set_hook(&PrintReport);
}

std::optional<std::int32_t> ParseClient(const std::string& text) {
  std::int32_t id = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
  if (error == std::errc() && end == text.data() + text.size()) return id;
  return ipc::FindClientId(text);
}

}  // namespace tools
