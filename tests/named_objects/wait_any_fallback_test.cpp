// Linux only: the wait for any of several events on kernels without futex_waitv.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "os/named_objects.h"
#include "os/posix/wait_any_fallback.h"
#include "test_support.h"

namespace {

class WaitAnyFallback : public ::testing::Test {
 protected:
  void SetUp() override { os::UseWaitAnyFallback(true); }
  void TearDown() override { os::UseWaitAnyFallback(false); }
};

TEST_F(WaitAnyFallback, WakesForTheSetEventAndTimesOut) {
  std::vector<os::NamedEvent> events;
  for (int i = 0; i < 3; ++i) {
    auto created = os::NamedEvent::Create(u"", false, false, os::ObjectSecurity::kDefault);
    ASSERT_TRUE(created.ok());
    events.push_back(std::move(created.object));
  }
  const std::vector<const os::NamedEvent*> list = {&events[0], &events[1], &events[2]};
  EXPECT_EQ(os::WaitForAnyEvent(list, 5).status, os::WaitStatus::kTimeout);

  std::thread setter([&] { events[2].Set(); });
  const auto woken = os::WaitForAnyEvent(list, 20'000);
  setter.join();
  ASSERT_TRUE(woken.signaled());
  EXPECT_EQ(woken.index, 2u);

  events[1].Set();
  events[0].Set();
  EXPECT_EQ(os::WaitForAnyEvent(list, 0).index, 0u);
  EXPECT_EQ(os::WaitForAnyEvent(list, 0).index, 1u);
  EXPECT_EQ(os::WaitForAnyEvent(list, 0).status, os::WaitStatus::kTimeout);
}

}  // namespace
