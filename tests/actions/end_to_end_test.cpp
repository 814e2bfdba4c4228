// The built launcher against the replacement peers and a recording stand-in for the programs it
// starts: what reaches the peers, what gets started, and what the log says.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/registry.h"
#include "ipc_test_support.h"
#include "log_lines.h"
#include "os/named_objects.h"
#include "os/paths.h"
#include "os/text.h"
#include "registry_sandbox.h"
#include "test_support.h"

namespace {

const bool kSandbox = test_support::UseRegistrySandbox();

using Lines = std::vector<std::string>;

struct LauncherRun {
  std::optional<std::uint32_t> exit_code;
  Lines lines;
  std::string raw_log;
};

LauncherRun RunLauncher(const std::vector<std::u16string>& arguments,
                os::ChildProcess::Environment extra = {}) {
  test_support::TempFolder temp;
  auto environment = test_support::ScopedTempEnvironment::For(temp.path());
  environment.insert(environment.end(), extra.begin(), extra.end());
  auto child = os::ChildProcess::Spawn(test_support::LauncherExecutable(), arguments, environment);
  EXPECT_TRUE(child.has_value());
  if (!child) return {};
  LauncherRun run;
  run.exit_code = child->Wait(60'000);
  run.raw_log = test_support::ReadFileBytes(LauncherLogPath(temp.path()));
  if (auto log = ParseLog(run.raw_log)) run.lines = log->lines;
  return run;
}

bool HasLine(const LauncherRun& run, const std::string& start) {
  return std::any_of(run.lines.begin(), run.lines.end(),
                     [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

TEST(LauncherWithPeers, AnEmulatorLaunchIsConfirmedByTheEmulator) {
  ipc_test::PeerProcess emulator({"--role", "emulator"});
  ASSERT_TRUE(emulator.WaitReady());
  const std::string package = test_support::UniqueName("com.example.peer");
  const LauncherRun run = RunLauncher({u"--launch-proc-name", u"VelmoraEmulator.exe", u"--launch-pkg-name",
                               os::Utf8ToUtf16(package), u"--from", u"5"});
  EXPECT_EQ(run.exit_code, 0u);
  const auto packets = emulator.WaitForLines(ipc_test::ToolProcess::Packet(20001), 1);
  ASSERT_EQ(packets.size(), 1u);
  const auto& data = packets[0]["packet"]["data"];
  EXPECT_EQ(data["pkg_name"], package);
  EXPECT_EQ(data["source"], 5);
  const std::string trace_id = data["client_trace_id"];
  EXPECT_TRUE(
      HasLine(run, "WaitForLaunchResult: Launch completed successfully, trace_id: " + trace_id))
      << run.raw_log;
  EXPECT_TRUE(HasLine(run, "LaunchTarget: IpcToEmulatorIfEnvReady success.")) << run.raw_log;
  EXPECT_EQ(emulator.Stop(), 0u);
}

TEST(LauncherWithPeers, AUrlWithQuotesAndBlanksReachesTheRunningClientUnchanged) {
  ipc_test::PeerProcess client({"--role", "client"});
  ASSERT_TRUE(client.WaitReady());
  const std::u16string url = u"velmora://client/open?q=\"a b\"&x=%c(26)\\";
  const LauncherRun run = RunLauncher({url});
  EXPECT_EQ(run.exit_code, 0u);
  const auto packets = client.WaitForLines(ipc_test::ToolProcess::Packet(10003), 1);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0]["packet"]["data"], nlohmann::json({{"content", os::Utf16ToUtf8(url)}}));
  EXPECT_EQ(client.Stop(), 0u);
}

// An installation in a temporary folder whose application folder holds the recorder under the
// emulator's name. Registry values go under the product key (a sandbox on Linux, the Wine
// prefix's registry under Windows) and are removed again.
class InstalledApplication : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kSandbox);
    app_folder_ = os::PathJoin(os::PathJoin(install_.path(), u"Application"), u"5.2.0.1");
    ASSERT_TRUE(os::CreateDirectories(app_folder_));
    std::error_code error;
    std::filesystem::copy_file(
        std::filesystem::path(test_support::ToolPath(u"velmora-recorder.exe")),
        std::filesystem::path(os::PathJoin(app_folder_, u"VelmoraEmulator.exe")), error);
    ASSERT_FALSE(error) << error.message();
    ASSERT_TRUE(
        RegistryWriteString(kHkeyLocalMachine, kProductKey, u"InstallPath", install_.path()));
    ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, kClientKey, u"Version", u"5.2.0.1"));
    event_name_ = test_support::UniqueName("VelmoraRecorded");
    auto event = os::NamedEvent::Create(os::Utf8ToUtf16(event_name_), false, false,
                                        os::ObjectSecurity::kDefault);
    ASSERT_TRUE(event.ok());
    started_ = std::move(event.object);
  }
  void TearDown() override { RegistryDeleteKeyTree(kProductKey); }

  os::ChildProcess::Environment Recording() const {
    return {{u"VELMORA_RECORD_FILE", record_file()},
            {u"VELMORA_RECORD_EVENT", os::Utf8ToUtf16(event_name_)}};
  }
  std::u16string record_file() const { return os::PathJoin(install_.path(), u"recorded.txt"); }

  static constexpr std::u16string_view kProductKey = u"SOFTWARE\\Quorlen\\Velmora";
  static constexpr std::u16string_view kClientKey = u"SOFTWARE\\Quorlen\\Velmora\\Velmora";
  test_support::TempFolder install_;
  std::u16string app_folder_;
  std::string event_name_;
  os::NamedEvent started_;
};

TEST_F(InstalledApplication, TheEmulatorIsStartedFromTheApplicationFolderWithTheRequest) {
  const std::string package = test_support::UniqueName("com.example.start");
  const LauncherRun run = RunLauncher({u"--launch-proc-name", u"VelmoraEmulator.exe", u"--launch-pkg-name",
                               os::Utf8ToUtf16(package), u"--launch-deep-link", u"a \"b\" c\\"},
                              Recording());
  EXPECT_EQ(run.exit_code, 0u);
  ASSERT_TRUE(started_.Wait(30'000).signaled()) << run.raw_log;
  const std::string recorded = test_support::ReadFileBytes(record_file());
  Lines arguments;
  for (std::size_t at = 0, end; (end = recorded.find('\n', at)) != std::string::npos;
       at = end + 1) {
    arguments.push_back(recorded.substr(at, end - at));
  }
  ASSERT_EQ(arguments.size(), 10u) << recorded;
  EXPECT_EQ(Lines(arguments.begin(), arguments.begin() + 4),
            (Lines{"--launch-pkg-name", package, "--launch-deep-link", "a \"b\" c\\"}));
  EXPECT_EQ(arguments[4], "--app-launch-info");
  const auto record = nlohmann::json::parse(arguments[5]);
  EXPECT_EQ(record["pkg_name"], package);
  EXPECT_EQ(record["launch_step"], 1);
  EXPECT_EQ(record["launch_second_step"], 3);
  EXPECT_EQ(arguments[6], "--tamrisk_launcher_start_time");
  EXPECT_EQ(Lines(arguments.begin() + 8, arguments.end()), (Lines{"--emulator-launch-from", "1"}));
  EXPECT_TRUE(HasLine(run, "LaunchTarget: [result]:0, [exit_code]:1168")) << run.raw_log;
}

TEST_F(InstalledApplication, TargetsOutsideTheApplicationFolderAreRefused) {
  const std::u16string outside = os::PathJoin(install_.path(), u"outside.exe");
  for (const std::u16string& target : {std::u16string(u"..\\..\\VelmoraEmulator.exe"),
                                       std::u16string(u"../5.2.0.1/VelmoraEmulator.exe"), outside,
                                       std::u16string(u"C:VelmoraEmulator.exe")}) {
    const LauncherRun run =
        RunLauncher({u"--launch-proc-name", target, u"--pseudo-protocol", u"x\" y"}, Recording());
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(
        HasLine(run, "LaunchTarget: [launcher] refused target name:" + os::Utf16ToUtf8(target)))
        << run.raw_log;
    EXPECT_FALSE(HasLine(run, "LaunchTarget: [result]")) << run.raw_log;
  }
  EXPECT_FALSE(started_.Wait(0).signaled());
}

}  // namespace
