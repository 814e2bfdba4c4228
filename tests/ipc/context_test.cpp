#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <future>
#include <thread>

#include "base/registry.h"
#include "common/ipc/core/base/handler.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"
#include "common/ipc/core/base/sender.h"
#include "install/install_context.h"
#include "ipc_test_support.h"
#include "test_support.h"
#include "transport/channel.h"

namespace ipc {
namespace {

using nlohmann::json;

// Receivers connected to the launcher's channel in this namespace, from the ring itself.
int LauncherReceivers(bool global) {
  const transport::channel_ptr channel(transport::channel_open("VelLauncher", global));
  if (channel->ring() == nullptr) return -1;
  return std::popcount(std::atomic_ref<std::uint32_t>(channel->ring()->connections).load());
}

// Argument 0: the namespace ("global" or "local"). Exit code 1 when the launcher's ipc-inited
// mutex is seen there, 0 when not.
VELMORA_TEST_CHILD(sees_launcher) {
  return IsClientIpcInited(kClientLauncher, arguments.at(0) == "global") ? 1 : 0;
}

std::uint32_t SeenFromAnotherProcess(bool global) {
  auto child = test_support::SpawnChild("sees_launcher", {global ? "global" : "local"});
  return child ? child->Wait(os::ChildProcess::kInfinite).value_or(99) : 98;
}

TEST(IpcContext, AnnouncesItselfOnlyWhileInitialised) {
  IpcContext& context = IpcContext::Instance();
  const bool global = IsProcessElevated();
  EXPECT_FALSE(IsClientIpcInited(kClientLauncher, global));
  context.InitIpc();
  EXPECT_EQ(context.self_id(), kClientLauncher);
  EXPECT_EQ(context.global(), global);
  EXPECT_FALSE(context.stopped());
  EXPECT_TRUE(IsClientIpcInited(kClientLauncher, global));
  EXPECT_FALSE(IsClientIpcInited(kClientLauncher, !global));
  EXPECT_EQ(SeenFromAnotherProcess(global), 1u);
  EXPECT_EQ(SeenFromAnotherProcess(!global), 0u);
  context.UninitIpc(false);
  EXPECT_TRUE(context.stopped());
  EXPECT_FALSE(IsClientIpcInited(kClientLauncher, global));
  EXPECT_FALSE(IsClientIpcInited(kClientLauncher, !global));
  EXPECT_EQ(SeenFromAnotherProcess(global), 0u);
}

TEST(IpcContext, SecondInitAndSecondUninitChangeNothing) {
  IpcContext& context = IpcContext::Instance();
  const bool global = IsProcessElevated();
  context.InitIpc();
  context.InitIpc();
  EXPECT_EQ(LauncherReceivers(global), 1);
  context.UninitIpc(false);
  // One mutex handle only: closing it made the mutex go.
  EXPECT_FALSE(IsClientIpcInited(kClientLauncher, global));
  EXPECT_EQ(LauncherReceivers(global), 0);
  context.UninitIpc(false);
  EXPECT_TRUE(context.stopped());
  // And it starts again.
  context.InitIpc();
  EXPECT_EQ(LauncherReceivers(global), 1);
  EXPECT_TRUE(IsClientIpcInited(kClientLauncher, global));
  context.UninitIpc(false);
}

TEST(IpcContext, ShutdownWakesTheReceiveThreadInsteadOfWaitingOutItsReceive) {
  IpcContext& context = IpcContext::Instance();
  IpcReceiver::Timings slow;
  slow.receive_ms = 120'000;  // a receive that would keep the thread for two minutes
  slow.thread_stop_ms = 120'000;
  context.SetReceiverTimings(slow);
  context.InitIpc();
  // Returns at once only because the receive is woken; otherwise it takes the two minutes.
  context.UninitIpc(false);
  EXPECT_TRUE(context.stopped());
  context.SetReceiverTimings(IpcReceiver::Timings{});
}

// The statistics a shutdown leaves in the product key. Argument 0 names the steps:
// "init-report" InitIpc, UninitIpc(true); "init-quiet" InitIpc, UninitIpc(false),
// UninitIpc(true); "report-only" UninitIpc(true) alone.
VELMORA_TEST_CHILD(shutdown_statistics) {
  InstallContext::Instance().Init(u"Velmora");
  IpcContext& context = IpcContext::Instance();
  const std::string& steps = arguments.at(0);
  if (steps != "report-only") context.InitIpc();
  if (steps == "init-quiet") context.UninitIpc(false);
  context.UninitIpc(true);
  return 0;
}

class IpcStatisticsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallContext::Instance().Init(u"Velmora");
    key_ = InstallContext::Instance().RegistryKey(ComponentId::kProduct);
    RegistryDeleteValues(key_, {u"ipc_send_analysis_10", u"ipc_recv_analysis_10"});
  }
  std::u16string Stored(std::u16string_view name) {
    return RegistryReadString(kHkeyCurrentUser, key_, name, u"<none>");
  }
  void RunChild(const std::string& steps) {
    auto child = test_support::SpawnChild("shutdown_statistics", {steps});
    ASSERT_TRUE(child);
    ASSERT_EQ(child->Wait(os::ChildProcess::kInfinite), 0u);
  }
  std::u16string key_;
};

TEST_F(IpcStatisticsStore, ShutdownWithReportWritesBothValuesEvenWhenIdle) {
  RunChild("init-report");
  EXPECT_EQ(Stored(u"ipc_send_analysis_10"), u"[]");
  EXPECT_EQ(Stored(u"ipc_recv_analysis_10"), u"[]");
}

TEST_F(IpcStatisticsStore, QuietOrUninitialisedShutdownWritesNothing) {
  RunChild("init-quiet");
  RunChild("report-only");
  EXPECT_EQ(Stored(u"ipc_send_analysis_10"), u"<none>");
  EXPECT_EQ(Stored(u"ipc_recv_analysis_10"), u"<none>");
}

std::atomic<std::int64_t> stuck_clock_ns{0};
std::int64_t StuckClock() {
  return stuck_clock_ns.load();
}

// A launcher whose handler never returns: its shutdown ends the process (exit code 0) instead of
// waiting for the handler. Exit code 3 when UninitIpc came back.
VELMORA_TEST_CHILD(stuck_handler) {
  IpcContext& context = IpcContext::Instance();
  IpcReceiver::Timings timings;
  timings.pool_idle_ms = 50;  // the 5 s idle wait, shortened
  timings.pool_clock = &StuckClock;
  context.SetReceiverTimings(timings);
  context.InitIpc();
  std::promise<void> entered;
  context.msg_handler()->Register(
      34001,
      [&entered](const IpcPacketPtr&) {
        entered.set_value();
        auto never = os::NamedEvent::Create(u"", true, false, os::ObjectSecurity::kDefault);
        never.object.Wait(os::kInfiniteWait);
        return true;
      },
      [](const IpcPacketPtr&, IpcTask task) { task(); });  // on the handler pool's own thread
  auto packet = std::make_shared<IpcPacket>(kClientLauncher, 34001, json());
  packet->handle_self_ipc = true;
  if (!SendIpc(packet, context.global())) return 4;
  entered.get_future().wait();
  stuck_clock_ns = 6'000'000'000;  // the handler has been busy for 6 s
  context.UninitIpc(false);
  return 3;
}

TEST(IpcContext, StuckHandlerAtShutdownEndsTheLauncher) {
  // The child ends itself with threads still running, which the thread sanitizer would report.
  auto child =
      test_support::SpawnChild("stuck_handler", {}, {{u"TSAN_OPTIONS", u"report_thread_leaks=0"}});
  ASSERT_TRUE(child);
  const auto code = child->Wait(60'000);
  if (!code) child->Kill();
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace ipc
