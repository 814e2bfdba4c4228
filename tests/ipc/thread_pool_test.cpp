#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

#include "common/ipc/core/base/thread_pool.h"

namespace ipc {
namespace {

std::atomic<std::int64_t> fake_now_ns{0};
std::int64_t FakeClock() {
  return fake_now_ns.load();
}

TEST(ThreadPool, IdlePoolAnswersAtOnce) {
  ThreadPool pool(4, "decode_pool");
  EXPECT_TRUE(pool.WaitIdle(0));
}

TEST(ThreadPool, WaitIdleRunsOutWhileATaskIsBusy) {
  ThreadPool pool(2, "handler_pool");
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  pool.Post([opened] { opened.wait(); }, "t");
  EXPECT_FALSE(pool.WaitIdle(30));
  gate.set_value();
  EXPECT_TRUE(pool.WaitIdle(60'000));
}

TEST(ThreadPool, StuckThreadsListsWorkersBusyLongerThanTheThreshold) {
  fake_now_ns = 1'000'000'000;
  ThreadPool pool(3, "query_pool", &FakeClock);
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> started{0};
  pool.Post(
      [&, opened] {
        ++started;
        opened.wait();
      },
      "msg_id=20001,id=ABC");
  while (started.load() < 1) std::this_thread::yield();
  fake_now_ns = 1'000'000'000 + 10'000'000;  // a second task starts 10 ms later
  pool.Post([&, opened] {
    ++started;
    opened.wait();
  });
  while (started.load() < 2) std::this_thread::yield();

  fake_now_ns = 1'000'000'000 + 5'000'000'000;
  EXPECT_TRUE(pool.StuckThreads().empty());
  fake_now_ns = 1'000'000'000 + 5'001'000'000;
  const auto one = pool.StuckThreads();
  ASSERT_EQ(one.size(), 1u);
  EXPECT_TRUE(one[0].starts_with("[query_pool] thread#")) << one[0];
  EXPECT_TRUE(one[0].ends_with(" stuck for 5001ms tag=[msg_id=20001,id=ABC]")) << one[0];
  fake_now_ns = 1'000'000'000 + 6'011'000'000;
  const auto two = pool.StuckThreads();
  ASSERT_EQ(two.size(), 2u);
  // The task posted without a tag is listed with an empty one.
  const std::string& untagged = two[0].find("ABC") == std::string::npos ? two[0] : two[1];
  EXPECT_TRUE(untagged.ends_with(" stuck for 6001ms tag=[]")) << untagged;
  gate.set_value();
}

TEST(ThreadPool, DestructionRunsEveryQueuedTask) {
  std::atomic<int> ran{0};
  auto pool = std::make_unique<ThreadPool>(1, "decode_pool");
  ThreadPool* raw = pool.get();
  // The one worker holds on until destruction has begun (WaitIdle gives way to stopping), so the
  // 100 tasks are all still queued when the destructor starts.
  pool->Post([raw] { raw->WaitIdle(0xFFFFFFFF); });
  for (int i = 0; i < 100; ++i) pool->Post([&ran] { ++ran; });
  pool.reset();
  EXPECT_EQ(ran.load(), 100);
}

}  // namespace
}  // namespace ipc
