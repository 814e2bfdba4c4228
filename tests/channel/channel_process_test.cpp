// Channels between real processes: the test program re-runs itself as senders and receivers.

#include <gtest/gtest.h>

#include <atomic>
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

// Sends Pattern(<size>, 1) and ends, as a sender that has done its one job, once its receivers
// have released the message; sets <waiting> when it starts to wait for that. Exit code 3 when
// they did not within kChildWaitMs.
VELMORA_TEST_CHILD(send_and_exit) {
  test_support::AnnouncingClock::event = arguments.at(2);
  transport::set_storage_clock(&test_support::AnnouncingClock::Read);
  auto channel = Open(arguments.at(0));
  const auto bytes = Pattern(std::stoul(arguments.at(1)), 1);
  if (!transport::try_send(channel.get(), bytes.data(), bytes.size(), kChildWaitMs)) return 2;
  test_support::AnnouncingClock::armed = true;
  return transport::await_storage_release(kChildWaitMs) ? 0 : 3;
}

std::atomic<std::int64_t> stepping_clock_ns{0};
std::int64_t SteppingClock() {
  return stepping_clock_ns.fetch_add(500'000'000);  // half a second per reading
}

// A sender's wait for its receivers, on a clock that moves half a second per reading and, with
// the message sent, starts at 0 then. Arguments: a channel name, then what is done before the
// wait: "nothing-sent"; "no-receiver" (the send fails); "read" (a receiver takes the message and
// releases it); "unread" (a receiver is connected but never reads); "unread-long-ago" (the same,
// but 3 s ago). Exit code: 1 when nothing was given up, plus twice the time of the clock's last
// reading in tenths of a second; 90 and above when the set-up failed.
VELMORA_TEST_CHILD(await_release) {
  transport::set_storage_clock(&SteppingClock);
  const std::string& mode = arguments.at(1);
  auto sender = Open(arguments.at(0));
  sender->connect_sender();
  transport::channel_ptr receiver;
  if (mode != "no-receiver") receiver = OpenReceiver(arguments.at(0));
  const auto bytes = Pattern(5000, 1);
  if (mode != "nothing-sent") {
    const bool sent = transport::try_send(sender.get(), bytes.data(), bytes.size(), 0);
    if (sent != (mode != "no-receiver")) return 90;
  }
  if (mode == "read" && !Matches(transport::recv(receiver.get(), 0), bytes)) return 91;
  if (mode == "unread-long-ago") stepping_clock_ns += 2'500'000'000;
  CapturedReports reports;
  const bool released = transport::await_storage_release(2000);
  const auto texts = reports.texts();
  if (released != texts.empty()) return 92;
  if (!released &&
      texts[0] != "[await_storage_release] 1 chunks still claimed 2000 ms after they were sent\n") {
    return 93;
  }
  const std::int64_t next = stepping_clock_ns.load();
  const std::int64_t last_tenths = next == 0 ? 0 : (next - 500'000'000) / 100'000'000;
  return static_cast<int>((released ? 1 : 0) + 2 * last_tenths);
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

// The receiver takes its messages only once the sender is done: exited, or waiting for its
// receivers. It has never mapped the pool of this chunk size (13312 bytes, used by no other test
// here): only the sender held it.
TEST_F(ChannelProcessTest, ALongMessageOutlivesASenderThatEndsRightAfterSendingIt) {
  constexpr std::size_t kSize = 12345;
  auto receiver = OpenReceiver(name_);
  Signal waiting;
  auto child =
      test_support::SpawnChild("send_and_exit", {name_, std::to_string(kSize), waiting.name});
  ASSERT_TRUE(child);
  ASSERT_TRUE(test_support::AwaitExitOrEvent(*child, waiting.event));
  auto received = transport::recv(receiver.get(), 0);
  EXPECT_TRUE(received.is_chunk_view());
  EXPECT_TRUE(Matches(received, Pattern(kSize, 1))) << "received " << received.size() << " bytes";
  received.reset();
  EXPECT_EQ(child->Wait(kChildWaitMs), 0u);
}

TEST(ChunkRelease, ASenderWaitsOnlyForUnreadChunksAndNoLongerThanItsBound) {
  const struct {
    const char* mode;
    std::uint32_t exit_code;
  } cases[] = {
      {"nothing-sent", 1},      // nothing given up, the clock never read
      {"no-receiver", 1},       // the same: the send failed before taking a chunk
      {"read", 1},              // the clock read once: the grant, at 0
      {"unread", 40},           // given up when the clock read 2 s after the grant
      {"unread-long-ago", 60},  // given up at the first look, 3 s after the grant
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    auto child =
        test_support::SpawnChild("await_release", {test_support::UniqueName("rel"), c.mode});
    ASSERT_TRUE(child);
    EXPECT_EQ(child->Wait(kChildWaitMs), c.exit_code);
  }
}

TEST_F(ChannelProcessTest, ASenderKilledInTheMiddleOfAMessageLeavesTheOthersWorking) {
  auto receiver = OpenReceiver(name_);
  auto child = test_support::SpawnChild("send_long", {name_});
  ASSERT_TRUE(child);
  // The child fills the ring with the first fragments and waits for room. It is killed only once
  // its last record is complete: the cursor moves before the record is written, and a sender
  // that dies in between leaves a slot that no receiver can get past.
  ASSERT_TRUE(Eventually([&] {
    transport::ring_segment& ring = *sender_->ring();
    return transport::ring_commit_cursor(ring) == transport::kRingSlotCount &&
           std::atomic_ref<std::uint64_t>(ring.slots[transport::kRingSlotCount - 1].commit)
                   .load() == transport::committed_flag(transport::kRingSlotCount - 1);
  }));
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
