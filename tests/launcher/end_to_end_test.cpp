// The built launcher as a process of its own, in a fresh temporary folder: it always exits with 0
// and leaves one section in its log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_lines.h"
#include "os/command_line.h"
#include "os/text.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

struct Run {
  std::uint32_t process_id = 0;
  std::optional<LogSection> log;
  std::string raw_log;
};

Run RunLauncher(const std::vector<std::u16string>& arguments) {
  test_support::TempFolder temp;
  auto child = os::ChildProcess::Spawn(test_support::LauncherExecutable(), arguments,
                                       test_support::ScopedTempEnvironment::For(temp.path()));
  EXPECT_TRUE(child.has_value());
  if (!child) return {};
  EXPECT_EQ(child->Wait(60'000), 0u);
  Run run{child->Id(), std::nullopt, test_support::ReadFileBytes(LauncherLogPath(temp.path()))};
  run.log = ParseLog(run.raw_log);
  return run;
}

// The "[Cmd]" line: the command line the launcher was started with. Both backends build it from
// the arguments by the Windows quoting rules.
std::string CommandLine(const std::vector<std::u16string>& arguments) {
  std::vector<std::u16string> all{test_support::LauncherExecutable()};
  all.insert(all.end(), arguments.begin(), arguments.end());
  return "Initialize: [Cmd]:" + os::Utf16ToUtf8(os::JoinWindowsCommandLine(all));
}

void ExpectRun(const std::vector<std::u16string>& arguments, const Lines& dispatch_lines) {
  const Run run = RunLauncher(arguments);
  ASSERT_TRUE(run.log.has_value()) << run.raw_log;
  EXPECT_EQ(run.log->process_id, run.process_id);
  Lines expected{CommandLine(arguments)};
  expected.insert(expected.end(), dispatch_lines.begin(), dispatch_lines.end());
  EXPECT_EQ(run.log->lines, expected);
}

TEST(Launcher, WithoutArgumentsLogsTooFewArguments) {
  ExpectRun({}, {"LaunchTarget: [error] argc < 2"});
}

TEST(Launcher, HandsASchemeUrlOn) {
  ExpectRun({u"velmora://client/open?id=7&x=a%20b"},
            {"LaunchSchema: [placeholder] LaunchSchema url:velmora://client/open?id=7&x=a%20b"});
}

TEST(Launcher, DispatchesALaunchRequest) {
  ExpectRun(
      {u"--launch-proc-name", u"VelmoraEmulator.exe", u"--launch-pkg-name", u"com.example.notes",
       u"--app-launch-info", u"{\"pkg_name\":\"com.example.notes\",\"engine_type\":3}"},
      {"IpcToEmulatorIfEnvReady: [placeholder] IpcToEmulatorIfEnvReady -> false",
       "StartTarget: [placeholder] StartTarget target:VelmoraEmulator.exe "
       "pkgname:com.example.notes engine_type:3 app-launch-info:{\"engine_type\":3,"
       "\"is_premium_game\":false,\"pkg_name\":\"com.example.notes\",\"rotation\":0,"
       "\"show_full_screen\":false,\"show_maximum\":false} -> false, 50"});
}

TEST(Launcher, ReportsAClientRequest) {
  ExpectRun({u"--launch-proc-name", u"Velmora.exe"},
            {"ReportSuccessfulActivateLauncherExe: [placeholder] "
             "ReportSuccessfulActivateLauncherExe pkgname: from:0",
             "ForwardToRunningClient: [placeholder] ForwardToRunningClient -> false",
             "StartTarget: [placeholder] StartTarget target:Velmora.exe pkgname: engine_type:2 "
             "app-launch-info:{\"engine_type\":2,\"is_premium_game\":false,\"pkg_name\":\"\","
             "\"rotation\":0,\"show_full_screen\":false,\"show_maximum\":false} -> false, 50",
             "ReportkFailPullMarketProcessExe: [placeholder] ReportkFailPullMarketProcessExe "
             "pkgname: from:0 error_code:50"});
}

TEST(Launcher, ToleratesAMalformedCommandLine) {
  ExpectRun({u"--bogus", u"-x", u"--", u"\"", u"a\\\"b c", u"--launch-proc-name"},
            {"StartTarget: [placeholder] StartTarget target: pkgname: engine_type:2 "
             "app-launch-info:{\"engine_type\":2,\"is_premium_game\":false,\"pkg_name\":\"\","
             "\"rotation\":0,\"show_full_screen\":false,\"show_maximum\":false} -> false, 50"});
}

// A command line has room for a payload nested over ten thousand deep, more than the main
// thread's stack would survive when the record is copied and written.
TEST(Launcher, RefusesAPayloadNestedTooDeep) {
  const int depth = 15000;
  const std::u16string payload = u"{\"pkg_name\":\"deep\",\"extra_data\":" +
                                 std::u16string(depth, u'[') + std::u16string(depth, u']') + u"}";
  ExpectRun({u"--launch-proc-name", u"VelmoraEmulator.exe", u"--app-launch-info", payload},
            {"IpcToEmulatorIfEnvReady: [placeholder] IpcToEmulatorIfEnvReady -> false",
             "StartTarget: [placeholder] StartTarget target:VelmoraEmulator.exe pkgname: "
             "engine_type:2 app-launch-info:{\"engine_type\":2,\"is_premium_game\":false,"
             "\"pkg_name\":\"\",\"rotation\":0,\"show_full_screen\":false,\"show_maximum\":false} "
             "-> false, 50"});
}

// The second of two launches of one package within a second is dropped. Each launcher run takes
// a few milliseconds (tens under Wine), far inside the second.
TEST(Launcher, DebouncesASecondLaunchOfOnePackage) {
  const std::u16string package = os::Utf8ToUtf16(test_support::UniqueName("com.example.debounce"));
  const std::vector<std::u16string> request{u"--launch-proc-name", u"VelmoraEmulator.exe",
                                            u"--launch-pkg-name", package};
  const ::Run first = RunLauncher(request);
  ASSERT_TRUE(first.log.has_value()) << first.raw_log;
  EXPECT_EQ(first.log->lines.at(1),
            "IpcToEmulatorIfEnvReady: [placeholder] IpcToEmulatorIfEnvReady -> false");
  ExpectRun(request, {"LaunchTarget: [launcher] launch debounced pkgname:" +
                          os::Utf16ToUtf8(package) + ", skip."});
}

}  // namespace
