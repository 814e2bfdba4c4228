#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "channel_test_support.h"
#include "object_test_support.h"
#include "os/named_objects.h"
#include "os/text.h"
#include "transport/limits.h"
#include "transport/message.h"
#include "transport/shm.h"
#include "transport_test_support.h"

namespace {

using channel_test::Eventually;
using channel_test::ExhaustedPool;
using channel_test::Matches;
using channel_test::Open;
using channel_test::OpenReceiver;
using channel_test::Pattern;
using transport::message_record;
using transport_test::CapturedReports;

[[maybe_unused]] auto* const kObjects =
    ::testing::AddGlobalTestEnvironment(new test_support::FreshObjectFolder);

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

class MessageTest : public ::testing::Test {
 protected:
  MessageTest()
      : name_(test_support::UniqueName("msg")),
        sender_(Open(name_)),
        receiver_(OpenReceiver(name_)) {
    sender_->connect_sender();
  }

  // Every record the raw receiver has not popped yet; the chunks of storage records are given
  // back as a receiver would.
  std::vector<message_record> PopRaw(transport::channel& raw) {
    std::vector<message_record> records;
    while (const auto record = raw.pop()) {
      records.push_back(*record);
      if (record->storage == 1) {
        std::int32_t id;
        std::memcpy(&id, record->data, sizeof id);
        transport::recycle_storage(
            {id, transport::ring_connections(*raw.ring()), raw.receiver_bit()},
            static_cast<std::size_t>(record->remain + 64));
      }
    }
    return records;
  }

  std::string name_;
  transport::channel_ptr sender_;
  transport::channel_ptr receiver_;
};

TEST_F(MessageTest, NothingToSendIsRefusedAndQueuesNothing) {
  CapturedReports reports;
  const char data[] = "x";
  EXPECT_FALSE(transport::send(sender_.get(), nullptr, 5, 10));
  EXPECT_FALSE(transport::try_send(sender_.get(), data, 0, 10));
  EXPECT_FALSE(transport::send(sender_.get(), data, transport::kMaxMessageSize + 1, 10));
  EXPECT_FALSE(transport::send(nullptr, data, 1, 10));
  const auto texts = reports.texts();
  ASSERT_EQ(texts.size(), 4u);
  EXPECT_TRUE(StartsWith(texts[0], "fail: send(")) << texts[0];
  EXPECT_TRUE(StartsWith(texts[1], "fail: send(")) << texts[1];
  EXPECT_EQ(texts[3], "fail: send, queue_of(h) == nullptr\n");
  EXPECT_EQ(transport::ring_commit_cursor(*sender_->ring()), 0u);
}

TEST_F(MessageTest, SendingWithoutAReceiverFailsAtOnce) {
  // Preparing a receiver for sending gives its receiver bit up.
  EXPECT_TRUE(receiver_->connect_sender());
  EXPECT_EQ(receiver_->receiver_bit(), 0u);
  CapturedReports reports;
  const char data[] = "hello";
  EXPECT_FALSE(transport::try_send(sender_.get(), data, sizeof data, 60000));
  EXPECT_FALSE(transport::send(sender_.get(), data, sizeof data, 60000));
  EXPECT_EQ(reports.texts(),
            std::vector<std::string>(2, "fail: send, there is no receiver on this connection.\n"));
}

TEST_F(MessageTest, RecvOnAnObjectThatIsNoReceiverReturnsNothingAtOnce) {
  const char data[] = "hello";
  ASSERT_TRUE(transport::send(sender_.get(), data, sizeof data, 100));
  EXPECT_TRUE(transport::recv(sender_.get(), 60000).empty());
}

// How each length travels: the records the ring carries and what the receiver gets.
TEST_F(MessageTest, EachLengthTakesItsPath) {
  auto raw = OpenReceiver(name_);
  const struct {
    std::size_t size;
    bool pool_exhausted;
    std::vector<std::int32_t> remains;  // of the records, in order
    bool stored;
    std::size_t chunk_class;
  } cases[] = {
      {1, false, {-63}, false, 0},
      {63, false, {-1}, false, 0},
      {64, false, {0}, false, 0},
      {65, false, {1}, true, 1024},
      {1016, false, {952}, true, 1024},
      {1017, false, {953}, true, 2048},
      {65536, false, {65472}, true, 66560},
      {65, true, {1, -63}, false, 0},
      {1000,
       true,
       {936, 872, 808, 744, 680, 616, 552, 488, 424, 360, 296, 232, 168, 104, 40, -24},
       false,
       0},
  };
  std::uint32_t seed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.size << (c.pool_exhausted ? " bytes, no chunk" : " bytes"));
    std::optional<ExhaustedPool> exhausted;
    if (c.pool_exhausted) {
      exhausted.emplace(c.size);
      ASSERT_EQ(exhausted->taken(), 32u);
    }
    const auto bytes = Pattern(c.size, ++seed);
    ASSERT_TRUE(transport::try_send(sender_.get(), bytes.data(), bytes.size(), 100));

    const auto records = PopRaw(*raw);
    ASSERT_EQ(records.size(), c.remains.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].remain, c.remains[i]) << i;
      EXPECT_EQ(records[i].storage, c.stored ? 1 : 0);
      EXPECT_EQ(records[i].msg_id, records[0].msg_id);
      EXPECT_EQ(records[i].sender_id, sender_->connection_id());
    }
    const auto received = transport::recv(receiver_.get(), 1000);
    EXPECT_TRUE(Matches(received, bytes));
    EXPECT_EQ(received.is_chunk_view(), c.stored);
    EXPECT_EQ(channel_test::ChunkClassOf(received), c.chunk_class);
  }
}

TEST_F(MessageTest, LongerMessagesThanTheChunksTakeArriveAsFragments) {
  const auto bytes = Pattern(transport::kMaxStoredMessageSize + 1000, 3);
  std::thread sender(
      [&] { EXPECT_TRUE(transport::try_send(sender_.get(), bytes.data(), bytes.size(), 20000)); });
  const auto received = transport::recv(receiver_.get(), 20000);
  sender.join();
  EXPECT_TRUE(Matches(received, bytes));
  EXPECT_FALSE(received.is_chunk_view());
}

TEST_F(MessageTest, AnObjectSkipsItsOwnMessagesButASecondObjectGetsThem) {
  auto both = OpenReceiver(name_);
  const char data[] = "own";
  ASSERT_TRUE(transport::send(both.get(), data, sizeof data, 100));
  EXPECT_TRUE(transport::recv(both.get(), 0).empty());
  const auto received = transport::recv(receiver_.get(), 1000);
  ASSERT_EQ(received.size(), sizeof data);
  EXPECT_STREQ(reinterpret_cast<const char*>(received.data()), "own");
}

TEST_F(MessageTest, DisconnectFromAnotherThreadEndsABlockedRecv) {
  auto received =
      std::async(std::launch::async, [&] { return transport::recv(receiver_.get(), 600000); });
  ASSERT_TRUE(Eventually([&] { return receiver_->read_waiter().condition().waiting() == 1; }));
  receiver_->disconnect();
  ASSERT_EQ(received.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(received.get().empty());
}

TEST_F(MessageTest, ASendCutShortByDisconnectReportsFailure) {
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(transport::try_send(sender_.get(), "x", 1, 0));
  auto sent = std::async(std::launch::async,
                         [&] { return transport::send(sender_.get(), "y", 1, 600000); });
  ASSERT_TRUE(Eventually([&] { return sender_->write_waiter().condition().waiting() == 1; }));
  sender_->disconnect();
  ASSERT_EQ(sent.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(sent.get()) << "the record was never queued";
}

TEST_F(MessageTest, AReceiverConnectingDuringAFragmentedMessageNeverGetsItsTail) {
  ExhaustedPool exhausted(200);
  std::uint32_t* counter = sender_->message_counter();
  ASSERT_NE(counter, nullptr);
  // A 200-byte message in fragments, of which the first goes by before `late` connects.
  const auto bytes = Pattern(200, 9);
  message_record record{};
  record.sender_id = sender_->connection_id();
  record.msg_id = std::atomic_ref<std::uint32_t>(*counter).fetch_add(1);
  std::unique_ptr<transport::channel, transport::channel_closer> late;
  for (std::size_t offset = 0; offset < bytes.size(); offset += 64) {
    if (offset == 64) late = OpenReceiver(name_);
    record.remain = static_cast<std::int32_t>(bytes.size() - offset) - 64;
    std::memset(record.data, 0, sizeof record.data);
    std::memcpy(record.data, bytes.data() + offset,
                std::min<std::size_t>(64, bytes.size() - offset));
    ASSERT_TRUE(sender_->push(record));
  }
  const char after[] = "after";
  ASSERT_TRUE(transport::send(sender_.get(), after, sizeof after, 100));
  EXPECT_TRUE(Matches(transport::recv(receiver_.get(), 1000), bytes));
  const auto first = transport::recv(late.get(), 1000);
  EXPECT_EQ(first.size(), sizeof after) << "the tail of the earlier message was skipped";
}

// Records no sender can have made: the receiver reports and drops them, and receives the next
// good message as usual.
TEST_F(MessageTest, RecordsNoSenderCanHaveMadeAreDropped) {
  const auto storage = [](std::int32_t remain, std::int32_t id) {
    message_record r{};
    r.remain = remain;
    r.storage = 1;
    std::memcpy(r.data, &id, sizeof id);
    return r;
  };
  const auto plain = [](std::int32_t remain) {
    message_record r{};
    r.remain = remain;
    return r;
  };
  const struct {
    const char* name;
    std::vector<message_record> records;
  } cases[] = {
      {"2 GiB inline", {plain(0x7FFFFFC0)}},
      {"length wraps to negative", {plain(0x7FFFFFFF)}},
      {"zero length", {plain(-64)}},
      {"storage id past the pool", {storage(936, 40)}},
      {"negative storage id", {storage(936, -1)}},
      {"storage in a pool nobody holds", {storage(9 << 20, 3)}},
      {"storage of 2 GiB", {storage(0x7FFFFFC0, 0)}},
      {"fragments of 16 MiB and one byte", {plain(16 << 20), plain((16 << 20) - 64)}},
      {"fragment offsets that skip", {plain(200), plain(72), plain(-40)}},
  };
  std::uint32_t* counter = sender_->message_counter();
  const char good[] = "good";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint32_t id = std::atomic_ref<std::uint32_t>(*counter).fetch_add(1);
    for (auto record : c.records) {
      record.msg_id = id;
      ASSERT_TRUE(sender_->push(record));
    }
    ASSERT_TRUE(transport::send(sender_.get(), good, sizeof good, 100));
    transport::received_buffer received;
    for (int i = 0; i < 4 && received.empty(); ++i) received = transport::recv(receiver_.get(), 0);
    EXPECT_EQ(received.size(), sizeof good);
  }
  // A record naming a pool that does not exist did not make one.
  EXPECT_FALSE(
      os::FileMapping::Open(
          os::Utf8ToUtf16(transport::shm::segment_name(
              transport::pool_segment_name(transport::chunk_size_for((9 << 20) + 64)), true)))
          .ok());
}

TEST(ChunkStorage, ThreadsOpeningAPoolAtOnceMapItOnce) {
  // 70 KiB chunks: past the sizes senders use, so every lookup goes through the shared table.
  const std::size_t chunk_size = 70 * 1024;
  std::vector<void*> pools(8, nullptr);
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < pools.size(); ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      pools[i] = transport::chunk_storages(chunk_size);
    });
  }
  go.store(true);
  for (auto& thread : threads) thread.join();
  ASSERT_NE(pools[0], nullptr);
  for (void* pool : pools) EXPECT_EQ(pool, pools[0]);
}

TEST(ChunkStorage, IdsOutsideThePoolAreRejected) {
  CapturedReports reports;
  for (const std::int32_t id : {-1, 32, 1000}) {
    EXPECT_EQ(transport::find_storage(id, 100), nullptr);
    transport::recycle_storage({id, 1, 1}, 100);
  }
  for (const auto& text : reports.texts()) {
    EXPECT_TRUE(StartsWith(text, "[find_storage] id is invalid") ||
                StartsWith(text, "[recycle_storage] id is invalid"))
        << text;
  }
}

TEST(Channel, ARingSegmentCreatedTooSmallIsNotUsed) {
  const std::string name = test_support::UniqueName("small");
  transport::shm::handle small;
  ASSERT_TRUE(small.acquire(transport::ring_segment_name(name), 100, false));
  CapturedReports reports;
  auto channel = Open(name);
  EXPECT_EQ(channel->ring(), nullptr);
  EXPECT_FALSE(channel->connect_receiver());
  EXPECT_FALSE(transport::send(channel.get(), "x", 1, 0));
  const auto texts = reports.texts();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "fail: send, queue_of(h)->elems() == nullptr\n");
}

TEST(ChunkStorage, APoolCreatedTooSmallIsNotUsed) {
  const std::size_t chunk = transport::chunk_size_for(20000);
  transport::shm::handle small;
  ASSERT_TRUE(small.acquire(transport::pool_segment_name(chunk), 100, true));
  CapturedReports reports;
  EXPECT_EQ(transport::acquire_storage(20000, 1), std::nullopt);
  EXPECT_EQ(transport::find_storage(0, 20000), nullptr);
}

}  // namespace
