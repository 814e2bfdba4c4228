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

// The parts of a line that differ from run to run or from system to system: the launcher's start
// time and the path of a program that is not installed.
std::string Normalised(std::string line) {
  const std::string time = "--tamrisk_launcher_start_time \"";
  if (const auto at = line.find(time); at != std::string::npos) {
    const auto end = line.find('"', at + time.size());
    line.replace(at + time.size(), end - at - time.size(), "T");
  }
  // A missing program: file not found (2), or path not found (3) where its folder is missing too.
  for (const char* code : {"[result]:2,", "[result]:3,"}) {
    if (const auto at = line.find(code); at != std::string::npos)
      line.replace(at, 11, "[result]:missing,");
  }
  const std::string missing = "[no exist]:";
  if (const auto at = line.find(missing); at != std::string::npos) {
    line = line.substr(0, at + missing.size()) + "P";
  }
  return line;
}

void ExpectRun(const std::vector<std::u16string>& arguments, const Lines& dispatch_lines) {
  const Run run = RunLauncher(arguments);
  ASSERT_TRUE(run.log.has_value()) << run.raw_log;
  EXPECT_EQ(run.log->process_id, run.process_id);
  Lines expected{CommandLine(arguments)};
  expected.insert(expected.end(), dispatch_lines.begin(), dispatch_lines.end());
  Lines actual;
  for (const auto& line : run.log->lines) actual.push_back(Normalised(line));
  EXPECT_EQ(actual, expected);
}

const Lines kEmulatorNotRunning{
    "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] Checking emulator quitting event before "
    "IPC...",
    "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] No emulator quitting event found, "
    "proceeding directly",
    "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] emulator process not exist",
    "LaunchTarget: [launcher] Checking emulator quitting event before launch...",
    "LaunchTarget: [launcher] No emulator quitting event found, proceeding directly"};

const Lines kNotInstalled{"LaunchTarget: [result]:missing, [exit_code]:1168",
                          "LaunchTarget: [no exist]:P"};

Lines Concat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(Launcher, WithoutArgumentsLogsTooFewArguments) {
  ExpectRun({}, {"LaunchTarget: [error] argc < 2"});
}

TEST(Launcher, HandsASchemeUrlOn) {
  ExpectRun({u"velmora://client/open?id=7&x=a%20b"},
            {"LaunchSchema: [info] pseudo protocol velmora://client/open?id=7&x=a%20b"});
}

TEST(Launcher, DispatchesALaunchRequest) {
  ExpectRun(
      {u"--launch-proc-name", u"VelmoraEmulator.exe", u"--launch-pkg-name", u"com.example.notes",
       u"--app-launch-info", u"{\"pkg_name\":\"com.example.notes\",\"engine_type\":3}"},
      Concat({kEmulatorNotRunning,
              {"LaunchTarget: [target]:VelmoraEmulator.exe,[cmd]:--launch-pkg-name "
               "\"com.example.notes\" --app-launch-info "
               "\"{\\\"pkg_name\\\":\\\"com.example.notes\\\",\\\"engine_type\\\":3}\" "
               "--tamrisk_launcher_start_time \"T\" ,[suc]:false"},
              kNotInstalled}));
}

TEST(Launcher, ReportsAClientRequest) {
  ExpectRun({u"--launch-proc-name", u"Velmora.exe"},
            Concat({{"ReportSuccessfulActivateLauncherExe: [ReportSuccessfulActivateLauncherExe]"
                     "[State]: ipc try fail 1!",
                     "LaunchTarget: [target]:Velmora.exe,[cmd]:--tamrisk_launcher_start_time "
                     "\"T\" ,[suc]:false"},
                    kNotInstalled,
                    {"ReportkFailPullMarketProcessExe: [ReportkFailPullMarketProcessExe][State]: "
                     "ipc try fail 1!"}}));
}

TEST(Launcher, ToleratesAMalformedCommandLine) {
  ExpectRun({u"--bogus", u"-x", u"--", u"\"", u"a\\\"b c", u"--launch-proc-name"},
            {"LaunchTarget: [launcher] refused target name:"});
}

// A command line has room for a payload nested over ten thousand deep, more than the main
// thread's stack would survive when the record is copied and written.
TEST(Launcher, RefusesAPayloadNestedTooDeep) {
  const int depth = 15000;
  const std::u16string payload = u"{\"pkg_name\":\"deep\",\"extra_data\":" +
                                 std::u16string(depth, u'[') + std::u16string(depth, u']') + u"}";
  const ::Run run =
      RunLauncher({u"--launch-proc-name", u"VelmoraEmulator.exe", u"--app-launch-info", payload});
  ASSERT_TRUE(run.log.has_value()) << run.raw_log.substr(0, 2000);
  // Not a launch request of the emulator's: the text is forwarded as it came, never parsed.
  EXPECT_EQ(run.log->lines.at(3), kEmulatorNotRunning[2]);
  EXPECT_EQ(run.log->lines.back(), "LaunchTarget: [no exist]:" + run.log->lines.back().substr(25));
  EXPECT_NE(run.log->lines.at(6).find("[suc]:false"), std::string::npos);
}

// The second of two launches of one package within a second is dropped. Each launcher run takes
// a few milliseconds (tens under Wine), far inside the second.
TEST(Launcher, DebouncesASecondLaunchOfOnePackage) {
  const std::u16string package = os::Utf8ToUtf16(test_support::UniqueName("com.example.debounce"));
  const std::vector<std::u16string> request{u"--launch-proc-name", u"VelmoraEmulator.exe",
                                            u"--launch-pkg-name", package};
  const ::Run first = RunLauncher(request);
  ASSERT_TRUE(first.log.has_value()) << first.raw_log;
  EXPECT_EQ(first.log->lines.at(1), kEmulatorNotRunning[0]);
  ExpectRun(request, {"LaunchTarget: [launcher] launch debounced pkgname:" +
                      os::Utf16ToUtf8(package) + ", skip."});
}

}  // namespace
