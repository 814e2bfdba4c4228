#include "test_support.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "os/paths.h"
#include "os/process_info.h"
#include "os/text.h"

namespace test_support {
namespace {

std::map<std::string, ChildMain>& Children() {
  static std::map<std::string, ChildMain> children;
  return children;
}

constexpr std::string_view kChildFlag = "--velmora-child=";

}  // namespace

ChildRegistration::ChildRegistration(const char* name, ChildMain main) { Children()[name] = main; }

std::optional<os::ChildProcess> SpawnChild(const std::string& name,
                                           const std::vector<std::string>& arguments,
                                           const os::ChildProcess::Environment& environment) {
  std::vector<std::u16string> wide{os::Utf8ToUtf16(std::string(kChildFlag) + name)};
  for (const auto& argument : arguments) wide.push_back(os::Utf8ToUtf16(argument));
  return os::ChildProcess::Spawn(os::ModulePath(), wide, environment);
}

std::optional<int> RunChildIfRequested(int argc, char** argv) {
  if (argc < 2 || std::string_view(argv[1]).substr(0, kChildFlag.size()) != kChildFlag) {
    return std::nullopt;
  }
  const std::string name(std::string_view(argv[1]).substr(kChildFlag.size()));
  const auto found = Children().find(name);
  if (found == Children().end()) return 99;
  return found->second(std::vector<std::string>(argv + 2, argv + argc));
}

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  path_ = os::PathJoin(os::TempFolder(),
                       os::Utf8ToUtf16("velmora-test-" + std::to_string(os::CurrentProcessId()) +
                                       "-" + std::to_string(counter++)));
  os::RemoveAll(path_);
  os::CreateDirectories(path_);
}

TempFolder::~TempFolder() { os::RemoveAll(path_); }

std::string TempFolder::narrow() const { return os::Utf16ToUtf8(path_); }

ScopedTempEnvironment::ScopedTempEnvironment(const std::u16string& folder) {
  for (const auto& [name, value] : For(folder)) {
    saved_.emplace_back(name, os::GetEnv(name));
    os::SetEnv(name, value);
  }
}

ScopedTempEnvironment::~ScopedTempEnvironment() {
  for (const auto& [name, value] : saved_) os::SetEnv(name, value.value_or(u""));
}

os::ChildProcess::Environment ScopedTempEnvironment::For(const std::u16string& folder) {
  return {{u"TMPDIR", folder}, {u"TMP", folder}, {u"TEMP", folder}};
}

std::string ReadFileBytes(const std::u16string& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string UniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "-" + std::to_string(os::CurrentProcessId()) + "-" + std::to_string(counter++);
}

std::u16string ToolPath(const std::u16string& file_name) {
  const std::filesystem::path tests_folder = std::filesystem::path(os::ModulePath()).parent_path();
  return (tests_folder.parent_path() / "bin" / std::filesystem::path(file_name)).u16string();
}

std::u16string LauncherExecutable() { return ToolPath(u"VelmoraLauncher.exe"); }

}  // namespace test_support
