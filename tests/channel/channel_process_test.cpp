// Channels between real processes: the test program re-runs itself as senders and receivers.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channel_test_support.h"
#include "object_test_support.h"
#include "os/named_objects.h"
#include "os/text.h"
#include "transport/message.h"
#include "transport_test_support.h"

namespace {

using channel_test::Eventually;
using channel_test::ExhaustedPool;
using channel_test::Matches;
using channel_test::Open;
using channel_test::OpenReceiver;
using channel_test::Pattern;
using test_support::kChildWaitMs;
using transport_test::CapturedReports;

// An auto-reset event a child sets (test_support::SetReady) or waits for.
struct Signal {
  std::string name = test_support::UniqueLocalName("signal");
  os::NamedEvent event =
      os::NamedEvent::Create(os::Utf8ToUtf16(name), false, false, os::ObjectSecurity::kOpenToAll)
          .object;
  bool Wait() const { return event.Wait(kChildWaitMs).signaled(); }
  void Set() const { event.Set(); }
};

bool WaitFor(const std::string& name) {
  auto event = os::NamedEvent::Open(os::Utf8ToUtf16(name));
  return event.ok() && event.object.Wait(kChildWaitMs).signaled();
}

std::string Text(const transport::received_buffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.data()), buffer.size());
}

bool SendText(transport::channel& channel, const std::string& text, std::uint32_t timeout_ms) {
  return transport::try_send(&channel, text.data(), text.size(), timeout_ms);
}

// --- children ------------------------------------------------------------------------------

// Connects, then 0 when the first message it receives is <expected>.
VELMORA_TEST_CHILD(receive_first) {
  auto channel = OpenReceiver(arguments.at(1));
  if (channel->receiver_bit() == 0 || !test_support::SetReady(arguments.at(0))) return 1;
  const auto received = transport::recv(channel.get(), kChildWaitMs);
  if (received.empty()) return 2;
  return Text(received) == arguments.at(2) ? 0 : 3;
}

// Connects; once <go> is set ("-": at once) receives "m0" to "m<count-1>", sets <done> and stays.
VELMORA_TEST_CHILD(receive_numbered) {
  auto channel = OpenReceiver(arguments.at(1));
  if (channel->receiver_bit() == 0 || !test_support::SetReady(arguments.at(0))) return 1;
  if (arguments.at(3) != "-" && !WaitFor(arguments.at(3))) return 2;
  const int count = std::stoi(arguments.at(2));
  for (int i = 0; i < count; ++i) {
    if (Text(transport::recv(channel.get(), kChildWaitMs)) != "m" + std::to_string(i)) return 3;
  }
  if (!test_support::SetReady(arguments.at(4))) return 4;
  test_support::Park();
}

// 0 when it gets a receiver bit, 3 when refused.
VELMORA_TEST_CHILD(connect_receiver_once) {
  auto channel = Open(arguments.at(0));
  return channel->connect_receiver() ? 0 : 3;
}

VELMORA_TEST_CHILD(never_pops) {
  auto channel = OpenReceiver(arguments.at(1));
  if (channel->receiver_bit() == 0 || !test_support::SetReady(arguments.at(0))) return 1;
  test_support::Park();
}

// Receives one message per "<size>:<how>" argument: message i must be Pattern(size, i + 1),
// `how` being "heap" or the chunk size it must be viewed in.
VELMORA_TEST_CHILD(receive_expect) {
  auto channel = OpenReceiver(arguments.at(1));
  if (channel->receiver_bit() == 0 || !test_support::SetReady(arguments.at(0))) return 1;
  for (std::size_t i = 2; i < arguments.size(); ++i) {
    const std::string& expect = arguments[i];
    const std::size_t size = std::stoul(expect.substr(0, expect.find(':')));
    const std::string how = expect.substr(expect.find(':') + 1);
    const auto received = transport::recv(channel.get(), kChildWaitMs);
    const auto expected = Pattern(size, static_cast<std::uint32_t>(i - 1));
    const auto code = static_cast<int>(10 + i);
    if (!Matches(received, expected)) return code;
    if (how == "heap" ? received.is_chunk_view()
                      : channel_test::ChunkClassOf(received) != std::stoul(how)) {
      return code + 40;
    }
  }
  return 0;
}

// Receives one message, sets <got>, holds the buffer until <release> is set.
VELMORA_TEST_CHILD(receive_and_hold) {
  auto channel = OpenReceiver(arguments.at(1));
  if (channel->receiver_bit() == 0 || !test_support::SetReady(arguments.at(0))) return 1;
  auto received = transport::recv(channel.get(), kChildWaitMs);
  if (!received.is_chunk_view() || !test_support::SetReady(arguments.at(2))) return 2;
  if (!WaitFor(arguments.at(3))) return 3;
  received.reset();
  return 0;
}

// Turns the free list of the pool for <chunk size> into a cycle.
VELMORA_TEST_CHILD(corrupt_pool) {
  void* pool = transport::chunk_storages(std::stoul(arguments.at(0)));
  if (pool == nullptr) return 1;
  auto& header = *static_cast<transport::pool_header*>(pool);
  header.prepared = 1;
  header.cursor = 4;
  header.free_list[4] = 9;
  header.free_list[9] = 4;
  return 0;
}

// Sends a message of 100 KiB, as fragments; killed while it waits for room.
VELMORA_TEST_CHILD(send_long) {
  auto channel = Open(arguments.at(0));
  const auto bytes = Pattern(100 << 10, 77);
  transport::send(channel.get(), bytes.data(), bytes.size(), kChildWaitMs);
  return 5;
}

// --- tests ---------------------------------------------------------------------------------

class ChannelProcessTest : public ::testing::Test {
 protected:
  ChannelProcessTest() : name_(test_support::UniqueName("chan")), sender_(Open(name_)) {
    sender_->connect_sender();
  }

  std::uint32_t Connections() const { return transport::ring_connections(*sender_->ring()); }

  std::string name_;
  transport::channel_ptr sender_;
};

TEST_F(ChannelProcessTest, AReceiverThatConnectsLateDoesNotSeeOlderMessages) {
  auto keeper = OpenReceiver(name_);
  ASSERT_TRUE(SendText(*sender_, "old", 0));
  auto child = test_support::StartAndAwaitReady("receive_first", {name_, "new"});
  ASSERT_TRUE(child.ready);
  ASSERT_TRUE(SendText(*sender_, "new", 0));
  EXPECT_EQ(child.process.Wait(kChildWaitMs), 0u);
}

TEST_F(ChannelProcessTest, TwoReceiversGetEveryMessageAndASlotIsFreeOnlyAfterBoth) {
  Signal a_done, b_go, b_done;
  auto a = test_support::StartAndAwaitReady("receive_numbered", {name_, "256", "-", a_done.name});
  auto b =
      test_support::StartAndAwaitReady("receive_numbered", {name_, "256", b_go.name, b_done.name});
  ASSERT_TRUE(a.ready && b.ready);
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(SendText(*sender_, "m" + std::to_string(i), 0));
  ASSERT_TRUE(a_done.Wait());
  EXPECT_FALSE(SendText(*sender_, "m256", 0)) << "b has not read the first slot";
  b_go.Set();
  ASSERT_TRUE(b_done.Wait());
  EXPECT_TRUE(SendText(*sender_, "m256", 0));
  a.process.Kill();
  b.process.Kill();
}

TEST_F(ChannelProcessTest, TheThirtyThirdReceiverIsRefused) {
  std::vector<transport::channel_ptr> receivers;
  for (int i = 0; i < 32; ++i) {
    receivers.push_back(OpenReceiver(name_));
    ASSERT_NE(receivers.back()->receiver_bit(), 0u);
  }
  auto refused = test_support::SpawnChild("connect_receiver_once", {name_});
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->Wait(kChildWaitMs), 3u);
  receivers.pop_back();
  auto accepted = test_support::SpawnChild("connect_receiver_once", {name_});
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->Wait(kChildWaitMs), 0u);
}

TEST_F(ChannelProcessTest, PastAReceiverThatNeverReadsTryFailsAndAForcedSendDropsIt) {
  auto slow = test_support::StartAndAwaitReady("never_pops", {name_});
  ASSERT_TRUE(slow.ready);
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(SendText(*sender_, "x", 0)) << i;
  CapturedReports reports;
  EXPECT_FALSE(SendText(*sender_, "x", 20));
  EXPECT_FALSE(transport::send(sender_.get(), "x", 1, 20));
  EXPECT_EQ(Connections(), 0u);
  const auto texts = reports.texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "force_push: msg_id = 257, remain = -63, size = 1\n");
  EXPECT_EQ(texts[1].rfind("force_push: k = 0, cc = ", 0), 0u) << texts[1];
  slow.process.Kill();
}

TEST_F(ChannelProcessTest, AForcedSendDropsOnlyTheReceiverThatFellBehind) {
  auto fast = OpenReceiver(name_);
  auto slow = test_support::StartAndAwaitReady("never_pops", {name_});
  ASSERT_TRUE(slow.ready);
  for (int i = 0; i < 256; ++i) {
    ASSERT_TRUE(SendText(*sender_, "m" + std::to_string(i), 0));
    ASSERT_EQ(Text(transport::recv(fast.get(), 0)), "m" + std::to_string(i));
  }
  EXPECT_FALSE(SendText(*sender_, "m256", 0));
  EXPECT_TRUE(transport::send(sender_.get(), "m256", 4, 20));
  EXPECT_EQ(Connections(), fast->receiver_bit());
  EXPECT_EQ(Text(transport::recv(fast.get(), 0)), "m256");
  slow.process.Kill();
}

TEST_F(ChannelProcessTest, EachLengthArrivesByItsPathAndSizeClass) {
  const std::vector<std::string> expected = {"64:heap", "65:1024", "1016:1024", "1017:2048"};
  std::vector<std::string> arguments = {name_};
  arguments.insert(arguments.end(), expected.begin(), expected.end());
  auto child = test_support::StartAndAwaitReady("receive_expect", arguments);
  ASSERT_TRUE(child.ready);
  std::uint32_t seed = 0;
  for (const std::size_t size : {64, 65, 1016, 1017}) {
    const auto bytes = Pattern(size, ++seed);
    ASSERT_TRUE(transport::try_send(sender_.get(), bytes.data(), bytes.size(), 1000));
  }
  EXPECT_EQ(child.process.Wait(kChildWaitMs), 0u);
}

TEST_F(ChannelProcessTest, WithEveryChunkOfItsSizeInUseALongMessageArrivesWholeAsFragments) {
  ExhaustedPool exhausted(1000);
  ASSERT_EQ(exhausted.taken(), 32u);
  auto child = test_support::StartAndAwaitReady("receive_expect", {name_, "1000:heap"});
  ASSERT_TRUE(child.ready);
  const auto bytes = Pattern(1000, 1);
  ASSERT_TRUE(transport::try_send(sender_.get(), bytes.data(), bytes.size(), 1000));
  EXPECT_EQ(child.process.Wait(kChildWaitMs), 0u);
}

// The chunk of pool `chunk_size` whose receivers mask is not 0, with that mask.
std::vector<std::pair<std::uint32_t, std::uint32_t>> ClaimedChunks(void* pool,
                                                                   std::size_t chunk_size) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> claimed;
  for (std::uint32_t id = 0; id < transport::kChunkCount; ++id) {
    const std::uint32_t mask =
        std::atomic_ref<std::uint32_t>(transport::chunk_at(pool, chunk_size, id)->receivers).load();
    if (mask != 0) claimed.emplace_back(id, mask);
  }
  return claimed;
}

bool OnFreeList(void* pool, std::uint32_t id) {
  const auto& header = *static_cast<const transport::pool_header*>(pool);
  std::uint8_t at = header.cursor;
  for (int steps = 0; at < transport::kChunkCount && steps <= 32; ++steps) {
    if (at == id) return true;
    at = header.free_list[at];
  }
  return false;
}

TEST_F(ChannelProcessTest, AChunkIsFreedOnlyAfterBothReceiversReleaseIt) {
  constexpr std::size_t kSize = 5000;
  const std::size_t chunk_size = transport::chunk_size_for(kSize);
  void* pool = transport::chunk_storages(chunk_size);
  ASSERT_NE(pool, nullptr);
  Signal a_got, a_release, b_got, b_release;
  auto a =
      test_support::StartAndAwaitReady("receive_and_hold", {name_, a_got.name, a_release.name});
  auto b =
      test_support::StartAndAwaitReady("receive_and_hold", {name_, b_got.name, b_release.name});
  ASSERT_TRUE(a.ready && b.ready);
  const auto bytes = Pattern(kSize, 1);
  ASSERT_TRUE(transport::try_send(sender_.get(), bytes.data(), bytes.size(), 1000));
  ASSERT_TRUE(a_got.Wait() && b_got.Wait());

  auto claimed = ClaimedChunks(pool, chunk_size);
  ASSERT_EQ(claimed.size(), 1u);
  const std::uint32_t id = claimed[0].first;
  EXPECT_EQ(std::popcount(claimed[0].second), 2);
  a_release.Set();
  ASSERT_EQ(a.process.Wait(kChildWaitMs), 0u);
  claimed = ClaimedChunks(pool, chunk_size);
  ASSERT_EQ(claimed.size(), 1u);
  EXPECT_EQ(std::popcount(claimed[0].second), 1);
  EXPECT_FALSE(OnFreeList(pool, id));
  b_release.Set();
  ASSERT_EQ(b.process.Wait(kChildWaitMs), 0u);
  EXPECT_TRUE(ClaimedChunks(pool, chunk_size).empty());
  EXPECT_TRUE(OnFreeList(pool, id));
}

TEST_F(ChannelProcessTest, AForcedSendOverAnUnreadStoredMessageFreesItsChunk) {
  constexpr std::size_t kSize = 3000;
  const std::size_t chunk_size = transport::chunk_size_for(kSize);
  void* pool = transport::chunk_storages(chunk_size);
  ASSERT_NE(pool, nullptr);
  auto fast = OpenReceiver(name_);
  auto slow = test_support::StartAndAwaitReady("never_pops", {name_});
  ASSERT_TRUE(slow.ready);
  const auto bytes = Pattern(kSize, 1);
  ASSERT_TRUE(transport::try_send(sender_.get(), bytes.data(), bytes.size(), 0));
  ASSERT_TRUE(Matches(transport::recv(fast.get(), 0), bytes));  // released again at once
  auto claimed = ClaimedChunks(pool, chunk_size);
  ASSERT_EQ(claimed.size(), 1u);
  const std::uint32_t id = claimed[0].first;
  for (int i = 1; i < 256; ++i) {
    ASSERT_TRUE(SendText(*sender_, "x", 0));
    ASSERT_FALSE(transport::recv(fast.get(), 0).empty());
  }
  ASSERT_TRUE(transport::send(sender_.get(), "y", 1, 20));
  EXPECT_TRUE(ClaimedChunks(pool, chunk_size).empty());
  EXPECT_TRUE(OnFreeList(pool, id));
  slow.process.Kill();
}

TEST(ChunkStorageProcess, AFreeListMadeACycleByAnotherProcessIsRelinkedWithANotice) {
  const std::size_t chunk_size = transport::chunk_size_for(7000);
  ASSERT_NE(transport::chunk_storages(chunk_size), nullptr);
  { ExhaustedPool prepare(7000); }
  auto child = test_support::SpawnChild("corrupt_pool", {std::to_string(chunk_size)});
  ASSERT_TRUE(child);
  ASSERT_EQ(child->Wait(kChildWaitMs), 0u);
  CapturedReports reports;
  ExhaustedPool all(7000);
  EXPECT_EQ(all.taken(), 28u) << "chunks 4 to 31";
  const auto reports_seen = reports.take();
  ASSERT_EQ(reports_seen.size(), 1u);
  EXPECT_EQ(reports_seen[0].level, 4);
  EXPECT_EQ(reports_seen[0].text, "[id_pool::prepare] invalid free-list detected, rebuild pool.");
}

TEST_F(ChannelProcessTest, ASenderKilledInTheMiddleOfAMessageLeavesTheOthersWorking) {
  auto receiver = OpenReceiver(name_);
  auto child = test_support::SpawnChild("send_long", {name_});
  ASSERT_TRUE(child);
  // The child fills the ring with the first fragments and waits for room.
  ASSERT_TRUE(Eventually([&] { return transport::ring_commit_cursor(*sender_->ring()) == 256; }));
  ASSERT_TRUE(child->Kill());

  const std::vector<std::size_t> sizes = {10, 1000, 100 << 10};
  std::thread sending([&] {
    std::uint32_t seed = 0;
    for (const std::size_t size : sizes) {
      const auto bytes = Pattern(size, ++seed);
      EXPECT_TRUE(transport::try_send(sender_.get(), bytes.data(), bytes.size(), kChildWaitMs));
    }
  });
  std::uint32_t seed = 0;
  for (const std::size_t size : sizes) {
    EXPECT_TRUE(Matches(transport::recv(receiver.get(), kChildWaitMs), Pattern(size, ++seed)))
        << size;
  }
  sending.join();
}

}  // namespace
