#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <future>
#include <thread>

#include "base/registry.h"
#include "base/text_encoding.h"
#include "common/ipc/core/base/handler.h"
#include "common/ipc/core/base/ipc_channel.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"
#include "common/ipc/core/base/sender.h"
#include "install/install_context.h"
#include "ipc_test_support.h"
#include "object_test_support.h"
#include "test_support.h"
#include "transport/channel.h"
#include "transport/chunk_storage.h"

namespace ipc {
namespace {

using nlohmann::json;

// Receivers connected to the launcher's channel in this namespace, from the ring itself.
int LauncherReceivers(bool global) {
  const transport::channel_ptr channel(transport::channel_open("VelLauncher", global));
  if (channel->ring() == nullptr) return -1;
  return std::popcount(std::atomic_ref<std::uint32_t>(channel->ring()->connections).load());
}

// "velmora://client/..." of `length` (decimal) characters.
std::string LongUrl(const std::string& length) {
  std::string url = "velmora://client/search?q=";
  url.resize(std::stoul(length), 'v');
  return url;
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

// The launcher's way out after delivering a URL: one long packet to the client, then shutdown.
// Arguments: the length of the URL, then an event set when the shutdown starts waiting for the
// client. Exit code 2 when the send failed.
VELMORA_TEST_CHILD(send_url_and_shut_down) {
  test_support::AnnouncingClock::event = arguments.at(1);
  transport::set_storage_clock(&test_support::AnnouncingClock::Read);
  IpcContext& context = IpcContext::Instance();
  context.InitIpc();
  const auto packet = std::make_shared<IpcPacket>(kClientVelAppstore, 10003,
                                                  json{{"content", LongUrl(arguments.at(0))}});
  const bool sent = SendIpc(packet, true);
  test_support::AnnouncingClock::armed = true;
  context.UninitIpc(false);
  return sent ? 0 : 2;
}

std::atomic<std::int64_t> stepping_clock_ns{0};
std::int64_t SteppingClock() {
  return stepping_clock_ns.fetch_add(100'000'000);  // a tenth of a second per reading
}

// The same on a clock that moves a tenth of a second per reading, from 0 when the packet goes.
// Exit code: the time of the clock's last reading in tenths of a second, plus 100 when the send
// succeeded.
VELMORA_TEST_CHILD(send_url_and_shut_down_on_a_stepping_clock) {
  transport::set_storage_clock(&SteppingClock);
  IpcContext& context = IpcContext::Instance();
  context.InitIpc();
  const auto packet =
      std::make_shared<IpcPacket>(kClientVelAppstore, 10003, json{{"content", LongUrl("2000")}});
  const bool sent = SendIpc(packet, true);
  context.UninitIpc(false);
  const std::int64_t readings = stepping_clock_ns.load() / 100'000'000;
  return static_cast<int>((sent ? 100 : 0) + (readings == 0 ? 0 : readings - 1));
}

class IpcShutdown : public ::testing::Test {
 protected:
  void SetUp() override {
    announced_ =
        os::NamedMutex::Create(Utf8ToWide(MakeIpcInitedMutexName(kClientVelAppstore, true)), false,
                               os::ObjectSecurity::kOpenToAll)
            .object;
    ASSERT_TRUE(announced_.valid());
  }

  os::NamedMutex announced_;  // the client looks running
  IpcChannel client_{"VelAppstore", true};
};

// The client is connected, but takes its messages only once the launcher is done: exited, or
// waiting for the client. It has never mapped the pool the packet's chunk lies in (no other test
// here sends ~9 KiB).
TEST_F(IpcShutdown, ALongPacketSentJustBeforeShutdownReachesAClientThatReadsAfterwards) {
  ASSERT_TRUE(client_.ConnectReceiver());
  const std::string waiting_name = test_support::UniqueLocalName("waiting");
  auto waiting = os::NamedEvent::Create(Utf8ToWide(waiting_name), false, false,
                                        os::ObjectSecurity::kOpenToAll);
  auto child = test_support::SpawnChild("send_url_and_shut_down", {"9000", waiting_name});
  ASSERT_TRUE(child);
  ASSERT_TRUE(test_support::AwaitExitOrEvent(*child, waiting.object));
  const std::string text = client_.Receive(0);
  ASSERT_FALSE(text.empty()) << "the packet was lost";
  const auto packet = json::parse(text.c_str()).get<IpcPacket>();
  EXPECT_EQ(packet.msg_id, 10003);
  EXPECT_EQ(packet.data.at("content"), LongUrl("9000"));
  EXPECT_EQ(child->Wait(test_support::kChildWaitMs), 0u);
}

TEST_F(IpcShutdown, WaitsForAClientThatNeverReadsNoLongerThanItsBound) {
  ASSERT_TRUE(client_.ConnectReceiver());
  auto child = test_support::SpawnChild("send_url_and_shut_down_on_a_stepping_clock");
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(test_support::kChildWaitMs), 100u + IpcContext::kChunkReleaseWaitMs / 100);
}

TEST_F(IpcShutdown, DoesNotWaitWhenNoClientReceives) {
  auto child = test_support::SpawnChild("send_url_and_shut_down_on_a_stepping_clock");
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(test_support::kChildWaitMs), 0u) << "the send fails; the clock is not read";
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
