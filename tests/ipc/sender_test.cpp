#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"
#include "common/ipc/core/base/sender.h"
#include "ipc_test_support.h"

namespace ipc {
namespace {

using ipc_test::PeerProcess;
using ipc_test::ReportCapture;
using nlohmann::json;

class SenderTest : public ::testing::Test {
 protected:
  void SetUp() override { IpcContext::Instance().InitIpc(); }
  void TearDown() override { IpcContext::Instance().UninitIpc(false); }

  static std::optional<IpcSendRecord> Counted(IpcClientId to, std::int32_t msg_id) {
    const auto table = IpcContext::Instance().quality_monitor()->SendTable();
    const auto found = table.find(IpcStatKey{kClientLauncher, to, msg_id});
    if (found == table.end()) return std::nullopt;
    return found->second;
  }

  ReportCapture reports_;
};

TEST_F(SenderTest, UnknownTargetIsRefusedBeforeTheTransport) {
  EXPECT_FALSE(SendIpc(std::make_shared<IpcPacket>(110007, 32001, json()), true));
  const auto all = reports_.All();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].text, "client_name error!");
  EXPECT_EQ(all[0].level, 2);
  EXPECT_EQ(all[0].module, "src/common/ipc/core/base/sender");
}

TEST_F(SenderTest, AnnouncedTargetsWithoutTheirMutexAreNotTried) {
  for (const IpcClientId to :
       {kClientEmulator, kClientService, kClientAssistant, kClientVelAppstore}) {
    SCOPED_TRACE(to);
    EXPECT_FALSE(SendIpc(std::make_shared<IpcPacket>(to, 32002, json()), true));
    EXPECT_FALSE(Counted(to, 32002));
  }
  // Not even a channel was opened: the transport said nothing.
  EXPECT_TRUE(reports_.All().empty());
}

TEST_F(SenderTest, OtherTargetsAreTriedWithoutTheirMutex) {
  EXPECT_FALSE(SendIpc(std::make_shared<IpcPacket>(kClientUpdate, 32003, json()), true));
  EXPECT_EQ(reports_.Containing("there is no receiver").size(), 1u);
  EXPECT_FALSE(Counted(kClientUpdate, 32003));  // no ipc-inited mutex, no statistics

  // With the target's mutex present the failed attempt counts.
  auto announced = os::NamedMutex::Create(Utf8ToWide(MakeIpcInitedMutexName(kClientUpdate, true)),
                                          false, os::ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(announced.ok());
  EXPECT_FALSE(SendIpc(std::make_shared<IpcPacket>(kClientUpdate, 32003, json()), true));
  ASSERT_TRUE(Counted(kClientUpdate, 32003));
  EXPECT_EQ(Counted(kClientUpdate, 32003)->total, 1u);
  EXPECT_EQ(Counted(kClientUpdate, 32003)->success, 0u);
}

TEST_F(SenderTest, StoppedIpcRefusesEverySend) {
  IpcContext::Instance().UninitIpc(false);
  EXPECT_FALSE(SendIpc(std::make_shared<IpcPacket>(kClientUpdate, 32004, json()), true));
  EXPECT_TRUE(reports_.All().empty());
}

TEST_F(SenderTest, DeliversToARunningPeerAndRestampsEverySend) {
  PeerProcess peer({"--role", "emulator", "--launch-result", "none"});
  ASSERT_TRUE(peer.WaitReady());
  const auto packet = std::make_shared<IpcPacket>(kClientEmulator, 32005, json{{"k", "v"}});
  ASSERT_TRUE(SendIpc(packet, true));
  const std::uint64_t first_stamp = *packet->send_time_us;
  ASSERT_TRUE(SendIpc(packet, true));
  EXPECT_GT(*packet->send_time_us, first_stamp);

  const auto got = peer.WaitForLines(PeerProcess::Packet(32005), 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0]["packet"]["unique_id"], got[1]["packet"]["unique_id"]);
  EXPECT_NE(got[0]["packet"]["send_time_us"], got[1]["packet"]["send_time_us"]);
  EXPECT_EQ(got[0]["packet"]["data"], (json{{"k", "v"}}));
  EXPECT_EQ(got[0]["packet"]["from"], kClientLauncher);
  EXPECT_EQ(Counted(kClientEmulator, 32005)->total, 2u);
  EXPECT_EQ(Counted(kClientEmulator, 32005)->success, 2u);
}

TEST_F(SenderTest, InvalidUtf8ThrowsAndSendsNothing) {
  auto announced = os::NamedMutex::Create(Utf8ToWide(MakeIpcInitedMutexName(kClientUpdate, true)),
                                          false, os::ObjectSecurity::kOpenToAll);
  const auto packet = std::make_shared<IpcPacket>(kClientUpdate, 32006, json(std::string("\xFF")));
  EXPECT_THROW(SendIpc(packet, true), json::type_error);
  EXPECT_FALSE(Counted(kClientUpdate, 32006));
}

}  // namespace
}  // namespace ipc
