#include <gtest/gtest.h>

#include <memory>

#include "base/registry.h"
#include "common/ipc/core/base/ipc_channel.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/sender.h"
#include "install/install_context.h"
#include "ipc_test_support.h"
#include "os/object_listing.h"

namespace ipc {
namespace {

using ipc_test::Inspector;
using ipc_test::PeerProcess;
using ipc_test::ToolProcess;
using nlohmann::json;

// The inspector's one JSON line, once it has ended with `exit_code`.
json Finished(Inspector& inspector, std::uint32_t exit_code) {
  EXPECT_EQ(inspector.Stop(), exit_code);
  const auto lines = inspector.Lines();
  return lines.empty() ? json() : lines.back();
}

TEST(Inspector, SendsAPacketToARunningPeer) {
  PeerProcess service({"--role", "service"});
  ASSERT_TRUE(service.WaitReady());
  Inspector send(
      {"send", "--to", "VelService", "--msg-id", "35001", "--data", R"({"x":[1,2]})", "--json"});
  const json result = Finished(send, 0);
  EXPECT_EQ(result["sent"], true);
  EXPECT_EQ(result["ipc_inited"], true);
  EXPECT_EQ(result["read"], true);
  const auto packet = service.WaitForLine(ToolProcess::Packet(35001));
  ASSERT_TRUE(packet) << json(service.Lines()).dump() << json(send.Lines()).dump();
  EXPECT_EQ((*packet)["packet"]["data"], (json{{"x", {1, 2}}}));
  EXPECT_EQ((*packet)["packet"]["from"], 110009);

  Inspector nobody({"send", "--to", "110004", "--msg-id", "1", "--json"});
  const json refused = Finished(nobody, 1);
  EXPECT_EQ(refused["sent"], false);
  EXPECT_EQ(refused["channel"], "VelUpdate");
}

TEST(Inspector, ListensBesideTheOwnerAndDumpsTheRing) {
  IpcContext::Instance().InitIpc();
  PeerProcess emulator({"--role", "emulator", "--launch-result", "none"});
  ASSERT_TRUE(emulator.WaitReady());
  Inspector listen({"listen", "--channel", "VelEmulator", "--count", "1", "--json"});
  ASSERT_TRUE(listen.WaitForLine(ToolProcess::Event("listening")));
  // A receiver that never reads keeps its slot occupied.
  IpcChannel idle("VelEmulator", true);
  ASSERT_TRUE(idle.ConnectReceiver());

  ASSERT_TRUE(SendIpc(std::make_shared<IpcPacket>(kClientEmulator, 35002, json("hello")), true));
  const json heard = Finished(listen, 0);
  EXPECT_EQ(heard["event"], "packet");
  EXPECT_EQ(heard["packet"]["data"], "hello");
  ASSERT_TRUE(emulator.WaitForLine(ToolProcess::Packet(35002)));

  Inspector ring({"ring", "--channel", "VelEmulator", "--json"});
  const json dump = Finished(ring, 0);
  EXPECT_EQ(dump["receivers"], 2);  // the peer and the idle one; the listener has gone
  ASSERT_EQ(dump["occupied"].size(), 1u);
  EXPECT_EQ(dump["occupied"][0]["stored"], true);  // the packet is longer than one record
  EXPECT_EQ(std::popcount(dump["occupied"][0]["unread_by"].get<std::uint32_t>()), 1);
  // Read at last: the shutdown need not wait for the packet to be released.
  EXPECT_FALSE(idle.Receive(0).empty());
  IpcContext::Instance().UninitIpc(false);

  Inspector missing({"ring", "--channel", "NoSuchChannel", "--json"});
  EXPECT_EQ(missing.Stop(), 1u);
}

TEST(Inspector, PrintsTheStoredStatistics) {
  InstallContext::Instance().Init(u"Velmora");
  const std::u16string key = InstallContext::Instance().RegistryKey(ComponentId::kProduct);
  ASSERT_TRUE(RegistryWriteString(
      kHkeyCurrentUser, key, u"ipc_send_analysis_10",
      uR"([[{"from":110009,"msg_id":20001,"to":110002},{"success":3,"total":4}]])"));
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, key, u"ipc_recv_analysis_10", u"broken"));
  Inspector stats({"stats", "--json"});
  const json result = Finished(stats, 0);
  EXPECT_EQ(
      result["send"],
      json::parse(R"([[{"from":110009,"msg_id":20001,"to":110002},{"success":3,"total":4}]])"));
  EXPECT_EQ(result["recv"], json::array());
  EXPECT_EQ(result["send_stored"], true);
}

TEST(Inspector, ListsNamedObjectsAndWhoHoldsThem) {
  if (!os::ListNamedObjects()) GTEST_SKIP() << "no object listing on this system";
  PeerProcess client({"--role", "client"});
  ASSERT_TRUE(client.WaitReady());
  Inspector objects({"objects", "--json"});
  ASSERT_EQ(objects.Stop(), 0u);
  bool announced = false;
  for (const auto& line : objects.Lines()) {
    if (line["name"] == "Global\\tamrisk_ipc_inited_VelAppstore") announced = line["held"];
  }
  EXPECT_TRUE(announced);
  client.Stop();
  Inspector after({"objects", "--json"});
  ASSERT_EQ(after.Stop(), 0u);
  for (const auto& line : after.Lines()) {
    EXPECT_NE(line["name"], "Global\\tamrisk_ipc_inited_VelAppstore");
  }
}

}  // namespace
}  // namespace ipc
