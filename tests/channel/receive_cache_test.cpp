#include <gtest/gtest.h>

#include "transport/receive_cache.h"

namespace {

using transport::receive_cache;

TEST(ReceiveCache, HoldsMessagesByIdAndCountsTheirBytes) {
  receive_cache cache;
  auto* a = cache.start(5, 100);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(cache.start(6, 200), nullptr);
  EXPECT_EQ(cache.find(5), a);
  EXPECT_EQ(cache.find(7), nullptr);
  EXPECT_EQ(cache.bytes(), 300u);
  a->bytes[0] = 42;
  const auto bytes = cache.take(5);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(bytes[0], 42);
  EXPECT_EQ(cache.find(5), nullptr);
  EXPECT_EQ(cache.bytes(), 200u);

  cache.mark_broken(*cache.find(6));
  EXPECT_EQ(cache.bytes(), 0u) << "a broken message keeps no bytes";
  EXPECT_NE(cache.find(6), nullptr) << "but stays until its last fragment";
  EXPECT_EQ(cache.take(6), nullptr);
  EXPECT_EQ(cache.entries(), 0u);
}

TEST(ReceiveCache, RefusesLengthsNoSenderCanHaveSent) {
  receive_cache cache;
  EXPECT_EQ(cache.start(1, receive_cache::kMaxMessageSize + 1), nullptr);
  EXPECT_EQ(cache.start(1, std::size_t{2} << 30), nullptr);
  EXPECT_EQ(cache.start(1, 0), nullptr);
  EXPECT_EQ(cache.entries(), 0u);
  EXPECT_NE(cache.start(1, receive_cache::kMaxMessageSize), nullptr);
}

TEST(ReceiveCache, AboveItsLimitDropsMessagesFarFromTheNewOne) {
  receive_cache cache;
  for (std::uint32_t id = 0; id < 1025; ++id) ASSERT_NE(cache.start(id, 65), nullptr);
  ASSERT_NE(cache.start(20000, 65), nullptr);
  EXPECT_EQ(cache.entries(), 1u) << "every id more than 8192 away went";
  for (std::uint32_t id = 0; id < 1025; ++id)
    ASSERT_NE(cache.start(20001 - 8192 + id, 65), nullptr);
  ASSERT_NE(cache.start(20001, 65), nullptr);
  EXPECT_EQ(cache.entries(), 1027u) << "ids within 8192 stay";
}

TEST(ReceiveCache, MessageIdsWrapAround) {
  receive_cache cache;
  for (std::uint32_t i = 0; i < 1100; ++i) ASSERT_NE(cache.start(0u - 1 - i, 65), nullptr);
  ASSERT_NE(cache.start(5, 65), nullptr);
  EXPECT_EQ(cache.entries(), 1101u) << "ids just below 2^32 are near id 5";
}

TEST(ReceiveCache, HoldsAtMostItsByteAndEntryBudgets) {
  receive_cache cache;
  constexpr std::size_t kBig = receive_cache::kMaxMessageSize;
  for (std::uint32_t id = 0; id < 5; ++id) ASSERT_NE(cache.start(id, kBig), nullptr);
  EXPECT_LE(cache.bytes(), receive_cache::kMaxBytes);
  EXPECT_EQ(cache.find(0), nullptr) << "the oldest went first";
  EXPECT_NE(cache.find(4), nullptr);

  receive_cache small;
  for (std::uint32_t id = 0; id < receive_cache::kMaxEntries + 10; ++id) {
    ASSERT_NE(small.start(id, 65), nullptr);
  }
  EXPECT_EQ(small.entries(), receive_cache::kMaxEntries);
  EXPECT_EQ(small.find(9), nullptr);
  EXPECT_NE(small.find(10), nullptr);
}

}  // namespace
