// The launcher against the replacement peers and a recording stand-in for the programs it
// starts: what reaches the peers, what gets started, and what the log says. Most runs use the
// built launcher; a few run the launcher's whole job in a child process of this test program
// with one seam set (the pauses, the token facts, the launch wait), where the platform cannot
// produce the situation or the product would wait for seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/registry.h"
#include "common/ipc/ipc_launch_event_helper.h"
#include "common/launcher/action_hooks.h"
#include "ipc_test_support.h"
#include "launcher/src/boot/initialize.h"
#include "launcher/src/start_target.h"
#include "log_lines.h"
#include "os/named_objects.h"
#include "os/paths.h"
#include "os/text.h"
#include "registry_sandbox.h"
#include "test_support.h"

namespace {

const bool kSandbox = test_support::UseRegistrySandbox();

using Lines = std::vector<std::string>;
using nlohmann::json;

constexpr std::u16string_view kEmulatorMutex = u"Global\\F083FC96-54BA-42C2-B64E-D06896C1A58B";

std::u16string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::u16string() : os::Utf8ToUtf16(value);
}

// The launcher's whole run with the seams its environment names:
// - VELMORA_SEAM_NO_PAUSES: the product's pauses are not taken;
// - VELMORA_SEAM_PAUSED / VELMORA_SEAM_RESUME: neither, but at the first one the child sets the
//   first event and waits (a minute at most) for the second;
// - VELMORA_SEAM_FILTERED_ADMIN: the token is an administrator's filtered one;
// - VELMORA_SEAM_LAUNCH_WAIT_MS: how long a launch waits for the emulator's answer.
VELMORA_TEST_CHILD(seamed_launcher) {
  const std::u16string paused = Variable("VELMORA_SEAM_PAUSED");
  const std::u16string resume = Variable("VELMORA_SEAM_RESUME");
  if (!paused.empty() || !resume.empty() || !Variable("VELMORA_SEAM_NO_PAUSES").empty()) {
    TestHooks().pause = [paused, resume, first = true](std::uint32_t) mutable {
      if (!first) return;
      first = false;
      if (auto event = os::NamedEvent::Open(paused); event.ok()) event.object.Set();
      if (auto event = os::NamedEvent::Open(resume); event.ok()) event.object.Wait(60'000);
    };
  }
  if (!Variable("VELMORA_SEAM_FILTERED_ADMIN").empty()) {
    TokenFactsSource() = [] { return TokenFacts{3u, true, std::nullopt}; };
  }
  if (const std::u16string wait = Variable("VELMORA_SEAM_LAUNCH_WAIT_MS"); !wait.empty()) {
    ipc::LaunchWaitTimings timings;
    timings.result_wait_ms = static_cast<std::uint32_t>(std::stoul(os::Utf16ToUtf8(wait)));
    TestHooks().send_and_wait = [timings](const ipc::AppLaunchInfo& info) {
      return ipc::IpcSendAndWaitEvent(info, timings);
    };
  }
  std::vector<std::u16string> argv{u"VelmoraLauncher.exe"};
  for (const std::string& argument : arguments) argv.push_back(os::Utf8ToUtf16(argument));
  return RunLauncher(argv);
}

struct LauncherRun {
  std::optional<std::uint32_t> exit_code;
  Lines lines;
  std::string raw_log;

  bool Has(const std::string& start) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(start, 0) == 0; });
  }
  // The rest of the first line that begins with `start`; nothing when there is none.
  std::optional<std::string> After(const std::string& start) const {
    for (const std::string& line : lines) {
      if (line.rfind(start, 0) == 0) return line.substr(start.size());
    }
    return std::nullopt;
  }
};

// One launcher process with a temporary folder of its own for its log.
class Launcher {
 public:
  // The built launcher.
  static std::unique_ptr<Launcher> Program(const std::vector<std::u16string>& arguments,
                                           const os::ChildProcess::Environment& extra = {}) {
    auto launcher = std::unique_ptr<Launcher>(new Launcher);
    launcher->child_ = os::ChildProcess::Spawn(test_support::LauncherExecutable(), arguments,
                                               launcher->Environment(extra));
    return launcher;
  }
  // The launcher's job in a child process of this test program, with the seams `extra` sets.
  static std::unique_ptr<Launcher> Seamed(const std::vector<std::u16string>& arguments,
                                          const os::ChildProcess::Environment& extra) {
    auto launcher = std::unique_ptr<Launcher>(new Launcher);
    std::vector<std::string> narrow;
    for (const auto& argument : arguments) narrow.push_back(os::Utf16ToUtf8(argument));
    launcher->child_ =
        test_support::SpawnChild("seamed_launcher", narrow, launcher->Environment(extra));
    return launcher;
  }

  // Waits for the end of the run and reads its log.
  LauncherRun Finish() {
    EXPECT_TRUE(child_.has_value());
    if (!child_) return {};
    LauncherRun run;
    run.exit_code = child_->Wait(60'000);
    if (!run.exit_code) child_->Kill();
    run.raw_log = test_support::ReadFileBytes(LauncherLogPath(temp_.path()));
    if (auto log = ParseLog(run.raw_log)) run.lines = log->lines;
    return run;
  }

 private:
  Launcher() = default;
  os::ChildProcess::Environment Environment(const os::ChildProcess::Environment& extra) const {
    auto environment = test_support::ScopedTempEnvironment::For(temp_.path());
    environment.insert(environment.end(), extra.begin(), extra.end());
    return environment;
  }

  test_support::TempFolder temp_;
  std::optional<os::ChildProcess> child_;
};

LauncherRun RunProgram(const std::vector<std::u16string>& arguments,
                       const os::ChildProcess::Environment& extra = {}) {
  return Launcher::Program(arguments, extra)->Finish();
}

// A manual-reset event of a unique name, for a handshake with another process.
struct Handshake {
  Handshake() : Handshake(test_support::UniqueName("VelmoraHandshake")) {}
  explicit Handshake(std::string event_name)
      : name(std::move(event_name)),
        event(std::move(os::NamedEvent::Create(os::Utf8ToUtf16(name), true, false,
                                               os::ObjectSecurity::kOpenToAll)
                            .object)) {}
  std::u16string wide() const { return os::Utf8ToUtf16(name); }
  std::string name;
  os::NamedEvent event;
};

std::vector<std::u16string> EmulatorLaunch(const std::string& package) {
  return {u"--launch-proc-name", u"VelmoraEmulator.exe", u"--launch-pkg-name",
          os::Utf8ToUtf16(package)};
}

TEST(LauncherWithPeers, AnEmulatorLaunchIsConfirmedByTheEmulator) {
  ipc_test::PeerProcess emulator({"--role", "emulator"});
  ASSERT_TRUE(emulator.WaitReady());
  const std::string package = test_support::UniqueName("com.example.peer");
  auto arguments = EmulatorLaunch(package);
  arguments.insert(arguments.end(), {u"--from", u"5"});
  const LauncherRun run = RunProgram(arguments);
  EXPECT_EQ(run.exit_code, 0u);
  const auto packets = emulator.WaitForLines(ipc_test::ToolProcess::Packet(20001), 1);
  ASSERT_EQ(packets.size(), 1u);
  const auto& data = packets[0]["packet"]["data"];
  EXPECT_EQ(data["pkg_name"], package);
  EXPECT_EQ(data["source"], 5);
  const std::string trace_id = data["client_trace_id"];
  EXPECT_TRUE(run.Has("WaitForLaunchResult: Launch completed successfully, trace_id: " + trace_id))
      << run.raw_log;
  EXPECT_TRUE(run.Has("LaunchTarget: IpcToEmulatorIfEnvReady success.")) << run.raw_log;
  EXPECT_EQ(emulator.Stop(), 0u);
}

// Each request kind a running emulator takes, in one emulator's life: the packets it got, in
// order, are exactly those of the requests that are well-formed.
TEST(LauncherWithPeers, EveryRequestKindReachesTheRunningEmulator) {
  ipc_test::PeerProcess emulator({"--role", "emulator"});
  ASSERT_TRUE(emulator.WaitReady());
  const std::string package = test_support::UniqueName("com.example.record");
  const std::string install =
      R"({"pkg_name":"p","icon":"i","name":"n","engine_name":"e","file_path":"C:\\a b\\p.apk"})";
  const std::string pseudo_protocol = R"({"content":"velmora://x?a=1"})";
  struct Case {
    std::vector<std::u16string> options;
    std::int32_t msg_id;  // 0: nothing reaches the emulator
    json data;
    std::string line;  // the run's log holds a line beginning with it
  };
  const std::vector<Case> cases{
      {{u"--app-launch-info",
        os::Utf8ToUtf16(R"({"pkg_name":")" + package + R"(","client_trace_id":"old"})")},
       20001,
       {},
       "WaitForLaunchResult: Launch completed successfully, trace_id: "},
      {{u"--install-app-info", os::Utf8ToUtf16(install), u"--oem", u"acme"},
       20002,
       [&] {
         json record = json::parse(install);
         record.update({{"state", 0}, {"engine_type", 2}, {"oem", "acme"}});
         return record;
       }(),
       "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] query to tamrisk success"},
      {{u"--oem-start-vm", uR"({"oem_name":"acme"})"},
       20009,
       {{"oem_name", "acme"}},
       "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] query to tamrisk success"},
      {{u"--oem-start-vm", uR"({"oem_name":3})"},
       0,
       {},
       "NotifyCurrentTamrisk: StartVMInfo json parse error, error message: "},
      {{u"--oem-stop-vm", uR"({"oem_name":"acme"})"},
       20010,
       {{"oem_name", "acme"}},
       "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] query to tamrisk success"},
      {{u"--install-pkg-name", u"p", u"--install-file-path", u"C:\\a b\\p.apk"},
       20002,
       {{"pkg_name", "p"},
        {"file_path", "C:\\a b\\p.apk"},
        {"from_source", ""},
        {"icon", ""},
        {"name", ""},
        {"engine_name", ""},
        {"state", 0},
        {"engine_type", 2}},
       "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] query to tamrisk success"},
      {{u"--pseudo-protocol", os::Utf8ToUtf16(pseudo_protocol)},
       20011,
       pseudo_protocol,
       "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] query to tamrisk success"},
      {{u"--quit", u"0"},
       0,
       {},
       "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] query to tamrisk failed"},
      {{u"--quit", u"1"},
       20007,
       "",
       "IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] query to tamrisk success"},
  };
  std::vector<const Case*> delivered;
  std::optional<LauncherRun> launch;
  for (const Case& c : cases) {
    std::vector<std::u16string> arguments{u"--launch-proc-name", u"VelmoraEmulator.exe"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const LauncherRun run = RunProgram(arguments);
    const std::string label = os::Utf16ToUtf8(c.options.front() + u" " + c.options.back());
    EXPECT_EQ(run.exit_code, 0u) << label;
    EXPECT_TRUE(run.Has(c.line)) << label << "\n" << run.raw_log;
    if (c.msg_id != 0) delivered.push_back(&c);
    if (c.msg_id == 20001) launch = run;
  }
  // The last request asked the emulator to quit: once it ended it has printed every packet it
  // took, though not always in the order they came (its pools handle packets side by side).
  ASSERT_TRUE(emulator.WaitForLine(ipc_test::ToolProcess::Event("exit")));
  std::vector<json> launches;
  std::multiset<std::string> requests;
  for (const json& line : emulator.Lines()) {
    if (line.value("event", "") != "packet") continue;
    const json& packet = line["packet"];
    EXPECT_EQ(packet["from"], 110009);
    if (packet["msg_id"] == 20001) {
      launches.push_back(packet["data"]);
    } else {
      requests.insert(json({packet["msg_id"], packet["data"]}).dump());
    }
  }
  std::multiset<std::string> expected;
  for (const Case* c : delivered) {
    if (c->msg_id != 20001) expected.insert(json({c->msg_id, c->data}).dump());
  }
  EXPECT_EQ(requests, expected);
  ASSERT_EQ(launches.size(), 1u);
  // The launch record's own trace id gives way to the launcher's new one, the one confirmed.
  const json& record = launches[0];
  EXPECT_EQ(record["pkg_name"], package);
  EXPECT_NE(record["client_trace_id"], "old");
  ASSERT_TRUE(launch);
  EXPECT_EQ(launch->After("WaitForLaunchResult: Launch completed successfully, trace_id: "),
            record["client_trace_id"].get<std::string>());
  EXPECT_EQ(emulator.Stop(), 0u);
}

TEST(LauncherWithPeers, AnEmulatorWhoseVmBoxIsMissingIsAbnormal) {
  ipc_test::PeerProcess emulator({"--role", "emulator", "--vm-ready"});
  ASSERT_TRUE(emulator.WaitReady());
  const LauncherRun run = RunProgram(EmulatorLaunch(test_support::UniqueName("com.example.vm")));
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_TRUE(
      run.Has("IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] emulator env is abnormal"))
      << run.raw_log;
  EXPECT_FALSE(run.Has("IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] query to tamrisk"))
      << run.raw_log;
  // Not ready for the request: the launcher goes on to start the emulator itself.
  EXPECT_TRUE(run.Has("LaunchTarget: [target]:VelmoraEmulator.exe,")) << run.raw_log;
  EXPECT_EQ(emulator.Stop(), 0u);
}

TEST(LauncherWithPeers, AFailedLaunchIsReportedAndTheEmulatorStartedInstead) {
  ipc_test::PeerProcess emulator({"--role", "emulator", "--launch-result", "failure"});
  ASSERT_TRUE(emulator.WaitReady());
  const LauncherRun run = RunProgram(EmulatorLaunch(test_support::UniqueName("com.example.fail")));
  EXPECT_EQ(run.exit_code, 0u);
  const auto trace_id = run.After(
      "WaitForLaunchResult: Launch failed (receiver reported failure), "
      "trace_id: ");
  ASSERT_TRUE(trace_id) << run.raw_log;
  EXPECT_TRUE(
      run.Has("IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] query to tamrisk "
              "failed, trace_id:" +
              *trace_id))
      << run.raw_log;
  EXPECT_TRUE(run.Has("LaunchTarget: [target]:VelmoraEmulator.exe,")) << run.raw_log;
  EXPECT_EQ(emulator.Stop(), 0u);
}

TEST(SeamedLauncher, ALaunchTheEmulatorNeverAnswersTimesOut) {
  ipc_test::PeerProcess emulator({"--role", "emulator", "--launch-result", "none"});
  ASSERT_TRUE(emulator.WaitReady());
  const LauncherRun run =
      Launcher::Seamed(EmulatorLaunch(test_support::UniqueName("com.example.mute")),
                       {{u"VELMORA_SEAM_LAUNCH_WAIT_MS", u"100"}})
          ->Finish();
  EXPECT_EQ(run.exit_code, 0u);
  const auto trace_id =
      run.After("WaitForLaunchResult: Wait timeout (receiver not responding), trace_id: ");
  ASSERT_TRUE(trace_id) << run.raw_log;
  EXPECT_TRUE(run.Has("IpcSendAndWaitEvent: Waiting for launch completion, trace_id: " + *trace_id))
      << run.raw_log;
  EXPECT_TRUE(run.Has("LaunchTarget: [target]:VelmoraEmulator.exe,")) << run.raw_log;
  EXPECT_EQ(emulator.Stop(), 0u);
}

// The emulator shuts down slowly: the launcher waits for its quitting event to go before it
// looks at the emulator, and then hands the launch to it.
TEST(SeamedLauncher, WaitsOutAQuittingEmulator) {
  Handshake quitting_over;
  ipc_test::PeerProcess emulator(
      {"--role", "emulator", "--quitting", "--quitting-until", quitting_over.name});
  ASSERT_TRUE(emulator.WaitReady());
  Handshake paused;
  Handshake resume;
  auto launcher = Launcher::Seamed(
      EmulatorLaunch(test_support::UniqueName("com.example.quit")),
      {{u"VELMORA_SEAM_PAUSED", paused.wide()}, {u"VELMORA_SEAM_RESUME", resume.wide()}});
  // The launcher found the event and pauses: now the emulator lets it go.
  ASSERT_TRUE(paused.event.Wait(60'000).signaled());
  ASSERT_EQ(quitting_over.event.Set(), 0u);
  ASSERT_TRUE(emulator.WaitForLine(ipc_test::ToolProcess::Event("quitting-over")));
  ASSERT_EQ(resume.event.Set(), 0u);
  const LauncherRun run = launcher->Finish();
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_TRUE(
      run.Has("IpcToEmulatorIfEnvReady: [IpcToEmulatorIfEnvReady] Emulator quitting event "
              "disappeared after 500ms, proceeding"))
      << run.raw_log;
  EXPECT_TRUE(run.Has("WaitForLaunchResult: Launch completed successfully, trace_id: "))
      << run.raw_log;
  EXPECT_EQ(emulator.WaitForLines(ipc_test::ToolProcess::Packet(20001), 1).size(), 1u);
  EXPECT_EQ(emulator.Stop(), 0u);
}

// The client's requests: the service hears of every activation, the running client gets the
// request, and a client that cannot be started is reported as such.
TEST(LauncherWithPeers, ActivationReportsReachTheService) {
  ipc_test::PeerProcess service({"--role", "service"});
  ASSERT_TRUE(service.WaitReady());
  const std::string package = test_support::UniqueName("com.example.report");
  const std::vector<std::u16string> request{u"--launch-proc-name", u"Velmora.exe",
                                            u"--launch-pkg-name", os::Utf8ToUtf16(package)};
  {
    ipc_test::PeerProcess client({"--role", "client"});
    ASSERT_TRUE(client.WaitReady());
    const LauncherRun run = RunProgram(request);
    EXPECT_EQ(run.exit_code, 0u);
    const auto shown = client.WaitForLines(ipc_test::ToolProcess::Packet(1000), 1);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0]["packet"]["data"], json({{"cmd_show", 0}}));
    EXPECT_EQ(client.Stop(), 0u);
  }
  // No client now, and none installed: its start fails.
  const LauncherRun failed = RunProgram(request);
  EXPECT_EQ(failed.exit_code, 0u);
  EXPECT_TRUE(failed.Has("LaunchTarget: [result]:")) << failed.raw_log;

  // The service handles packets side by side: the reports are compared without their order.
  const auto reports = service.WaitForLines(ipc_test::ToolProcess::Packet(40106), 4);
  ASSERT_EQ(reports.size(), 4u);
  std::multiset<std::string> received;
  for (const json& report : reports) {
    EXPECT_EQ(report["packet"]["to"], 110003);
    received.insert(report["packet"]["data"].dump());
  }
  std::multiset<std::string> expected;
  for (const char* event :
       {"successful_activate_launcher_exe", "successful_activate_market_process_exe",
        "successful_activate_launcher_exe", "fail_pull_market_process_exe"}) {
    expected.insert(json({{"event", event}, {"pkgname", package}, {"from", 0}}).dump());
  }
  EXPECT_EQ(received, expected);
  EXPECT_EQ(service.Stop(), 0u);

  // Without the service every report is one failed send and one line; the request goes on.
  const LauncherRun alone = RunProgram(request);
  EXPECT_EQ(alone.exit_code, 0u);
  for (const std::string line :
       {"ReportSuccessfulActivateLauncherExe: [ReportSuccessfulActivateLauncherExe][State]: ipc "
        "try fail 1!",
        "ReportkFailPullMarketProcessExe: [ReportkFailPullMarketProcessExe][State]: ipc try fail "
        "1!"}) {
    EXPECT_EQ(std::count(alone.lines.begin(), alone.lines.end(), line), 1) << alone.raw_log;
  }
  EXPECT_TRUE(alone.Has("LaunchTarget: [result]:")) << alone.raw_log;
}

// A request for the running client, read from the launcher's own command line: a URL is handed
// on, "silent" alone sends nothing, otherwise the window is shown, with "from" as its source.
TEST(LauncherWithPeers, TheRunningClientGetsTheRequestOfTheCommandLine) {
  ipc_test::PeerProcess client({"--role", "client"});
  ASSERT_TRUE(client.WaitReady());
  for (const std::vector<std::u16string>& options :
       {std::vector<std::u16string>{u"--pseudo-protocol", u"velmora://client/open?a=1"},
        {u"--silent"},
        {u"--from", u"7"}}) {
    std::vector<std::u16string> arguments{u"--launch-proc-name", u"Velmora.exe"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const LauncherRun run = RunProgram(arguments);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_FALSE(run.Has("LaunchTarget: [target]")) << run.raw_log;  // nothing started
  }
  // Once the last request's packet is handled, every earlier packet has been taken from the
  // channel; stopping the client lets its pools finish them.
  ASSERT_EQ(client.WaitForLines(ipc_test::ToolProcess::Packet(1000), 1).size(), 1u);
  EXPECT_EQ(client.Stop(), 0u);
  std::multiset<std::string> packets;
  for (const json& line : client.Lines()) {
    if (line.value("event", "") == "packet") {
      packets.insert(json({line["packet"]["msg_id"], line["packet"]["data"]}).dump());
    }
  }
  EXPECT_EQ(packets, (std::multiset<std::string>{
                         json({10003, {{"content", "velmora://client/open?a=1"}}}).dump(),
                         json({1000, {{"cmd_show", 0}, {"source", 7}}}).dump()}));
}

TEST(LauncherWithPeers, AUrlWithQuotesAndBlanksReachesTheRunningClientUnchanged) {
  ipc_test::PeerProcess client({"--role", "client"});
  ASSERT_TRUE(client.WaitReady());
  const std::u16string url = u"velmora://client/open?q=\"a b\"&x=%c(26)\\ --launch-proc-name x";
  const LauncherRun run = RunProgram({url});
  EXPECT_EQ(run.exit_code, 0u);
  const auto packets = client.WaitForLines(ipc_test::ToolProcess::Packet(10003), 1);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0]["packet"]["data"], json({{"content", os::Utf16ToUtf8(url)}}));
  EXPECT_EQ(client.Stop(), 0u);
}

// An installation in a temporary folder whose application folder holds the recorder under the
// names of the product's programs. Registry values go under the product key (a sandbox on Linux,
// the Wine prefix's registry under Windows) and are removed again.
class InstalledApplication : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kSandbox);
    app_folder_ = os::PathJoin(os::PathJoin(install_.path(), u"Application"), u"5.2.0.1");
    ASSERT_TRUE(os::CreateDirectories(app_folder_));
    for (const std::u16string_view name :
         {u"VelmoraEmulator.exe", u"Velmora.exe", u"VelmoraAssistant.exe"}) {
      std::error_code error;
      std::filesystem::copy_file(
          std::filesystem::path(test_support::ToolPath(u"velmora-recorder.exe")),
          std::filesystem::path(os::PathJoin(app_folder_, name)), error);
      ASSERT_FALSE(error) << error.message();
    }
    ASSERT_TRUE(
        RegistryWriteString(kHkeyLocalMachine, kProductKey, u"InstallPath", install_.path()));
    ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, kClientKey, u"Version", u"5.2.0.1"));
    event_name_ = test_support::UniqueName("VelmoraRecorded");
    auto event = os::NamedEvent::Create(os::Utf8ToUtf16(event_name_), false, false,
                                        os::ObjectSecurity::kOpenToAll);
    ASSERT_TRUE(event.ok());
    started_ = std::move(event.object);
  }
  void TearDown() override { RegistryDeleteKeyTree(kProductKey); }

  os::ChildProcess::Environment Recording() const {
    return {{u"VELMORA_RECORD_FILE", record_file()},
            {u"VELMORA_RECORD_EVENT", os::Utf8ToUtf16(event_name_)}};
  }
  std::u16string record_file() const { return os::PathJoin(install_.path(), u"recorded.txt"); }

  // The arguments the last started program got, once it has written them.
  Lines Recorded(const LauncherRun& run) {
    EXPECT_TRUE(started_.Wait(30'000).signaled()) << run.raw_log;
    return ReadRecorded();
  }
  Lines ReadRecorded() const {
    const std::string recorded = test_support::ReadFileBytes(record_file());
    Lines arguments;
    for (std::size_t at = 0, end; (end = recorded.find('\n', at)) != std::string::npos;
         at = end + 1) {
      arguments.push_back(recorded.substr(at, end - at));
    }
    return arguments;
  }

  static constexpr std::u16string_view kProductKey = u"SOFTWARE\\Quorlen\\Velmora";
  static constexpr std::u16string_view kClientKey = u"SOFTWARE\\Quorlen\\Velmora\\Velmora";
  test_support::TempFolder install_;
  std::u16string app_folder_;
  std::string event_name_;
  os::NamedEvent started_;
};

TEST_F(InstalledApplication, TheEmulatorIsStartedFromTheApplicationFolderWithTheRequest) {
  const std::string package = test_support::UniqueName("com.example.start");
  auto arguments = EmulatorLaunch(package);
  arguments.insert(arguments.end(), {u"--launch-deep-link", u"a \"b\" c\\"});
  const LauncherRun run = RunProgram(arguments, Recording());
  EXPECT_EQ(run.exit_code, 0u);
  const Lines recorded = Recorded(run);
  ASSERT_EQ(recorded.size(), 10u);
  EXPECT_EQ(Lines(recorded.begin(), recorded.begin() + 4),
            (Lines{"--launch-pkg-name", package, "--launch-deep-link", "a \"b\" c\\"}));
  EXPECT_EQ(recorded[4], "--app-launch-info");
  const auto record = json::parse(recorded[5]);
  EXPECT_EQ(record["pkg_name"], package);
  EXPECT_EQ(record["launch_step"], 1);
  EXPECT_EQ(record["launch_second_step"], 3);
  EXPECT_EQ(recorded[6], "--tamrisk_launcher_start_time");
  EXPECT_EQ(Lines(recorded.begin() + 8, recorded.end()), (Lines{"--emulator-launch-from", "1"}));
  EXPECT_TRUE(run.Has("LaunchTarget: [result]:0, [exit_code]:1168")) << run.raw_log;
}

// A URL for the client that does not run starts it; a notification URL always starts the
// assistant, with the escaped ampersands restored. Both get the URL as one quoted option value,
// so a backslash arrives doubled and option-like text stays inside the value.
TEST_F(InstalledApplication, UrlsStartTheClientOrTheAssistant) {
  struct Case {
    std::u16string url;
    Lines recorded;
  };
  const std::vector<Case> cases{
      {u"velmora://client/open?path=C:\\apps\\x y&q=\"z --launch-proc-name ..\\evil.exe\"",
       {"--pseudo-protocol",
        "velmora://client/open?path=C:\\\\apps\\\\x y&q=\"z --launch-proc-name "
        "..\\\\evil.exe\""}},
      {u"velmora://client/notify?TAMRISK_TOAST_TASK_ID=7%c(26)b=2%c(26)",
       {"--pseudo-protocol", "velmora://client/notify?TAMRISK_TOAST_TASK_ID=7&b=2&"}},
  };
  for (const Case& c : cases) {
    const LauncherRun run = RunProgram({c.url}, Recording());
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(Recorded(run), c.recorded) << run.raw_log;
  }
}

// A stop request never starts the emulator; one with an empty value is no stop request.
TEST_F(InstalledApplication, AnEmptyStopRequestIsNone) {
  const LauncherRun stop = RunProgram(
      {u"--launch-proc-name", u"VelmoraEmulator.exe", u"--oem-stop-vm", uR"({"oem_name":"a"})"},
      Recording());
  EXPECT_EQ(stop.exit_code, 0u);
  EXPECT_FALSE(stop.Has("LaunchTarget: [target]")) << stop.raw_log;
  EXPECT_FALSE(stop.Has("LaunchTarget: [result]")) << stop.raw_log;
  const LauncherRun empty = RunProgram(
      {u"--launch-proc-name", u"VelmoraEmulator.exe", u"--oem-stop-vm", u""}, Recording());
  EXPECT_EQ(empty.exit_code, 0u);
  const Lines recorded = Recorded(empty);
  ASSERT_GE(recorded.size(), 2u);
  EXPECT_EQ(Lines(recorded.begin(), recorded.begin() + 2), (Lines{"--oem-stop-vm", ""}));
}

TEST_F(InstalledApplication, TargetsOutsideTheApplicationFolderAreRefused) {
  const std::u16string outside = os::PathJoin(install_.path(), u"outside.exe");
  for (const std::u16string& target : {std::u16string(u"..\\..\\VelmoraEmulator.exe"),
                                       std::u16string(u"../5.2.0.1/VelmoraEmulator.exe"), outside,
                                       std::u16string(u"C:VelmoraEmulator.exe")}) {
    const LauncherRun run =
        RunProgram({u"--launch-proc-name", target, u"--pseudo-protocol", u"x\" y"}, Recording());
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(run.Has("LaunchTarget: [launcher] refused target name:" + os::Utf16ToUtf8(target)))
        << run.raw_log;
    EXPECT_FALSE(run.Has("LaunchTarget: [result]")) << run.raw_log;
  }
  EXPECT_FALSE(started_.Wait(0).signaled());
}

// An administrator with a filtered token has the service start the emulator; the launcher
// waits for the started emulator to announce itself.
TEST_F(InstalledApplication, TheServiceStartsTheEmulatorForAFilteredAdministrator) {
  Handshake hold;
  auto recording = Recording();
  recording.insert(recording.end(), {{u"VELMORA_RECORD_ANNOUNCE", std::u16string(kEmulatorMutex)},
                                     {u"VELMORA_RECORD_HOLD", hold.wide()}});
  ipc_test::PeerProcess service({"--role", "service", "--start-dir", os::Utf16ToUtf8(app_folder_)},
                                recording);
  ASSERT_TRUE(service.WaitReady());
  const std::string package = test_support::UniqueName("com.example.service");
  // The launcher's first pause lasts until the started program has announced itself.
  const LauncherRun run = Launcher::Seamed(EmulatorLaunch(package),
                                           {{u"VELMORA_SEAM_FILTERED_ADMIN", u"1"},
                                            {u"VELMORA_SEAM_RESUME", os::Utf8ToUtf16(event_name_)}})
                              ->Finish();
  EXPECT_EQ(run.exit_code, 0u);
  const auto command = run.After("LaunchTarget: [target]:VelmoraEmulator.exe,[cmd]:");
  ASSERT_TRUE(command) << run.raw_log;
  EXPECT_TRUE(command->ends_with(",[suc]:true")) << *command;
  EXPECT_FALSE(run.Has("LaunchTarget: [result]")) << run.raw_log;

  const auto requests = service.WaitForLines(ipc_test::ToolProcess::Packet(40007), 1);
  ASSERT_EQ(requests.size(), 1u);
  const json& data = requests[0]["packet"]["data"];
  EXPECT_EQ(data["name"], "VelmoraEmulator.exe");
  EXPECT_EQ(*command, data["param"].get<std::string>() + ",[suc]:true");
  const Lines recorded = ReadRecorded();  // written before the launcher went on
  ASSERT_EQ(recorded.size(), 6u);
  EXPECT_EQ(Lines(recorded.begin(), recorded.begin() + 3),
            (Lines{"--launch-pkg-name", package, "--app-launch-info"}));
  EXPECT_EQ(json::parse(recorded[3])["launch_second_step"], 2);
  EXPECT_EQ(recorded[4], "--tamrisk_launcher_start_time");
  // The stand-in lets its mutex go and says so.
  ASSERT_EQ(hold.event.Set(), 0u);
  EXPECT_TRUE(started_.Wait(30'000).signaled());
  EXPECT_EQ(service.Stop(), 0u);
}

// A service that takes the request but whose emulator never announces itself: after the polls
// the app store is asked in its place.
TEST_F(InstalledApplication, TheAppStoreIsAskedWhenTheServiceStartsNothing) {
  ipc_test::PeerProcess service({"--role", "service"});
  ipc_test::PeerProcess client({"--role", "client", "--start-dir", os::Utf16ToUtf8(app_folder_)},
                               Recording());
  ASSERT_TRUE(service.WaitReady());
  ASSERT_TRUE(client.WaitReady());
  const LauncherRun run =
      Launcher::Seamed(EmulatorLaunch(test_support::UniqueName("com.example.second")),
                       {{u"VELMORA_SEAM_FILTERED_ADMIN", u"1"}, {u"VELMORA_SEAM_NO_PAUSES", u"1"}})
          ->Finish();
  EXPECT_EQ(run.exit_code, 0u);
  const auto command = run.After("LaunchTarget: [target]:VelmoraEmulator.exe,[cmd]:");
  ASSERT_TRUE(command) << run.raw_log;
  EXPECT_TRUE(command->ends_with(",[suc]:true")) << *command;
  const auto first = service.WaitForLines(ipc_test::ToolProcess::Packet(40007), 1);
  const auto second = client.WaitForLines(ipc_test::ToolProcess::Packet(40007), 1);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0]["packet"]["to"], 200001);
  EXPECT_EQ(first[0]["packet"]["data"], second[0]["packet"]["data"]);
  const Lines recorded = Recorded(run);
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(recorded[0], "--launch-pkg-name");
  EXPECT_EQ(service.Stop(), 0u);
  EXPECT_EQ(client.Stop(), 0u);
}

}  // namespace
