#include <gtest/gtest.h>

#include <fmt/format.h>

#include <string>
#include <vector>

#include "base/logger.h"
#include "launcher/src/launcher.h"
#include "log_lines.h"
#include "os/paths.h"
#include "os/text.h"
#include "test_support.h"

namespace {

using Args = std::vector<std::u16string>;
using Calls = std::vector<std::string>;

std::string Narrow(std::u16string_view text) {
  return os::Utf16ToUtf8(text);
}

// What the recording actions answer, and what they saw.
struct Steering {
  bool suppress = false;
  bool emulator_ready = false;
  bool client_running = false;
  bool stop_vm = false;
  StartOutcome start{false, 2};
  std::u16string rename_to;  // a target name the start settles on instead
};

Steering g_steering;
Calls g_calls;

const LaunchActions kRecordingActions{
    [](const std::u16string& url) { g_calls.push_back("LaunchSchema " + Narrow(url)); },
    [] {
      g_calls.push_back("ForwardToRunningClient");
      return g_steering.client_running;
    },
    [] {
      g_calls.push_back("IpcToEmulatorIfEnvReady");
      return g_steering.emulator_ready;
    },
    [] {
      g_calls.push_back("IsStopVmRequested");
      return g_steering.stop_vm;
    },
    [](const std::u16string& key) {
      g_calls.push_back("ShouldSuppressLaunch " + Narrow(key));
      return g_steering.suppress;
    },
    [](LaunchRequest& r) {
      g_calls.push_back(
          fmt::format("StartTarget target={} pkg={} engine={} record={} argc={} given={}",
                      Narrow(r.target_name), Narrow(r.package_name), r.engine_type,
                      r.launch_record.pkg_name, r.argc, r.options.is_given(u"launch-pkg-name")));
      if (!g_steering.rename_to.empty()) r.target_name = g_steering.rename_to;
      return g_steering.start;
    },
    [](const std::u16string& package, std::int32_t from) {
      g_calls.push_back(fmt::format("ActivateLauncher {} {}", Narrow(package), from));
    },
    [](const std::u16string& package, std::int32_t from) {
      g_calls.push_back(fmt::format("ActiveMarket {} {}", Narrow(package), from));
    },
    [](const std::u16string& package, std::int32_t from, std::int32_t error) {
      g_calls.push_back(fmt::format("FailPull {} {} {}", Narrow(package), from, error));
    },
};

Calls Dispatch(const Args& args, const Steering& steering = {}) {
  g_steering = steering;
  g_calls.clear();
  Args all{u"C:\\Velmora\\VelmoraLauncher.exe"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<const char16_t*> argv;
  for (const auto& a : all) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  LaunchTarget(static_cast<int>(all.size()), argv.data(), kRecordingActions);
  return g_calls;
}

const std::u16string kEmulator = u"VelmoraEmulator.exe";
const std::u16string kClient = u"Velmora.exe";

TEST(Dispatch, ShellRequestsBecomeProductUrls) {
  const struct {
    Args args;
    std::string url;
  } cases[] = {
      {{u"velmora://open/app?id=1&x=%20"}, "velmora://open/app?id=1&x=%20"},
      {{u"--local-install", u"C:\\a b\\x.apk"},
       "Velmora://app/localInstall?path=C%3A%5Ca+b%5Cx%2Eapk"},
      {{u"--local-install=D:\\\u6e38\u620f\\a-1.apk"},
       "Velmora://app/localInstall?path=D%3A%5C%E6%B8%B8%E6%88%8F%5Ca%2D1%2Eapk"},
      {{u"--local-install="}, "Velmora://app/localInstall?path="},
      {{u"--context-menu-search", u"C:\\docs\\Game.APK", u"--local-install", u"x.apk"},
       "Velmora://app/localInstall?path=x%2Eapk"},
      {{u"--context-menu-search", u"C:\\docs\\Game.APK"},
       "Velmora://client/gotoRoute?feature=context_menu&url=%2FsearchResult%3Fq%3D%2EAPK%26from%"
       "3Dclient&file_source=-1&search_jump_from=0&file_suffix=.APK&need_splicing=1"},
      {{u"--context-menu-search", u"C:\\docs\\README"},
       "Velmora://client/gotoRoute?feature=context_menu&url=%2FsearchResult%3Fq%3D%26from%"
       "3Dclient&file_source=-1&search_jump_from=0&file_suffix=&need_splicing=1"},
      {{u"--context-menu-search", u"/home/u/a.t\u00e9"},
       "Velmora://client/gotoRoute?feature=context_menu&url=%2FsearchResult%3Fq%3D%2Et%C3%A9%"
       "26from%3Dclient&file_source=-1&search_jump_from=0&file_suffix=.t\xC3\xA9&need_splicing=1"},
      {{u"--context-menu-uninstall", u"com.example.app"},
       "Velmora://client/gotoUninstallPage?feature=context_menu_uninstall&local_pkgname=com%"
       "2Eexample%2Eapp&pkgname=com%2Eexample%2Eapp"},
      {{u"--context-menu-uninstall", u"", u"--context-menu-search", u"a.b"},
       "Velmora://client/gotoRoute?feature=context_menu&url=%2FsearchResult%3Fq%3D%2Eb%26from%"
       "3Dclient&file_source=-1&search_jump_from=0&file_suffix=.b&need_splicing=1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Dispatch(c.args), Calls{"LaunchSchema " + c.url}) << Narrow(c.args[0]);
  }
}

TEST(Dispatch, OnlyALoneLowerCaseSchemeUrlSkipsParsing) {
  EXPECT_EQ(Dispatch({}), Calls{});
  const std::string empty_start = "StartTarget target= pkg= engine=2 record= argc=2 given=false";
  EXPECT_EQ(Dispatch({u"Velmora://open"}), Calls{empty_start});
  EXPECT_EQ(Dispatch({u"VELMORA://open"}), Calls{empty_start});
  EXPECT_EQ(Dispatch({u" velmora://open"}), Calls{empty_start});
  EXPECT_EQ(Dispatch({u"velmora://open", u"b"}),
            Calls{"StartTarget target= pkg= engine=2 record= argc=3 given=false"});
  // A scheme URL given as an option value is the pseudo-protocol of a launch request.
  EXPECT_EQ(Dispatch({u"--pseudo-protocol", u"velmora://x"}),
            Calls{"StartTarget target= pkg= engine=2 record= argc=3 given=false"});
}

TEST(Dispatch, EmulatorRequestsTryEachStepInOrder) {
  const Args request{u"--launch-proc-name", kEmulator, u"--launch-pkg-name", u"com.a"};
  const std::string start =
      "StartTarget target=VelmoraEmulator.exe pkg=com.a engine=2 record= argc=5 given=true";
  const struct {
    const char* title;
    Steering steering;
    Calls calls;
  } cases[] = {
      {"nothing takes it",
       {},
       {"ShouldSuppressLaunch com.a", "IpcToEmulatorIfEnvReady", "IsStopVmRequested", start}},
      {"debounced", {.suppress = true}, {"ShouldSuppressLaunch com.a"}},
      {"running emulator",
       {.emulator_ready = true},
       {"ShouldSuppressLaunch com.a", "IpcToEmulatorIfEnvReady"}},
      {"stop-vm request",
       {.stop_vm = true},
       {"ShouldSuppressLaunch com.a", "IpcToEmulatorIfEnvReady", "IsStopVmRequested"}},
      {"start fails, no reports for the emulator",
       {.start = {false, 5}},
       {"ShouldSuppressLaunch com.a", "IpcToEmulatorIfEnvReady", "IsStopVmRequested", start}},
  };
  for (const auto& c : cases) EXPECT_EQ(Dispatch(request, c.steering), c.calls) << c.title;
}

TEST(Dispatch, ClientRequestsAreReportedWhateverHappens) {
  const Args request{u"--launch-pkg-name", u"com.b", u"--launch-proc-name", kClient};
  const std::string start =
      "StartTarget target=Velmora.exe pkg=com.b engine=2 record= argc=5 given=true";
  const struct {
    const char* title;
    Steering steering;
    Calls calls;
  } cases[] = {
      {"client runs",
       {.client_running = true, .stop_vm = true},
       {"ActivateLauncher com.b 0", "ForwardToRunningClient", "ActiveMarket com.b 0"}},
      {"client started",
       {.stop_vm = true, .start = {true, 0}},
       {"ActivateLauncher com.b 0", "ForwardToRunningClient", start, "ActiveMarket com.b 0"}},
      {"start failed",
       {.start = {false, 1223}},
       {"ActivateLauncher com.b 0", "ForwardToRunningClient", start, "FailPull com.b 0 1223"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Dispatch(request, c.steering), c.calls) << c.title;
}

// The start may settle on another target name (the last one on the command line); the reports
// follow the name it used.
TEST(Dispatch, ReportsFollowTheTargetTheStartUsed) {
  const Args request{u"--launch-proc-name", u"a.exe", u"--launch-proc-name", kClient};
  EXPECT_EQ(Dispatch(request, {.start = {true, 0}, .rename_to = kClient}),
            (Calls{"StartTarget target=a.exe pkg= engine=2 record= argc=5 given=false",
                   "ActiveMarket  0"}));
  EXPECT_EQ(Dispatch({u"--launch-proc-name", kClient}, {.start = {true, 0}, .rename_to = u"b.exe"}),
            (Calls{"ActivateLauncher  0", "ForwardToRunningClient",
                   "StartTarget target=Velmora.exe pkg= engine=2 record= argc=3 given=false"}));
}

TEST(Dispatch, TargetNameComesFromTheFirstArgumentNamingIt) {
  const auto start_for = [](const char* target, int argc) {
    return fmt::format("StartTarget target={} pkg= engine=2 record= argc={} given=false", target,
                       argc);
  };
  const Steering steering{.emulator_ready = true, .stop_vm = true};
  // Other targets go straight to the start, whatever the steering.
  EXPECT_EQ(Dispatch({u"--launch-proc-name", u"VelmoraAssistant.exe"}, steering),
            Calls{start_for("VelmoraAssistant.exe", 3)});
  EXPECT_EQ(Dispatch({u"--launch-proc-name", u"velmoraemulator.exe"}, steering),
            Calls{start_for("velmoraemulator.exe", 3)});
  EXPECT_EQ(Dispatch({u"x", u"--launch-proc-name"}, steering), Calls{start_for("", 3)});
  EXPECT_EQ(Dispatch({u"--launch-proc-name=Velmora.exe", u"other.exe"}, steering),
            Calls{start_for("other.exe", 3)});
  EXPECT_EQ(Dispatch({u"launch-proc-names", kEmulator}, steering),
            (Calls{"ShouldSuppressLaunch ", "IpcToEmulatorIfEnvReady"}));
  EXPECT_EQ(Dispatch({u"--launch-proc-name", u"a.exe", u"--launch-proc-name", kEmulator}, steering),
            Calls{start_for("a.exe", 5)});
}

TEST(Dispatch, PayloadRecordsSetTheKeyAndTheEngineType) {
  const auto dispatch = [](Args args) {
    args.insert(args.begin(), {u"--launch-proc-name", kEmulator});
    const Calls calls = Dispatch(args);
    return calls.front() + " | " + calls.back();
  };
  const std::u16string launch = u"{\"pkg_name\":\"com.c\",\"engine_type\":7}";
  const std::u16string install =
      u"{\"pkg_name\":\"i\",\"icon\":\"i\",\"name\":\"n\",\"engine_name\":\"e\","
      u"\"file_path\":\"f\",\"engine_type\":4}";
  const struct {
    Args args;
    std::string expected;
  } cases[] = {
      {{u"--app-launch-info", launch},
       "ShouldSuppressLaunch com.c | StartTarget target=VelmoraEmulator.exe pkg= engine=7 "
       "record=com.c argc=5 given=false"},
      {{u"--app-launch-info", launch, u"--launch-pkg-name", u"com.d"},
       "ShouldSuppressLaunch com.d | StartTarget target=VelmoraEmulator.exe pkg=com.d engine=7 "
       "record=com.c argc=7 given=true"},
      {{u"--app-launch-info", u"{oops"},
       "ShouldSuppressLaunch  | StartTarget target=VelmoraEmulator.exe pkg= engine=2 record= "
       "argc=5 given=false"},
      {{u"--app-launch-info", u"{\"engine_type\":7}"},
       "ShouldSuppressLaunch  | StartTarget target=VelmoraEmulator.exe pkg= engine=2 record= "
       "argc=5 given=false"},
      {{u"--install-app-info", install},
       "ShouldSuppressLaunch  | StartTarget target=VelmoraEmulator.exe pkg= engine=4 record= "
       "argc=5 given=false"},
      {{u"--install-app-info", install, u"--app-launch-info", u"{\"pkg_name\":\"l\"}"},
       "ShouldSuppressLaunch l | StartTarget target=VelmoraEmulator.exe pkg= engine=2 record=l "
       "argc=7 given=false"},
      {{u"--install-app-info", install, u"--app-launch-info", u"not json"},
       "ShouldSuppressLaunch  | StartTarget target=VelmoraEmulator.exe pkg= engine=2 record= "
       "argc=7 given=false"},
      {{u"--install-app-info", u"{\"pkg_name\":\"i\",\"engine_type\":4}"},
       "ShouldSuppressLaunch  | StartTarget target=VelmoraEmulator.exe pkg= engine=2 record= "
       "argc=5 given=false"},
  };
  for (const auto& c : cases) EXPECT_EQ(dispatch(c.args), c.expected) << Narrow(c.args[1]);
}

TEST(Dispatch, MalformedCommandLinesStillDispatch) {
  EXPECT_EQ(Dispatch({u"--launch-proc-name", kEmulator, u"--bogus", u"-x", u"--", u"stray",
                      u"--launch-pkg-name"}),
            (Calls{"ShouldSuppressLaunch ", "IpcToEmulatorIfEnvReady", "IsStopVmRequested",
                   "StartTarget target=VelmoraEmulator.exe pkg= engine=2 record= argc=8 "
                   "given=false"}));
  // The option's value is whatever follows it, so the local install is not given here.
  EXPECT_EQ(Dispatch({u"--launch-pkg-name", u"--local-install", u"x.apk"}),
            Calls{"StartTarget target= pkg=--local-install engine=2 record= argc=4 given=true"});
}

TEST(UrlEncode, KeepsOnlyLettersAndDigits) {
  const struct {
    std::string text;
    std::string encoded;
  } cases[] = {
      {"", ""},
      {"Abc09xyZ", "Abc09xyZ"},
      {".apk", "%2Eapk"},
      {"-_.~", "%2D%5F%2E%7E"},
      {"a b\tc\nd\ve\ff\rg", "a+b+c+d+e+f+g"},
      {"/:?&=%+#", "%2F%3A%3F%26%3D%25%2B%23"},
      {std::string("\0\x1f\x7f", 3), "%00%1F%7F"},
      {"\xC3\xA9\xE6\xB8\xB8\xFF", "%C3%A9%E6%B8%B8%FF"},
  };
  for (const auto& c : cases) EXPECT_EQ(UrlEncode(c.text), c.encoded) << c.text;
}

TEST(FileNameExtension, FollowsTheFileNameRules) {
  const struct {
    std::u16string path;
    std::u16string extension;
  } cases[] = {
      {u"C:\\docs\\Game.APK", u".APK"},
      {u"archive.tar.gz", u".gz"},
      {u"/home/u/archive.tar.gz", u".gz"},
      {u"C:/mixed\\dir/a.b", u".b"},
      {u".profile", u""},
      {u"dir\\.profile", u""},
      {u".a.b", u".b"},
      {u"file.", u"."},
      {u"...", u"."},
      {u"..", u""},
      {u".", u""},
      {u"a", u""},
      {u"", u""},
      {u"noext", u""},
      {u"C:\\dir.d\\noext", u""},
      {u"C:\\dir\\", u""},
      {u"C:Game.apk", u".apk"},
      {u"C:", u""},
      {u"a.txt:stream.x", u".txt"},
      {u"a:b.c", u".c"},  // "a:" is a drive
      {u"dir\\ab:c.d", u""},
      {u"\\\\server", u""},
      {u"\\\\server.x", u""},
      {u"\\\\server\\share.y", u".y"},
      {u"//server/share/f.z", u".z"},
      {u"\\\\?\\C:\\dir\\f.apk", u".apk"},
      {u"x.\u6e38\u620f", u".\u6e38\u620f"},
  };
  for (const auto& c : cases) EXPECT_EQ(FileNameExtension(c.path), c.extension) << Narrow(c.path);
}

// The dispatch's own log lines, seen in a log written by a child process that runs the dispatch
// with steered actions.
VELMORA_TEST_CHILD(dispatch_with_log) {
  Logger::Instance().Open("launcher", std::ios_base::app);
  Dispatch({u"--launch-proc-name", kEmulator, u"--launch-pkg-name", u"com.log"},
           {.suppress = arguments.at(0) == "suppress", .emulator_ready = true});
  Logger::Instance().Close();
  return 0;
}

TEST(Dispatch, LogsDebounceAndEmulatorSuccess) {
  for (const std::string mode : {"suppress", "ready"}) {
    test_support::TempFolder temp;
    auto child = test_support::SpawnChild("dispatch_with_log", {mode},
                                          test_support::ScopedTempEnvironment::For(temp.path()));
    ASSERT_TRUE(child.has_value());
    ASSERT_EQ(child->Wait(os::ChildProcess::kInfinite), 0u);
    const auto log = ParseLog(test_support::ReadFileBytes(LauncherLogPath(temp.path())));
    ASSERT_TRUE(log.has_value()) << mode;
    EXPECT_EQ(log->lines,
              Calls{mode == "suppress"
                        ? "LaunchTarget: [launcher] launch debounced pkgname:com.log, skip."
                        : "LaunchTarget: IpcToEmulatorIfEnvReady success."});
  }
}

}  // namespace
