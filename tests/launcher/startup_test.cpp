// Start-up of the real launcher program: exit code, log and the removal of its Image File
// Execution Options entry.
#include <gtest/gtest.h>

#include "base/registry.h"
#include "os/paths.h"
#include "registry_sandbox.h"
#include "test_support.h"

namespace {

const bool kSandbox = test_support::UseRegistrySandbox();

constexpr std::u16string_view kIfeoEntry =
    u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution "
    u"Options\\VelmoraLauncher.exe";

TEST(Startup, RemovesItsIfeoEntryAndLogsTheCommandLine) {
  ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, std::u16string(kIfeoEntry) + u"\\Nested",
                                  u"VelmoraTestMarker", u"1"));
  test_support::TempFolder temp;
  auto launcher =
      os::ChildProcess::Spawn(test_support::LauncherExecutable(), {u"--velmora-startup-test"},
                              test_support::ScopedTempEnvironment::For(temp.path()));
  ASSERT_TRUE(launcher.has_value());
  EXPECT_EQ(launcher->Wait(os::ChildProcess::kInfinite), 0u);

  os::RegistryKey key;
  EXPECT_EQ(os::RegistryKey::Open(kHkeyLocalMachine, kIfeoEntry, os::kKeyRead, key),
            os::kErrorFileNotFound);
  const std::string log = test_support::ReadFileBytes(os::PathJoin(
      os::PathJoin(os::PathJoin(temp.path(), u"Quorlen"), u"Velmora"), u"launcher.log"));
  EXPECT_NE(log.find("log start"), std::string::npos) << log;
  EXPECT_NE(log.find("[Initialize]: [Cmd]:"), std::string::npos) << log;
  EXPECT_NE(log.find("--velmora-startup-test"), std::string::npos) << log;
  EXPECT_NE(log.find("log end"), std::string::npos) << log;
}

}  // namespace
