#include <gtest/gtest.h>

#include <array>
#include <sstream>
#include <string>
#include <vector>

#include "base/logger.h"
#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/ipc_launch_event_helper.h"
#include "ipc_test_support.h"
#include "os/paths.h"
#include "test_support.h"

namespace ipc {
namespace {

using ipc_test::PeerProcess;
using nlohmann::json;

// The launcher's side in a process of its own, so that its log can be read: argument 0 is the
// trace id ("-" for none), argument 1 the result wait in milliseconds. Pauses between attempts
// are logged instead of taken. Exit code 0 when the launch was confirmed, 1 otherwise.
VELMORA_TEST_CHILD(send_and_wait) {
  Logger::Instance().Open("launcher", std::ios_base::app);
  IpcContext::Instance().InitIpc();
  AppLaunchInfo info;
  info.pkg_name = "com.example.game";
  if (arguments.at(0) != "-") info.client_trace_id = arguments.at(0);
  LaunchWaitTimings timings;
  timings.result_wait_ms = static_cast<std::uint32_t>(std::stoul(arguments.at(1)));
  timings.pause = [](std::uint32_t ms) { LOG("[test] pause {}", ms); };
  const bool confirmed = IpcSendAndWaitEvent(info, timings);
  Logger::Instance().Close();
  IpcContext::Instance().UninitIpc(false);
  return confirmed ? 0 : 1;
}

struct LauncherRun {
  std::uint32_t exit_code = 99;
  std::vector<std::string> lines;  // messages of the log lines, without their prefix

  std::size_t Count(const std::string& message) const {
    std::size_t count = 0;
    for (const auto& line : lines) count += line == message ? 1 : 0;
    return count;
  }
};

LauncherRun RunLauncherSide(const std::string& trace_id, std::uint32_t wait_ms) {
  test_support::TempFolder temp;
  auto child = test_support::SpawnChild("send_and_wait", {trace_id, std::to_string(wait_ms)},
                                        test_support::ScopedTempEnvironment::For(temp.path()));
  LauncherRun run;
  if (!child) return run;
  run.exit_code = child->Wait(os::ChildProcess::kInfinite).value_or(98);
  std::istringstream log(test_support::ReadFileBytes(os::PathJoin(
      os::PathJoin(os::PathJoin(temp.path(), u"Quorlen"), u"Velmora"), u"launcher.log")));
  for (std::string line; std::getline(log, line);) {
    const auto at = line.find("]: ");
    if (at != std::string::npos) run.lines.push_back(line.substr(at + 3));
  }
  return run;
}

std::vector<json> Packets(const PeerProcess& peer, std::int32_t msg_id) {
  std::vector<json> packets;
  for (const auto& line : peer.Lines()) {
    if (line.value("event", "") == "packet" && line["packet"]["msg_id"] == msg_id) {
      packets.push_back(line["packet"]);
    }
  }
  return packets;
}

TEST(LaunchEvents, EmulatorConfirmsTheLaunch) {
  PeerProcess emulator({"--role", "emulator", "--launch-result", "success"});
  ASSERT_TRUE(emulator.WaitReady());
  const std::string trace_id = test_support::UniqueName("1733793600123_trace");
  const LauncherRun run = RunLauncherSide(trace_id, 10'000);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.Count("Waiting for launch completion, trace_id: " + trace_id), 1u);
  EXPECT_EQ(run.Count("Launch completed successfully, trace_id: " + trace_id), 1u);
  const auto signalled = emulator.WaitForLine(PeerProcess::Event("signalled"));
  ASSERT_TRUE(signalled);
  EXPECT_EQ((*signalled)["error"], 0);
  const auto packets = Packets(emulator, 20001);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0]["from"], 110009);
  EXPECT_EQ(packets[0]["to"], 110002);
  EXPECT_EQ(packets[0]["to_process_id"], 0);
  EXPECT_EQ(packets[0]["data"]["pkg_name"], "com.example.game");
  EXPECT_EQ(packets[0]["data"]["client_trace_id"], trace_id);
}

TEST(LaunchEvents, EmulatorReportsFailure) {
  PeerProcess emulator({"--role", "emulator", "--launch-result", "failure"});
  ASSERT_TRUE(emulator.WaitReady());
  const std::string trace_id = test_support::UniqueName("trace");
  const LauncherRun run = RunLauncherSide(trace_id, 10'000);
  EXPECT_EQ(run.exit_code, 1u);
  EXPECT_EQ(run.Count("Launch failed (receiver reported failure), trace_id: " + trace_id), 1u);
}

TEST(LaunchEvents, SilentEmulatorTimesOutWithoutASecondSend) {
  PeerProcess emulator({"--role", "emulator", "--launch-result", "none"});
  ASSERT_TRUE(emulator.WaitReady());
  const std::string trace_id = test_support::UniqueName("trace");
  const LauncherRun run = RunLauncherSide(trace_id, 50);  // the 10 s wait, shortened
  EXPECT_EQ(run.exit_code, 1u);
  EXPECT_EQ(run.Count("Wait timeout (receiver not responding), trace_id: " + trace_id), 1u);
  ASSERT_EQ(emulator.Stop(), 0u);  // every packet it took is printed by now
  EXPECT_EQ(Packets(emulator, 20001).size(), 1u);
}

TEST(LaunchEvents, NoEmulatorMeansThreeSendsOnePauseApart) {
  const std::string trace_id = test_support::UniqueName("trace");
  const LauncherRun run = RunLauncherSide(trace_id, 10'000);
  EXPECT_EQ(run.exit_code, 1u);
  const std::vector<std::string> expected{"Send ipc failed.",
                                          "[test] pause 1000",
                                          "Send ipc failed.",
                                          "[test] pause 1000",
                                          "Send ipc failed.",
                                          "[test] pause 1000",
                                          "Send ipc failed after retries."};
  EXPECT_EQ(run.lines, expected);
  EXPECT_EQ(run.Count("Waiting for launch completion, trace_id: " + trace_id), 0u);
}

TEST(LaunchEvents, WithoutTraceIdTheRequestGoesOutOnce) {
  PeerProcess emulator({"--role", "emulator", "--launch-result", "success"});
  ASSERT_TRUE(emulator.WaitReady());
  const LauncherRun run = RunLauncherSide("-", 10'000);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.Count("client_trace_id is empty, sending IPC without event waiting."), 1u);
  EXPECT_EQ(run.Count("Send ipc failed (no trace_id)."), 0u);
  ASSERT_EQ(emulator.Stop(), 0u);
  ASSERT_EQ(Packets(emulator, 20001).size(), 1u);
  EXPECT_FALSE(Packets(emulator, 20001)[0]["data"].contains("client_trace_id"));
  // Nothing to signal: no event pair was made.
  EXPECT_FALSE(emulator.WaitForLine(PeerProcess::Event("signalled"), std::chrono::milliseconds(0)));
}

TEST(LaunchEvents, WithoutTraceIdAndEmulatorThreeAttemptsEachFollowedByAPause) {
  const LauncherRun run = RunLauncherSide("-", 10'000);
  EXPECT_EQ(run.exit_code, 1u);
  EXPECT_EQ(run.Count("Send ipc failed (no trace_id)."), 3u);
  EXPECT_EQ(run.Count("[test] pause 1000"), 3u);
}

TEST(LaunchEvents, StalePairWithBothEventsSetReadsAsSuccess) {
  const std::string trace_id = test_support::UniqueName("stale");
  const LaunchEventPair pair = CreateLaunchEventPair(trace_id);
  ASSERT_TRUE(pair.ok);
  ASSERT_EQ(pair.failure.Set(), 0u);
  ASSERT_EQ(pair.success.Set(), 0u);
  EXPECT_TRUE(WaitForLaunchResult(pair, trace_id, 0));
  // A second pair with the same trace id opens the same events.
  const LaunchEventPair again = CreateLaunchEventPair(trace_id);
  ASSERT_TRUE(again.ok);
  EXPECT_EQ(again.success.Wait(0).status, os::WaitStatus::kSignaled);
}

}  // namespace
}  // namespace ipc
