#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "transport/ring.h"

namespace {

using transport::message_record;
using transport::ring_segment;

std::unique_ptr<ring_segment> NewRing() {
  auto ring = std::make_unique<ring_segment>();
  std::memset(ring.get(), 0, sizeof(ring_segment));
  transport::ring_initialise(*ring);
  return ring;
}

message_record Record(std::uint32_t id, std::uint8_t storage = 0) {
  message_record record{};
  record.msg_id = id;
  record.remain = -60;
  record.storage = storage;
  std::memcpy(record.data, &id, sizeof id);
  return record;
}

struct Receiver {
  std::uint32_t bit = 0;
  std::uint32_t cursor = 0;

  static Receiver Connect(ring_segment& ring) {
    Receiver r;
    r.bit = transport::ring_claim_receiver(ring);
    r.cursor = transport::ring_commit_cursor(ring);
    return r;
  }
  std::optional<std::uint32_t> Pop(ring_segment& ring) {
    const auto record = transport::ring_pop(ring, bit, cursor);
    if (!record) return std::nullopt;
    return record->msg_id;
  }
};

TEST(Ring, NothingIsPushedWithoutAReceiver) {
  auto ring = NewRing();
  EXPECT_FALSE(transport::ring_push(*ring, Record(1)));
  EXPECT_FALSE(transport::ring_force_push(*ring, Record(1), nullptr));
  EXPECT_EQ(transport::ring_commit_cursor(*ring), 0u);
}

TEST(Ring, AReceiverThatConnectsLateSeesOnlyNewerRecords) {
  auto ring = NewRing();
  Receiver early = Receiver::Connect(*ring);
  ASSERT_TRUE(transport::ring_push(*ring, Record(1)));
  Receiver late = Receiver::Connect(*ring);
  ASSERT_TRUE(transport::ring_push(*ring, Record(2)));
  EXPECT_EQ(late.Pop(*ring), 2u);
  EXPECT_EQ(late.Pop(*ring), std::nullopt);
  EXPECT_EQ(early.Pop(*ring), 1u);
  EXPECT_EQ(early.Pop(*ring), 2u);
  EXPECT_EQ(early.Pop(*ring), std::nullopt);
}

TEST(Ring, TwoReceiversEachReadEveryRecordAndTheSlotIsFreedAfterBoth) {
  auto ring = NewRing();
  Receiver a = Receiver::Connect(*ring);
  Receiver b = Receiver::Connect(*ring);
  EXPECT_NE(a.bit, b.bit);
  for (std::uint32_t i = 0; i < 256; ++i) ASSERT_TRUE(transport::ring_push(*ring, Record(i)));
  for (std::uint32_t i = 0; i < 256; ++i) ASSERT_EQ(a.Pop(*ring), i);
  EXPECT_FALSE(transport::ring_push(*ring, Record(256))) << "b has not read slot 0";
  ASSERT_EQ(b.Pop(*ring), 0u);
  EXPECT_TRUE(transport::ring_push(*ring, Record(256)));
  EXPECT_FALSE(transport::ring_push(*ring, Record(257)));
  for (std::uint32_t i = 1; i < 257; ++i) ASSERT_EQ(b.Pop(*ring), i);
  EXPECT_EQ(a.Pop(*ring), 256u);
}

TEST(Ring, ThirtyTwoReceiversAtMost) {
  auto ring = NewRing();
  std::uint32_t all = 0;
  for (int i = 0; i < 32; ++i) {
    const std::uint32_t bit = transport::ring_claim_receiver(*ring);
    ASSERT_NE(bit, 0u);
    EXPECT_EQ(all & bit, 0u);
    all |= bit;
  }
  EXPECT_EQ(all, 0xFFFFFFFFu);
  EXPECT_EQ(transport::ring_claim_receiver(*ring), 0u);
  transport::ring_release_receiver(*ring, 1u << 7);
  EXPECT_EQ(transport::ring_claim_receiver(*ring), 1u << 7) << "the lowest free bit is reused";
}

TEST(Ring, AForcedPushPastTheOnlyReceiverDropsItAndFails) {
  auto ring = NewRing();
  Receiver::Connect(*ring);
  for (std::uint32_t i = 0; i < 256; ++i) ASSERT_TRUE(transport::ring_push(*ring, Record(i)));
  EXPECT_FALSE(transport::ring_push(*ring, Record(256)));
  EXPECT_FALSE(transport::ring_force_push(*ring, Record(256), nullptr));
  EXPECT_EQ(transport::ring_connections(*ring), 0u);
}

TEST(Ring, AForcedPushDropsOnlyTheReceiverThatFellBehind) {
  auto ring = NewRing();
  Receiver fast = Receiver::Connect(*ring);
  Receiver slow = Receiver::Connect(*ring);
  for (std::uint32_t i = 0; i < 256; ++i) {
    ASSERT_TRUE(transport::ring_push(*ring, Record(i)));
    ASSERT_EQ(fast.Pop(*ring), i);
  }
  EXPECT_FALSE(transport::ring_push(*ring, Record(256)));
  EXPECT_TRUE(transport::ring_force_push(*ring, Record(256), nullptr));
  EXPECT_EQ(transport::ring_connections(*ring), fast.bit);
  EXPECT_NE(fast.bit, slow.bit);
  EXPECT_EQ(fast.Pop(*ring), 256u);
  // Later pushes no longer wait for the dropped receiver.
  for (std::uint32_t i = 257; i < 600; ++i) {
    ASSERT_TRUE(transport::ring_push(*ring, Record(i)));
    ASSERT_EQ(fast.Pop(*ring), i);
  }
}

struct Overwritten {
  static inline std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;
  static void Hook(const message_record& record, std::uint32_t unread) {
    seen.emplace_back(record.msg_id, unread);
  }
};

TEST(Ring, AForcedPushHandsTheOverwrittenStorageRecordAndItsUnreadReceiversOn) {
  Overwritten::seen.clear();
  auto ring = NewRing();
  Receiver fast = Receiver::Connect(*ring);
  Receiver slow = Receiver::Connect(*ring);
  ASSERT_TRUE(transport::ring_push(*ring, Record(0, 1)));
  for (std::uint32_t i = 1; i < 256; ++i) ASSERT_TRUE(transport::ring_push(*ring, Record(i)));
  while (fast.Pop(*ring)) {
  }
  ASSERT_TRUE(transport::ring_force_push(*ring, Record(256), &Overwritten::Hook));
  ASSERT_EQ(Overwritten::seen.size(), 1u);
  EXPECT_EQ(Overwritten::seen[0].first, 0u);
  EXPECT_EQ(Overwritten::seen[0].second, slow.bit);
}

TEST(Ring, ARecordReadByEveryoneIsNotReportedAsOverwritten) {
  Overwritten::seen.clear();
  auto ring = NewRing();
  Receiver fast = Receiver::Connect(*ring);
  Receiver slow = Receiver::Connect(*ring);
  ASSERT_TRUE(transport::ring_push(*ring, Record(0, 1)));
  ASSERT_EQ(fast.Pop(*ring), 0u);
  ASSERT_EQ(slow.Pop(*ring), 0u);
  for (std::uint32_t i = 1; i < 256; ++i) ASSERT_TRUE(transport::ring_push(*ring, Record(i)));
  // The slot of record 0 is free, so the forced push finds nothing unread in it.
  ASSERT_TRUE(transport::ring_force_push(*ring, Record(256), &Overwritten::Hook));
  ASSERT_EQ(Overwritten::seen.size(), 1u);
  EXPECT_EQ(Overwritten::seen[0].second, 0u);
}

TEST(Ring, ABitGivenUpWithUnreadRecordsDoesNotHoldBackItsNextHolder) {
  auto ring = NewRing();
  Receiver keeper = Receiver::Connect(*ring);
  Receiver leaver = Receiver::Connect(*ring);
  for (std::uint32_t i = 0; i < 10; ++i) ASSERT_TRUE(transport::ring_push(*ring, Record(i)));
  transport::ring_release_receiver(*ring, leaver.bit);

  Receiver next = Receiver::Connect(*ring);
  ASSERT_EQ(next.bit, leaver.bit);
  transport::ring_forget_stale_reads(*ring, next.bit, next.cursor);
  for (std::uint32_t i = 10; i < 600; ++i) {
    ASSERT_TRUE(transport::ring_push(*ring, Record(i))) << i;
    ASSERT_EQ(next.Pop(*ring), i);
    while (keeper.Pop(*ring)) {
    }
  }
  EXPECT_EQ(transport::ring_connections(*ring), keeper.bit | next.bit);
}

TEST(Ring, ConcurrentSendersAndReceiversLoseNothing) {
  auto ring = NewRing();
  constexpr std::uint32_t kSenders = 3;
  constexpr std::uint32_t kPerSender = 20000;
  std::vector<Receiver> receivers{Receiver::Connect(*ring), Receiver::Connect(*ring)};
  std::vector<std::vector<std::uint32_t>> next(receivers.size(),
                                               std::vector<std::uint32_t>(kSenders, 0));
  std::vector<std::thread> threads;
  for (std::size_t r = 0; r < receivers.size(); ++r) {
    threads.emplace_back([&, r] {
      std::uint32_t got = 0;
      while (got < kSenders * kPerSender) {
        const auto record = transport::ring_pop(*ring, receivers[r].bit, receivers[r].cursor);
        if (!record) {
          std::this_thread::yield();
          continue;
        }
        // Each sender's records arrive in its order, none twice, none missing.
        ASSERT_LT(record->sender_id, kSenders);
        ASSERT_EQ(record->msg_id, next[r][record->sender_id]++);
        ++got;
      }
    });
  }
  for (std::uint32_t s = 0; s < kSenders; ++s) {
    threads.emplace_back([&, s] {
      for (std::uint32_t i = 0; i < kPerSender; ++i) {
        message_record record = Record(i);
        record.sender_id = s;
        while (!transport::ring_push(*ring, record)) std::this_thread::yield();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& per_receiver : next) {
    for (const auto count : per_receiver) EXPECT_EQ(count, kPerSender);
  }
}

}  // namespace
