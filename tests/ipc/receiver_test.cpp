#include <gtest/gtest.h>

#include <string>

#include "common/ipc/core/base/handler.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"
#include "ipc_test_support.h"
#include "os/process_info.h"

namespace ipc {
namespace {

using ipc_test::PacketSink;
using ipc_test::ReportCapture;
using nlohmann::json;

// This test program as the launcher, receiving on its own channel; packets come from a second
// channel object of the same process, which the transport delivers like any other sender's.
class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override { IpcContext::Instance().InitIpc(); }
  void TearDown() override { IpcContext::Instance().UninitIpc(false); }

  static bool Deliver(const IpcPacket& packet) {
    return ipc_test::SendRaw("VelLauncher", IpcContext::Instance().global(), packet.ToText());
  }
  // A packet from another process of the emulator client to this process.
  static IpcPacket FromPeer(std::int32_t msg_id) {
    IpcPacket packet(kClientEmulator, kClientLauncher, msg_id, json{{"n", msg_id}});
    packet.from_process_id = os::CurrentProcessId() + 1;
    return packet;
  }
  static std::uint64_t Received(std::int32_t msg_id) {
    const auto table = IpcContext::Instance().quality_monitor()->RecvTable();
    const auto found = table.find(IpcStatKey{kClientEmulator, kClientLauncher, msg_id});
    return found == table.end() ? 0 : found->second.total;
  }

  ReportCapture reports_;
};

TEST_F(ReceiverTest, FiltersRejectWithOneReportLine) {
  const std::uint64_t own_pid = os::CurrentProcessId();
  struct Case {
    const char* reason;
    void (*change)(IpcPacket&, std::uint64_t own_pid);
  } cases[] = {
      {"Target client not matched.", [](IpcPacket& p, std::uint64_t) { p.to = kClientService; }},
      {"Target pid not matched.",
       [](IpcPacket& p, std::uint64_t pid) { p.to_process_id = pid + 7; }},
      {"Skip self ipc message.", [](IpcPacket& p, std::uint64_t pid) { p.from_process_id = pid; }},
  };
  PacketSink sink(31001);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    IpcPacket packet = FromPeer(31001);
    c.change(packet, own_pid);
    ASSERT_TRUE(Deliver(packet));
    ASSERT_TRUE(reports_.WaitFor(c.reason));
    const auto found = reports_.Containing(c.reason);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].level, 1);
    EXPECT_EQ(found[0].module, "src/common/ipc/core/base/handler");
    const IpcPacket parsed = json::parse(packet.ToText()).get<IpcPacket>();
    EXPECT_EQ(found[0].text, std::string("message was filtered.[Reason]") + c.reason + "[PKT]" +
                                 parsed.ToText() + "[CT]110009[PID]" + std::to_string(own_pid) +
                                 "[MsgId] 31001[Id] " + *packet.unique_id);
  }
  EXPECT_TRUE(sink.Packets().empty());
}

TEST_F(ReceiverTest, AcceptedPacketsReachTheirHandler) {
  PacketSink sink(31002);
  IpcPacket any_process = FromPeer(31002);
  IpcPacket this_process = FromPeer(31002);
  this_process.to_process_id = os::CurrentProcessId();
  IpcPacket own_but_asked = FromPeer(31002);
  own_but_asked.from_process_id = os::CurrentProcessId();
  own_but_asked.handle_self_ipc = true;
  IpcPacket empty_response_channel = FromPeer(31002);
  empty_response_channel.response_channel = "";
  for (const auto* packet :
       {&any_process, &this_process, &own_but_asked, &empty_response_channel}) {
    ASSERT_TRUE(Deliver(*packet));
  }
  ASSERT_TRUE(sink.WaitForCount(4));
  std::set<std::string> ids;
  for (const auto& packet : sink.Packets()) ids.insert(packet->unique_id.value_or(""));
  EXPECT_EQ(ids,
            (std::set<std::string>{*any_process.unique_id, *this_process.unique_id,
                                   *own_but_asked.unique_id, *empty_response_channel.unique_id}));
  EXPECT_EQ(Received(31002), 4u);
  EXPECT_TRUE(reports_.Containing("message was filtered").empty());
}

TEST_F(ReceiverTest, UnknownMessageIsReportedButCounted) {
  const IpcPacket packet = FromPeer(31003);
  ASSERT_TRUE(Deliver(packet));
  const std::string expected = "message handler not found.[MsgId]31003[Id]" + *packet.unique_id;
  ASSERT_TRUE(reports_.WaitFor(expected));
  EXPECT_EQ(reports_.Containing(expected)[0].level, 2);
  EXPECT_EQ(Received(31003), 1u);
}

TEST_F(ReceiverTest, FallbackTakesWhatHasNoHandlerOfItsOwn) {
  PacketSink own(31007);
  std::mutex mutex;
  std::condition_variable done;
  std::vector<std::int32_t> fallen_back;
  IpcContext::Instance().msg_handler()->SetFallback(
      [&](const IpcPacketPtr& packet) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          fallen_back.push_back(packet->msg_id);
        }
        done.notify_all();
        return true;
      },
      [](const IpcPacketPtr&, IpcTask task) { task(); });
  ASSERT_TRUE(Deliver(FromPeer(31007)));
  ASSERT_TRUE(Deliver(FromPeer(31008)));
  ASSERT_TRUE(own.WaitForCount(1));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(
        done.wait_for(lock, std::chrono::seconds(20), [&] { return !fallen_back.empty(); }));
    EXPECT_EQ(fallen_back, std::vector<std::int32_t>{31008});
  }
  IpcContext::Instance().UninitIpc(false);  // every handling is over
  IpcContext::Instance().msg_handler()->SetFallback(nullptr);
  EXPECT_TRUE(reports_.Containing("message handler not found").empty());
}

TEST_F(ReceiverTest, HandlerThatFailsIsReported) {
  PacketSink sink(31004, false);
  const IpcPacket packet = FromPeer(31004);
  ASSERT_TRUE(Deliver(packet));
  ASSERT_TRUE(
      reports_.WaitFor("handle function return false.[MsgId]31004[Id]" + *packet.unique_id));
}

TEST_F(ReceiverTest, MalformedTextIsDroppedAndTheNextPacketStillArrives) {
  PacketSink sink(31005);
  const std::string global = IpcContext::Instance().global() ? "global" : "local";
  ASSERT_TRUE(ipc_test::SendRaw("VelLauncher", IpcContext::Instance().global(), "not json"));
  ASSERT_TRUE(ipc_test::SendRaw("VelLauncher", IpcContext::Instance().global(),
                                R"({"from":110002,"to":110009,"msg_id":31005})"));
  ASSERT_TRUE(reports_.WaitFor("parse ipc json failed, [data]: ", 2));
  for (const auto& report : reports_.Containing("parse ipc json failed")) {
    EXPECT_EQ(report.level, 1);
    EXPECT_EQ(report.module, "src/common/ipc/core/base/receiver");
  }
  EXPECT_EQ(Received(31005), 0u);
  ASSERT_TRUE(Deliver(FromPeer(31005)));
  ASSERT_TRUE(sink.WaitForCount(1));
  EXPECT_EQ(Received(31005), 1u);
}

TEST_F(ReceiverTest, DispatcherDecidesWhereTheHandlingRuns) {
  std::mutex mutex;
  std::condition_variable done;
  std::vector<std::string> seen;
  IpcContext::Instance().msg_handler()->Register(
      31006,
      [&](const IpcPacketPtr&) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back("handler");
        return true;
      },
      [&](const IpcPacketPtr& packet, IpcTask task) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          seen.push_back("dispatcher " + std::to_string(packet->msg_id));
        }
        task();
        done.notify_all();
      });
  ASSERT_TRUE(Deliver(FromPeer(31006)));
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(20), [&] { return seen.size() == 2; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"dispatcher 31006", "handler"}));
  lock.unlock();
  IpcContext::Instance().msg_handler()->Unregister(31006);
}

}  // namespace
}  // namespace ipc
