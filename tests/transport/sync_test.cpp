#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "object_test_support.h"
#include "os/named_objects.h"
#include "os/text.h"
#include "transport/backoff.h"
#include "transport/shm.h"
#include "transport/sync.h"
#include "transport_test_support.h"

namespace {

using test_support::kChildWaitMs;
using transport_test::CapturedReports;
using transport_test::CountedScheduler;

std::uint32_t Flag(const transport::shm::handle& segment) {
  return std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(segment.get())).load();
}

void SetFlag(const transport::shm::handle& segment, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(*static_cast<std::uint32_t*>(segment.get())).store(value);
}

// Yields until `done` holds or a generous deadline passes; for states another thread or
// process reaches without telling anyone.
template <typename Done>
bool Eventually(Done&& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// --- children ------------------------------------------------------------------------------

VELMORA_TEST_CHILD(hold_transport_mutex) {
  transport::named_mutex mutex;
  if (!mutex.open(arguments.at(1)) || !mutex.lock()) return 1;
  if (!test_support::SetReady(arguments.at(0))) return 2;
  test_support::Park();
}

// Waits once on the local condition <name> under the mutex <mutex>: 0 when broadcast to.
VELMORA_TEST_CHILD(condition_wait) {
  transport::named_condition condition;
  transport::named_mutex mutex;
  if (!condition.open(arguments.at(1), false) || !mutex.open(arguments.at(2))) return 2;
  if (!mutex.lock() || !test_support::SetReady(arguments.at(0))) return 3;
  const bool woken = condition.wait(mutex, kChildWaitMs);
  mutex.unlock();
  return woken ? 0 : 1;
}

// Waits on the local waiter <name> until the local segment <flag> is set: 0 when it was.
VELMORA_TEST_CHILD(waiter_wait) {
  transport::waiter waiter;
  waiter.set_global(false);
  transport::shm::handle flag;
  if (!waiter.open(arguments.at(1)) || !flag.acquire(arguments.at(2), 4, false)) return 2;
  if (!test_support::SetReady(arguments.at(0))) return 3;
  const bool done = waiter.wait_while([&] { return Flag(flag) == 0; }, kChildWaitMs);
  return done && Flag(flag) != 0 ? 0 : 1;
}

// Adds <count> to the counter behind the spin lock in the local segment <name>.
VELMORA_TEST_CHILD(spin_add) {
  transport::shm::handle segment;
  if (!segment.acquire(arguments.at(0), 8, false)) return 2;
  auto* lock = static_cast<transport::spin_lock*>(segment.get());
  auto* counter = static_cast<std::uint32_t*>(segment.get()) + 1;
  for (int i = std::stoi(arguments.at(1)); i > 0; --i) {
    lock->lock();
    *counter += 1;
    lock->unlock();
  }
  return 0;
}

// --- back-off and spin lock ----------------------------------------------------------------

TEST(BackOff, RetriesThenPausesThenYieldsThenSleeps) {
  CountedScheduler scheduler;
  const struct {
    int steps;  // total steps taken so far
    std::uint32_t k;
    int pauses, yields, sleeps;
  } stages[] = {
      {4, 4, 0, 0, 0},
      {16, 16, 12, 0, 0},
      {32, 32, 12, 16, 0},
      {40, 32, 12, 16, 8},
  };
  std::uint32_t k = 0;
  int steps = 0;
  for (const auto& stage : stages) {
    for (; steps < stage.steps; ++steps) transport::back_off(k);
    EXPECT_EQ(k, stage.k) << stage.steps;
    EXPECT_EQ(scheduler.counts().pauses, stage.pauses) << stage.steps;
    EXPECT_EQ(scheduler.counts().yields, stage.yields) << stage.steps;
    EXPECT_EQ(scheduler.counts().sleeps, stage.sleeps) << stage.steps;
  }
}

TEST(SpinLock, ExcludesThreadsAndProcessesSharingIt) {
  const std::string name = test_support::UniqueName("spin");
  transport::shm::handle segment;
  ASSERT_TRUE(segment.acquire(name, 8, false));
  auto* lock = static_cast<transport::spin_lock*>(segment.get());
  auto* counter = static_cast<std::uint32_t*>(segment.get()) + 1;
  constexpr int kEach = 20'000;

  auto child = test_support::SpawnChild("spin_add", {name, std::to_string(kEach)});
  ASSERT_TRUE(child);
  std::thread thread([&] {
    for (int i = 0; i < kEach; ++i) {
      lock->lock();
      *counter += 1;
      lock->unlock();
    }
  });
  for (int i = 0; i < kEach; ++i) {
    lock->lock();
    *counter += 1;
    lock->unlock();
  }
  thread.join();
  EXPECT_EQ(child->Wait(kChildWaitMs), 0u);
  lock->lock();
  EXPECT_EQ(*counter, 3u * kEach);
  lock->unlock();
  EXPECT_EQ(lock->word, 0u);
}

// --- mutex and semaphore -------------------------------------------------------------------

TEST(TransportMutex, AProcessKilledHoldingItDoesNotBlockTheOthers) {
  CapturedReports reports;
  const std::string name = test_support::UniqueLocalName("tm");
  transport::named_mutex mutex;
  ASSERT_TRUE(mutex.open(name));
  auto child = test_support::StartAndAwaitReady("hold_transport_mutex", {name});
  ASSERT_TRUE(child.ready);
  ASSERT_TRUE(child.process.Kill());

  ASSERT_TRUE(mutex.lock());
  ASSERT_TRUE(mutex.unlock());
  const auto reported = reports.take();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0].level, transport::log::kNotice);
  EXPECT_EQ(reported[0].text.rfind("fail WaitForSingleObject[", 0), 0u) << reported[0].text;
  EXPECT_TRUE(reported[0].text.ends_with("]: WAIT_ABANDONED, try again.\n")) << reported[0].text;

  ASSERT_TRUE(mutex.lock()) << "later locks are ordinary";
  ASSERT_TRUE(mutex.unlock());
  EXPECT_TRUE(reports.take().empty());
}

TEST(TransportMutex, FailuresAreReportedWithTheirErrors) {
  CapturedReports reports;
  transport::named_mutex mutex;
  ASSERT_TRUE(mutex.open(test_support::UniqueLocalName("tm")));
  EXPECT_FALSE(mutex.unlock());

  transport::named_semaphore semaphore;
  ASSERT_TRUE(semaphore.open(test_support::UniqueLocalName("ts")));
  EXPECT_TRUE(semaphore.post(transport::named_semaphore::kMaximum));
  EXPECT_FALSE(semaphore.post(1));

  transport::named_mutex closed;
  EXPECT_FALSE(closed.lock());

  const auto texts = reports.texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "fail ReleaseMutex[288]\n");
  EXPECT_EQ(texts[1], "fail ReleaseSemaphore[298]\n");
  EXPECT_EQ(texts[2], "fail WaitForSingleObject[6]: 0xFFFFFFFF\n");
}

// --- condition -----------------------------------------------------------------------------

class ConditionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = test_support::UniqueName("cond");
    ASSERT_TRUE(condition_.open(name_, false));
    ASSERT_TRUE(mutex_.open(test_support::UniqueLocalName("user")));
  }

  bool SemaphoreHasPosts() {
    auto semaphore = os::NamedSemaphore::Open(os::Utf8ToUtf16("Local\\_cond_sem_" + name_));
    return semaphore.ok() && semaphore.object.Wait(0).signaled();
  }

  std::string name_;
  transport::named_condition condition_;
  transport::named_mutex mutex_;
};

TEST_F(ConditionTest, ABroadcastWithoutWaitersPostsNothing) {
  EXPECT_TRUE(condition_.broadcast());
  EXPECT_EQ(condition_.waiting(), 0);
  EXPECT_FALSE(SemaphoreHasPosts());
}

TEST_F(ConditionTest, AWaiterThatTimesOutLeavesTheCountAndHoldsTheMutexAgain) {
  ASSERT_TRUE(mutex_.lock());
  EXPECT_FALSE(condition_.wait(mutex_, 10));
  EXPECT_EQ(condition_.waiting(), 0);
  EXPECT_TRUE(mutex_.unlock()) << "the mutex is the caller's again";
  EXPECT_FALSE(SemaphoreHasPosts());
}

TEST_F(ConditionTest, ANegativeCountIsRepairedByTheNextWaiter) {
  transport::shm::handle count;
  ASSERT_TRUE(count.acquire("_cond_shm_" + name_, 4, false));
  const std::int32_t negative = -5;
  std::memcpy(count.get(), &negative, sizeof(negative));
  ASSERT_EQ(condition_.waiting(), -5);

  ASSERT_TRUE(mutex_.lock());
  EXPECT_FALSE(condition_.wait(mutex_, 10));
  EXPECT_TRUE(mutex_.unlock());
  EXPECT_EQ(condition_.waiting(), 0) << "taken as 1 on entry, back to 0 after the time-out";
}

TEST_F(ConditionTest, ABroadcastWakesAWaiterInAnotherProcess) {
  const std::string user_mutex = test_support::UniqueLocalName("xuser");
  transport::named_mutex shared;
  ASSERT_TRUE(shared.open(user_mutex));
  auto child = test_support::StartAndAwaitReady("condition_wait", {name_, user_mutex});
  ASSERT_TRUE(child.ready);
  // The child holds the mutex until it is inside its wait.
  ASSERT_TRUE(shared.lock());
  EXPECT_EQ(condition_.waiting(), 1);
  EXPECT_TRUE(condition_.broadcast());
  EXPECT_EQ(condition_.waiting(), 0);
  ASSERT_TRUE(shared.unlock());
  EXPECT_EQ(child.process.Wait(kChildWaitMs), 0u);
}

// --- waiter --------------------------------------------------------------------------------

class WaiterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = test_support::UniqueName("waiter");
    waiter_.set_global(false);
    ASSERT_TRUE(waiter_.open(name_));
  }

  std::string name_;
  transport::waiter waiter_;
};

TEST_F(WaiterTest, ZeroMillisecondsTriesOnceAndNeverYields) {
  CountedScheduler scheduler;
  for (const bool keep_waiting : {true, false}) {
    int calls = 0;
    EXPECT_EQ(waiter_.wait_while(
                  [&] {
                    ++calls;
                    return keep_waiting;
                  },
                  0),
              !keep_waiting);
    EXPECT_EQ(calls, 1);
  }
  EXPECT_EQ(scheduler.counts().yields, 0);
  EXPECT_EQ(scheduler.counts().sleeps, 0);
}

TEST_F(WaiterTest, SpinsThirtyThreeTriesBeforeBlockingAndQuitEndsTheBlock) {
  CountedScheduler scheduler;
  ASSERT_TRUE(waiter_.quit_waiting());
  int calls = 0;
  EXPECT_TRUE(waiter_.wait_while(
      [&] {
        ++calls;
        return true;
      },
      kChildWaitMs));
  EXPECT_EQ(calls, 33);
  EXPECT_EQ(scheduler.counts().yields, 32);

  // Opening again clears the quit flag: the predicate decides once more.
  ASSERT_TRUE(waiter_.open(name_));
  calls = 0;
  EXPECT_TRUE(waiter_.wait_while([&] { return ++calls < 5; }, kChildWaitMs));
  EXPECT_EQ(calls, 5);
}

TEST_F(WaiterTest, QuitWaitingReleasesEveryBlockedThread) {
  constexpr int kThreads = 3;
  std::atomic<int> returned_true{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      if (waiter_.wait_while([] { return true; }, kChildWaitMs)) ++returned_true;
    });
  }
  ASSERT_TRUE(Eventually([&] { return waiter_.condition().waiting() == kThreads; }));
  EXPECT_TRUE(waiter_.quit_waiting());
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(returned_true.load(), kThreads) << "all woke by the quit, none by the time-out";
}

TEST_F(WaiterTest, ABroadcastAfterTheChangeWakesAWaiterInAnotherProcess) {
  const std::string flag_name = test_support::UniqueName("flag");
  transport::shm::handle flag;
  ASSERT_TRUE(flag.acquire(flag_name, 4, false));
  auto child = test_support::StartAndAwaitReady("waiter_wait", {name_, flag_name});
  ASSERT_TRUE(child.ready);
  ASSERT_TRUE(Eventually([&] { return waiter_.condition().waiting() == 1; }));
  SetFlag(flag, 1);
  EXPECT_TRUE(waiter_.broadcast());
  EXPECT_EQ(child.process.Wait(kChildWaitMs), 0u);
}

TEST_F(WaiterTest, NoWakeUpIsLostBetweenThePredicateAndTheWait) {
  transport::shm::handle flag;
  ASSERT_TRUE(flag.acquire(test_support::UniqueName("flag"), 4, false));
  for (int round = 0; round < 100; ++round) {
    SetFlag(flag, 0);
    bool done = false;
    std::thread consumer(
        [&] { done = waiter_.wait_while([&] { return Flag(flag) == 0; }, kChildWaitMs); });
    SetFlag(flag, 1);
    waiter_.broadcast();
    consumer.join();
    ASSERT_TRUE(done) << "round " << round;
  }
}

}  // namespace
