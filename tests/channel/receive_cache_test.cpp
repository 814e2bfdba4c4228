#include <gtest/gtest.h>

#include "transport/receive_cache.h"

namespace {

using transport::receive_cache;

const int kChannelA = 0;
const int kChannelB = 1;

TEST(ReceiveCache, KeepsMessagesApartByChannelAndId) {
  receive_cache cache;
  auto* a = cache.start(&kChannelA, 5, 100);
  auto* b = cache.start(&kChannelB, 5, 200);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(cache.find(&kChannelA, 5), a);
  EXPECT_EQ(cache.find(&kChannelB, 5)->size, 200u);
  EXPECT_EQ(cache.find(&kChannelA, 6), nullptr);
  EXPECT_EQ(cache.bytes(), 300u);
  a->bytes[0] = 42;
  const auto bytes = cache.take(&kChannelA, 5);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes[0], 42);
  EXPECT_EQ(cache.find(&kChannelA, 5), nullptr);
  EXPECT_EQ(cache.bytes(), 200u);
  cache.forget(&kChannelB);
  EXPECT_EQ(cache.entries(), 0u);
  EXPECT_EQ(cache.bytes(), 0u);
}

TEST(ReceiveCache, RefusesLengthsNoSenderCanHaveSent) {
  receive_cache cache;
  EXPECT_EQ(cache.start(&kChannelA, 1, receive_cache::kMaxMessageSize + 1), nullptr);
  EXPECT_EQ(cache.start(&kChannelA, 1, std::size_t{2} << 30), nullptr);
  EXPECT_EQ(cache.start(&kChannelA, 1, 0), nullptr);
  EXPECT_NE(cache.start(&kChannelA, 1, receive_cache::kMaxMessageSize), nullptr);
}

TEST(ReceiveCache, AboveItsLimitDropsMessagesFarFromTheNewOne) {
  receive_cache cache;
  // 1025 stale entries around id 0, then a message far away: the stale ones of this channel go,
  // the near ones and those of the other channel stay.
  for (std::uint32_t id = 0; id < 1020; ++id) ASSERT_NE(cache.start(&kChannelA, id, 65), nullptr);
  for (std::uint32_t id = 0; id < 5; ++id) ASSERT_NE(cache.start(&kChannelB, id, 65), nullptr);
  ASSERT_NE(cache.start(&kChannelA, 20000, 65), nullptr);
  ASSERT_NE(cache.start(&kChannelA, 20000 - 8192, 65), nullptr);
  EXPECT_EQ(cache.entries(), 7u);
  EXPECT_NE(cache.find(&kChannelA, 20000), nullptr);
  EXPECT_NE(cache.find(&kChannelB, 4), nullptr);
  EXPECT_EQ(cache.find(&kChannelA, 0), nullptr);
}

TEST(ReceiveCache, MessageIdsWrapAround) {
  receive_cache cache;
  for (std::uint32_t i = 0; i < 1100; ++i)
    ASSERT_NE(cache.start(&kChannelA, 0u - 1 - i, 65), nullptr);
  ASSERT_NE(cache.start(&kChannelA, 5, 65), nullptr);
  EXPECT_EQ(cache.entries(), 1101u) << "ids just below 2^32 are near id 5";
}

TEST(ReceiveCache, HoldsAtMostItsByteAndEntryBudgets) {
  receive_cache cache;
  constexpr std::size_t kBig = receive_cache::kMaxMessageSize;
  for (std::uint32_t id = 0; id < 5; ++id) ASSERT_NE(cache.start(&kChannelA, id, kBig), nullptr);
  EXPECT_LE(cache.bytes(), receive_cache::kMaxBytes);
  EXPECT_EQ(cache.find(&kChannelA, 0), nullptr) << "the oldest went first";
  EXPECT_NE(cache.find(&kChannelA, 4), nullptr);

  receive_cache small;
  for (std::uint32_t id = 0; id < receive_cache::kMaxEntries + 10; ++id) {
    ASSERT_NE(small.start(&kChannelA, id, 65), nullptr);
  }
  EXPECT_EQ(small.entries(), receive_cache::kMaxEntries);
  EXPECT_EQ(small.find(&kChannelA, 9), nullptr);
  EXPECT_NE(small.find(&kChannelA, 10), nullptr);
}

}  // namespace
