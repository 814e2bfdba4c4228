#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "os/child_process.h"

namespace test_support {

// A child mode of the test program: the program re-runs itself with
// --velmora-child=<name> and the child function's result is the process's exit code.
using ChildMain = int (*)(const std::vector<std::string>& arguments);

struct ChildRegistration {
  ChildRegistration(const char* name, ChildMain main);
};

#define VELMORA_TEST_CHILD(name)                                                         \
  static int name##_ChildMain(const std::vector<std::string>& arguments);                \
  static const ::test_support::ChildRegistration name##_registration(#name, name##_ChildMain); \
  static int name##_ChildMain([[maybe_unused]] const std::vector<std::string>& arguments)

// Runs a registered child mode in a new process of this test program.
std::optional<os::ChildProcess> SpawnChild(const std::string& name,
                                           const std::vector<std::string>& arguments = {},
                                           const os::ChildProcess::Environment& environment = {});

// Runs the child mode named by argv, if any. Returns its exit code, or nothing for a normal run.
std::optional<int> RunChildIfRequested(int argc, char** argv);

// A fresh folder in the temporary folder, removed with everything in it at the end of scope.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::u16string& path() const { return path_; }
  std::string narrow() const;

 private:
  std::u16string path_;
};

// Points this process's temporary folder (TMPDIR, TMP, TEMP) at `folder` for the scope.
class ScopedTempEnvironment {
 public:
  explicit ScopedTempEnvironment(const std::u16string& folder);
  ~ScopedTempEnvironment();
  ScopedTempEnvironment(const ScopedTempEnvironment&) = delete;
  ScopedTempEnvironment& operator=(const ScopedTempEnvironment&) = delete;
  // The same settings for a child process.
  static os::ChildProcess::Environment For(const std::u16string& folder);

 private:
  std::vector<std::pair<std::u16string, std::optional<std::u16string>>> saved_;
};

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::u16string& path);

// A name no other process of a parallel test run uses: prefix, this process id, a counter.
std::string UniqueName(const std::string& prefix);

// The built launcher and tools: bin/ beside the tests/ folder of this test program.
std::u16string LauncherExecutable();
std::u16string ToolPath(const std::u16string& file_name);

}  // namespace test_support
