#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/ipc/core/base/ipc_channel.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/query_responser.h"
#include "ipc_test_support.h"
#include "os/process_info.h"
#include "test_support.h"

namespace ipc {
namespace {

using ipc_test::ReportCapture;
using nlohmann::json;

constexpr const char* kNoReceiver = "there is no receiver";

class QueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IpcContext::Instance().InitIpc();
    IpcContext::Instance().query_responser()->SetResponder(7, [](const json& data) {
      return json{{"sum", data.at("a").get<int>() + data.at("b").get<int>()}};
    });
  }
  void TearDown() override { IpcContext::Instance().UninitIpc(false); }

  // A query to this process from another process of the emulator client.
  static IpcPacket Query(std::int32_t query_id, const std::string& response_channel) {
    IpcPacket packet(kClientEmulator, kClientLauncher, 33000,
                     json{{"query_id", query_id}, {"data", {{"a", 1}, {"b", 2}}}});
    packet.from_process_id = os::CurrentProcessId() + 1;
    packet.response_channel = response_channel;
    return packet;
  }
  static bool Deliver(const IpcPacket& packet) {
    return ipc_test::SendRaw("VelLauncher", IpcContext::Instance().global(), packet.ToText());
  }

  ReportCapture reports_;
};

TEST_F(QueryTest, OneAnswerHoldingOnlyTheResult) {
  const std::string name = test_support::UniqueName("answers");
  IpcChannel listener(name, true);
  ASSERT_TRUE(listener.ConnectReceiver());
  ASSERT_TRUE(Deliver(Query(7, name)));
  EXPECT_EQ(listener.Receive(20'000), std::string("{\"sum\":3}") + '\0');
  IpcContext::Instance().UninitIpc(false);  // every pool drained: a second answer would be here
  EXPECT_EQ(listener.Receive(0), "");
}

TEST_F(QueryTest, AnswerGoesToTheNamespaceTheAskerRunsIn) {
  const std::string name = test_support::UniqueName("answers");
  IpcChannel local(name, false);
  IpcChannel global(name, true);
  ASSERT_TRUE(local.ConnectReceiver());
  ASSERT_TRUE(global.ConnectReceiver());

  IpcPacket unelevated = Query(7, name);
  unelevated.uac = false;
  ASSERT_TRUE(Deliver(unelevated));
  EXPECT_EQ(local.Receive(20'000), std::string("{\"sum\":3}") + '\0');

  IpcPacket unsaid = Query(7, name);
  unsaid.uac.reset();  // parsed as the default: true
  ASSERT_TRUE(Deliver(unsaid));
  EXPECT_EQ(global.Receive(20'000), std::string("{\"sum\":3}") + '\0');

  IpcContext::Instance().UninitIpc(false);
  EXPECT_EQ(local.Receive(0), "");
  EXPECT_EQ(global.Receive(0), "");
}

TEST_F(QueryTest, NobodyListeningCostsThreeAttempts) {
  ASSERT_TRUE(Deliver(Query(7, test_support::UniqueName("nobody"))));
  ASSERT_TRUE(reports_.WaitFor(kNoReceiver, 3));
  IpcContext::Instance().UninitIpc(false);
  EXPECT_EQ(reports_.Containing(kNoReceiver).size(), 3u);
}

TEST_F(QueryTest, ATaskThatRunsAfterShutdownSendsNothing) {
  std::atomic<bool> answering{false};
  IpcContext::Instance().query_responser()->SetResponder(8, [&](const json&) {
    answering = true;
    // Hold the answer back until shutdown has begun.
    while (!IpcContext::Instance().stopped()) std::this_thread::yield();
    return json("late");
  });
  const std::string name = test_support::UniqueName("late");
  IpcChannel listener(name, true);
  ASSERT_TRUE(listener.ConnectReceiver());
  ASSERT_TRUE(Deliver(Query(8, name)));
  while (!answering) std::this_thread::yield();
  IpcContext::Instance().UninitIpc(false);
  EXPECT_EQ(listener.Receive(0), "");
  EXPECT_TRUE(reports_.Containing(kNoReceiver).empty());
}

TEST_F(QueryTest, QueriesWithoutResponderOrMalformedAreDroppedSilently) {
  const std::string name = test_support::UniqueName("answers");
  IpcChannel listener(name, true);
  ASSERT_TRUE(listener.ConnectReceiver());
  IpcPacket malformed = Query(7, name);
  malformed.data = json{{"query_id", true}, {"data", 1}};
  ASSERT_TRUE(Deliver(Query(99, name)));
  ASSERT_TRUE(Deliver(malformed));
  // A known query behind them; the receive thread took the others first.
  ASSERT_TRUE(Deliver(Query(7, name)));
  EXPECT_EQ(listener.Receive(20'000), std::string("{\"sum\":3}") + '\0');
  IpcContext::Instance().UninitIpc(false);
  EXPECT_EQ(listener.Receive(0), "");
  EXPECT_TRUE(reports_.All().empty());
}

}  // namespace
}  // namespace ipc
