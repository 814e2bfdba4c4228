#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "transport/chunk_pool.h"

namespace {

using transport::free_list_state;
using transport::pool_header;

pool_header FreshPool() {
  pool_header pool;
  std::memset(&pool, 0, sizeof pool);
  return pool;
}

TEST(ChunkSize, RoundsHeaderAndMessageUpToWholeKibibytes) {
  const struct {
    std::size_t message;
    std::size_t chunk;
  } cases[] = {{65, 1024},   {1016, 1024},   {1017, 2048}, {2040, 2048},
               {2041, 3072}, {65536, 66560}, {1, 1024}};
  for (const auto& c : cases) EXPECT_EQ(transport::chunk_size_for(c.message), c.chunk) << c.message;
}

TEST(FreeList, AFreshPoolIsLinkedInOrderAndHandsOutEveryChunkOnce) {
  pool_header pool = FreshPool();
  EXPECT_EQ(transport::prepare_free_list(pool), free_list_state::kBuilt);
  for (std::uint8_t i = 0; i < 32; ++i) EXPECT_EQ(transport::take_chunk(pool), i);
  EXPECT_EQ(transport::take_chunk(pool), std::nullopt);
  EXPECT_EQ(transport::prepare_free_list(pool), free_list_state::kValid);

  transport::put_chunk(pool, 7);
  transport::put_chunk(pool, 3);
  EXPECT_EQ(transport::prepare_free_list(pool), free_list_state::kValid);
  EXPECT_EQ(transport::take_chunk(pool), 3);
  EXPECT_EQ(transport::take_chunk(pool), 7);
  EXPECT_EQ(transport::take_chunk(pool), std::nullopt);
}

TEST(FreeList, ABrokenListIsRebuilt) {
  const struct {
    const char* name;
    void (*corrupt)(pool_header&);
    std::uint8_t first_after_rebuild;
  } cases[] = {
      {"cycle", [](pool_header& p) { p.free_list[5] = 2; }, 0},
      {"self link", [](pool_header& p) { p.free_list[0] = 0; }, 0},
      {"link past the end", [](pool_header& p) { p.free_list[9] = 200; }, 0},
      {"cursor past the end", [](pool_header& p) { p.cursor = 77; }, 0},
      {"cursor in range, later link broken",
       [](pool_header& p) {
         p.cursor = 30;
         p.free_list[31] = 30;
       },
       30},
  };
  for (const auto& c : cases) {
    pool_header pool = FreshPool();
    transport::prepare_free_list(pool);
    c.corrupt(pool);
    EXPECT_EQ(transport::prepare_free_list(pool), free_list_state::kRebuilt) << c.name;
    EXPECT_EQ(transport::prepare_free_list(pool), free_list_state::kValid) << c.name;
    std::set<std::uint8_t> handed_out;
    while (const auto id = transport::take_chunk(pool)) {
      ASSERT_LT(*id, 32) << c.name;
      ASSERT_TRUE(handed_out.insert(*id).second) << c.name;
    }
    EXPECT_EQ(*handed_out.begin(), c.first_after_rebuild) << c.name;
    EXPECT_EQ(handed_out.size(), 32u - c.first_after_rebuild) << c.name;
  }
}

TEST(FreeList, NeverIndexesOutsideTheHeaderWhateverItHolds) {
  // Every byte value in the cursor and in one link, unprepared and prepared.
  for (int prepared = 0; prepared < 2; ++prepared) {
    for (int cursor = 0; cursor < 256; ++cursor) {
      pool_header pool = FreshPool();
      std::memset(pool.free_list, 0xFF, sizeof pool.free_list);
      pool.prepared = static_cast<std::uint8_t>(prepared);
      pool.cursor = static_cast<std::uint8_t>(cursor);
      transport::prepare_free_list(pool);
      int taken = 0;
      while (const auto id = transport::take_chunk(pool)) {
        ASSERT_LT(*id, 32);
        ASSERT_LE(++taken, 32);
      }
      transport::put_chunk(pool, static_cast<std::uint8_t>(cursor));
      EXPECT_LE(pool.cursor, 32);
    }
  }
}

}  // namespace
