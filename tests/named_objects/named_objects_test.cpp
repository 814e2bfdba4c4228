// One conformance suite for named kernel objects: the same expectations hold for the Windows
// kernel (under Wine here) and for the Linux backend.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "object_test_support.h"
#include "os/named_objects.h"
#include "os/text.h"
#include "test_support.h"

namespace os {
void PrintTo(WaitStatus status, std::ostream* out) {
  switch (status) {
    case WaitStatus::kSignaled:
      *out << "kSignaled";
      return;
    case WaitStatus::kAbandoned:
      *out << "kAbandoned";
      return;
    case WaitStatus::kTimeout:
      *out << "kTimeout";
      return;
    case WaitStatus::kFailed:
      *out << "kFailed";
      return;
  }
}
}  // namespace os

namespace {

using os::ObjectSecurity;
using os::WaitStatus;

using test_support::kChildWaitMs;
using test_support::Park;
using test_support::SetReady;

[[maybe_unused]] auto* const kObjects =
    ::testing::AddGlobalTestEnvironment(new test_support::FreshObjectFolder);

std::string UniqueLocal(const std::string& prefix) {
  return test_support::UniqueLocalName(prefix);
}

std::u16string Wide(const std::string& text) {
  return os::Utf8ToUtf16(text);
}

std::uint32_t ReadWord(const os::MappedView& view) {
  std::uint32_t value = 0;
  std::memcpy(&value, view.data(), sizeof(value));
  return value;
}

void WriteWord(const os::MappedView& view, std::uint32_t value) {
  std::memcpy(view.data(), &value, sizeof(value));
}

auto StartAndAwait(const std::string& mode, std::vector<std::string> arguments) {
  return test_support::StartAndAwaitReady(mode, std::move(arguments));
}

// --- children ------------------------------------------------------------------------------

// Creates one object of each kind under <base>, leaves a mark in each, and parks.
VELMORA_TEST_CHILD(hold_objects) {
  const std::string& base = arguments.at(1);
  auto mutex = os::NamedMutex::Create(Wide(base + ".mutex"), true, ObjectSecurity::kOpenToAll);
  auto semaphore =
      os::NamedSemaphore::Create(Wide(base + ".sem"), 3, 5, ObjectSecurity::kOpenToAll);
  auto event =
      os::NamedEvent::Create(Wide(base + ".event"), true, true, ObjectSecurity::kOpenToAll);
  auto mapping = os::FileMapping::Create(Wide(base + ".shm"), 4, ObjectSecurity::kOpenToAll);
  if (!mutex.ok() || !semaphore.ok() || !event.ok() || !mapping.ok()) return 1;
  auto view = os::MappedView::Map(mapping.object);
  if (!view.ok()) return 2;
  WriteWord(view.object, 0xC0FFEE);
  if (!SetReady(arguments.at(0))) return 3;
  Park();
}

// Takes the mutex <name>, then dies holding it: killed while parked, or exiting ("exit").
VELMORA_TEST_CHILD(take_mutex) {
  auto mutex = os::NamedMutex::Open(Wide(arguments.at(1)));
  if (!mutex.ok() || mutex.object.Wait(os::kInfiniteWait).status != WaitStatus::kSignaled) return 1;
  if (!SetReady(arguments.at(0))) return 2;
  if (arguments.at(2) == "exit") return 0;
  Park();
}

// Adds <count> to the semaphore <name>; the exit code is the error.
VELMORA_TEST_CHILD(post_semaphore) {
  auto semaphore = os::NamedSemaphore::Open(Wide(arguments.at(0)));
  if (!semaphore.ok()) return 100;
  return static_cast<int>(semaphore.object.Release(std::stoi(arguments.at(1))));
}

// Waits for the event <name>: 0 when it was set, 1 on time-out, 2 when it could not wait.
VELMORA_TEST_CHILD(wait_event) {
  auto event = os::NamedEvent::Open(Wide(arguments.at(1)), os::ObjectAccess::kSynchronize);
  if (!event.ok() || !SetReady(arguments.at(0))) return 2;
  const auto result = event.object.Wait(std::stoul(arguments.at(2)));
  return result.signaled() ? 0 : result.status == WaitStatus::kTimeout ? 1 : 2;
}

// --- lifetime ------------------------------------------------------------------------------

struct KindCase {
  const char* kind;
  os::ErrorCode (*create)(const std::u16string& name, bool& existed, os::ObjectHandle& out);
  os::ErrorCode (*open)(const std::u16string& name, os::ObjectHandle& out);
};

template <typename Result>
os::ErrorCode Keep(Result result, bool& existed, os::ObjectHandle& out) {
  existed = result.existed();
  if (!result.ok()) return result.error;
  out = std::move(result.object);
  return os::kErrorSuccess;
}

template <typename Result>
os::ErrorCode KeepOpened(Result result, os::ObjectHandle& out) {
  bool existed = false;
  return Keep(std::move(result), existed, out);
}

const KindCase kKinds[] = {
    {"mutex",
     [](const std::u16string& n, bool& e, os::ObjectHandle& o) {
       return Keep(os::NamedMutex::Create(n, false, ObjectSecurity::kOpenToAll), e, o);
     },
     [](const std::u16string& n, os::ObjectHandle& o) {
       return KeepOpened(os::NamedMutex::Open(n), o);
     }},
    {"semaphore",
     [](const std::u16string& n, bool& e, os::ObjectHandle& o) {
       return Keep(os::NamedSemaphore::Create(n, 0, 1, ObjectSecurity::kOpenToAll), e, o);
     },
     [](const std::u16string& n, os::ObjectHandle& o) {
       return KeepOpened(os::NamedSemaphore::Open(n), o);
     }},
    {"event",
     [](const std::u16string& n, bool& e, os::ObjectHandle& o) {
       return Keep(os::NamedEvent::Create(n, true, false, ObjectSecurity::kDefault), e, o);
     },
     [](const std::u16string& n, os::ObjectHandle& o) {
       return KeepOpened(os::NamedEvent::Open(n), o);
     }},
    {"file mapping",
     [](const std::u16string& n, bool& e, os::ObjectHandle& o) {
       return Keep(os::FileMapping::Create(n, 4, ObjectSecurity::kOpenToAll), e, o);
     },
     [](const std::u16string& n, os::ObjectHandle& o) {
       return KeepOpened(os::FileMapping::Open(n), o);
     }},
};

TEST(NamedObjectLifetime, AnObjectExistsExactlyWhileAHandleIsOpen) {
  for (const auto& kind : kKinds) {
    SCOPED_TRACE(kind.kind);
    const std::u16string name = Wide(UniqueLocal("life"));
    os::ObjectHandle first, second, opened, probe;
    bool existed = true;
    EXPECT_EQ(kind.open(name, probe), os::kErrorFileNotFound);

    ASSERT_EQ(kind.create(name, existed, first), os::kErrorSuccess);
    EXPECT_FALSE(existed);
    ASSERT_EQ(kind.create(name, existed, second), os::kErrorSuccess);
    EXPECT_TRUE(existed);
    first.Close();
    ASSERT_EQ(kind.open(name, opened), os::kErrorSuccess);
    second.Close();
    EXPECT_EQ(kind.open(name, probe), os::kErrorSuccess) << "still held by the opened handle";
    probe.Close();
    opened.Close();

    EXPECT_EQ(kind.open(name, probe), os::kErrorFileNotFound);
    ASSERT_EQ(kind.create(name, existed, first), os::kErrorSuccess);
    EXPECT_FALSE(existed);
  }
}

TEST(NamedObjectLifetime, ObjectsOfAKilledHolderAreGoneAndComeBackFresh) {
  const std::string base = UniqueLocal("held");
  auto child = StartAndAwait("hold_objects", {base});
  ASSERT_TRUE(child.ready);
  {
    // While the child lives, its objects are there with its marks.
    auto mapping = os::FileMapping::Open(Wide(base + ".shm"));
    ASSERT_TRUE(mapping.ok());
    auto view = os::MappedView::Map(mapping.object);
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(ReadWord(view.object), 0xC0FFEEu);
    auto event = os::NamedEvent::Open(Wide(base + ".event"));
    ASSERT_TRUE(event.ok());
    EXPECT_TRUE(event.object.Wait(0).signaled());
    auto mutex = os::NamedMutex::Open(Wide(base + ".mutex"));
    ASSERT_TRUE(mutex.ok());
    EXPECT_EQ(mutex.object.Wait(0).status, WaitStatus::kTimeout);
  }
  ASSERT_TRUE(child.process.Kill());

  EXPECT_EQ(os::NamedMutex::Open(Wide(base + ".mutex")).error, os::kErrorFileNotFound);
  EXPECT_EQ(os::NamedSemaphore::Open(Wide(base + ".sem")).error, os::kErrorFileNotFound);
  EXPECT_EQ(os::NamedEvent::Open(Wide(base + ".event")).error, os::kErrorFileNotFound);
  EXPECT_EQ(os::FileMapping::Open(Wide(base + ".shm")).error, os::kErrorFileNotFound);

  auto mutex = os::NamedMutex::Create(Wide(base + ".mutex"), false, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(mutex.ok());
  EXPECT_FALSE(mutex.existed());
  EXPECT_EQ(mutex.object.Wait(0).status, WaitStatus::kSignaled) << "a fresh mutex is unowned";
  EXPECT_EQ(mutex.object.Release(), os::kErrorSuccess);

  auto semaphore =
      os::NamedSemaphore::Create(Wide(base + ".sem"), 0, 5, ObjectSecurity::kOpenToAll);
  ASSERT_FALSE(semaphore.existed());
  EXPECT_EQ(semaphore.object.Wait(0).status, WaitStatus::kTimeout);

  auto event =
      os::NamedEvent::Create(Wide(base + ".event"), true, false, ObjectSecurity::kOpenToAll);
  ASSERT_FALSE(event.existed());
  EXPECT_EQ(event.object.Wait(0).status, WaitStatus::kTimeout);

  auto mapping = os::FileMapping::Create(Wide(base + ".shm"), 4, ObjectSecurity::kOpenToAll);
  ASSERT_FALSE(mapping.existed());
  auto view = os::MappedView::Map(mapping.object);
  ASSERT_TRUE(view.ok());
  EXPECT_EQ(ReadWord(view.object), 0u) << "a fresh mapping is zero-filled";
}

TEST(NamedObjectLifetime, UnnamedObjectsAreIndependent) {
  auto a = os::NamedEvent::Create(u"", true, false, ObjectSecurity::kDefault);
  auto b = os::NamedEvent::Create(u"", true, false, ObjectSecurity::kDefault);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_FALSE(a.existed() || b.existed());
  ASSERT_EQ(a.object.Set(), os::kErrorSuccess);
  EXPECT_TRUE(a.object.Wait(0).signaled());
  EXPECT_EQ(b.object.Wait(0).status, WaitStatus::kTimeout);
}

// --- names ---------------------------------------------------------------------------------

TEST(NamedObjectNames, GlobalAndLocalAreSeparateAndLocalIsTheDefault) {
  const std::string bare = test_support::UniqueName("space");
  auto global = os::NamedMutex::Create(Wide("Global\\" + bare), false, ObjectSecurity::kOpenToAll);
  auto local = os::NamedMutex::Create(Wide("Local\\" + bare), false, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(global.ok() && local.ok());
  EXPECT_FALSE(global.existed());
  EXPECT_FALSE(local.existed());
  auto unprefixed = os::NamedMutex::Create(Wide(bare), false, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(unprefixed.ok());
  EXPECT_TRUE(unprefixed.existed()) << "a name without prefix lies in the session namespace";

  global.object.Close();
  EXPECT_EQ(os::NamedMutex::Open(Wide("Global\\" + bare)).error, os::kErrorFileNotFound);
  EXPECT_TRUE(os::NamedMutex::Open(Wide("Local\\" + bare)).ok());
}

TEST(NamedObjectNames, NamesThatAreNoFileNamesAndLongNamesStayDistinct) {
  const std::string base = test_support::UniqueName("n");
  const std::string long_stem(240, 'x');
  const std::vector<std::string> suffixes = {
      "a/b",
      "a%2Fb",
      "a%2fb",
      "a b",
      "a:b",
      "a*b",
      "a?b",
      "a|b",
      "a\"b",
      "a<b>",
      ".",
      "..",
      "\xC3\xA9",
      "%C3%A9",
      "A",
      "a",
      long_stem + "1",
      long_stem + "2",
      long_stem + "%31",
  };
  std::vector<os::NamedEvent> events;
  for (const auto& suffix : suffixes) {
    auto created = os::NamedEvent::Create(Wide("Local\\" + base + suffix), true, false,
                                          ObjectSecurity::kOpenToAll);
    ASSERT_TRUE(created.ok()) << suffix << " error " << created.error;
    EXPECT_FALSE(created.existed()) << suffix;
    events.push_back(std::move(created.object));
  }
  for (std::size_t i = 0; i < suffixes.size(); ++i) {
    auto again = os::NamedEvent::Open(Wide("Local\\" + base + suffixes[i]));
    ASSERT_TRUE(again.ok()) << suffixes[i];
    // The same object: a set through one handle shows through the other, and only there.
    ASSERT_EQ(again.object.Set(), os::kErrorSuccess);
    for (std::size_t j = 0; j < events.size(); ++j) {
      EXPECT_EQ(events[j].Wait(0).signaled(), i == j) << suffixes[i] << " vs " << suffixes[j];
    }
    ASSERT_EQ(again.object.Reset(), os::kErrorSuccess);
  }
}

// --- mutex ---------------------------------------------------------------------------------

TEST(NamedMutex, IsRecursiveAndOnlyItsOwnerReleasesIt) {
  auto mutex = os::NamedMutex::Create(Wide(UniqueLocal("rec")), true, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(mutex.ok());
  EXPECT_EQ(mutex.object.Wait(0).status, WaitStatus::kSignaled);
  EXPECT_EQ(mutex.object.Wait(os::kInfiniteWait).status, WaitStatus::kSignaled);

  std::thread other([&] {
    EXPECT_EQ(mutex.object.Release(), os::kErrorNotOwner);
    EXPECT_EQ(mutex.object.Wait(0).status, WaitStatus::kTimeout);
    EXPECT_EQ(mutex.object.Wait(20).status, WaitStatus::kTimeout);
  });
  other.join();

  // Taken three times (initial ownership and two waits): three releases, the fourth fails.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(mutex.object.Release(), os::kErrorSuccess) << i;
  EXPECT_EQ(mutex.object.Release(), os::kErrorNotOwner);

  std::thread taker([&] {
    EXPECT_EQ(mutex.object.Wait(0).status, WaitStatus::kSignaled);
    EXPECT_EQ(mutex.object.Release(), os::kErrorSuccess);
  });
  taker.join();
}

TEST(NamedMutex, InitialOwnershipOnlyWhenCreated) {
  const std::u16string name = Wide(UniqueLocal("init"));
  auto owned = os::NamedMutex::Create(name, true, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(owned.ok());
  std::thread other([&] {
    auto existing = os::NamedMutex::Create(name, true, ObjectSecurity::kOpenToAll);
    ASSERT_TRUE(existing.existed());
    EXPECT_EQ(existing.object.Release(), os::kErrorNotOwner) << "an opened mutex is not taken";
    EXPECT_EQ(existing.object.Wait(0).status, WaitStatus::kTimeout) << "the creator owns it";
  });
  other.join();
  EXPECT_EQ(owned.object.Release(), os::kErrorSuccess);
}

TEST(NamedMutex, OwnerThreadThatEndsAbandonsItOnce) {
  auto mutex = os::NamedMutex::Create(Wide(UniqueLocal("thr")), false, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(mutex.ok());
  std::thread owner([&] {
    EXPECT_TRUE(mutex.object.Wait(os::kInfiniteWait).signaled());
    EXPECT_TRUE(mutex.object.Wait(0).signaled());  // twice: the count goes with the owner
  });
  owner.join();
  EXPECT_EQ(mutex.object.Wait(os::kInfiniteWait).status, WaitStatus::kAbandoned);
  EXPECT_EQ(mutex.object.Release(), os::kErrorSuccess);
  EXPECT_EQ(mutex.object.Release(), os::kErrorNotOwner) << "the new owner holds it once";
  EXPECT_EQ(mutex.object.Wait(0).status, WaitStatus::kSignaled) << "reported only once";
  EXPECT_EQ(mutex.object.Release(), os::kErrorSuccess);
}

TEST(NamedMutex, OwnerProcessThatDiesAbandonsItOnce) {
  for (const char* how : {"kill", "exit"}) {
    SCOPED_TRACE(how);
    const std::string name = UniqueLocal("proc");
    auto mutex = os::NamedMutex::Create(Wide(name), false, ObjectSecurity::kOpenToAll);
    ASSERT_TRUE(mutex.ok());
    auto child = StartAndAwait("take_mutex", {name, how});
    ASSERT_TRUE(child.ready);
    if (std::string(how) == "kill") {
      EXPECT_EQ(mutex.object.Wait(0).status, WaitStatus::kTimeout);
      ASSERT_TRUE(child.process.Kill());
    } else {
      EXPECT_EQ(child.process.Wait(kChildWaitMs), 0u);
    }
    EXPECT_EQ(mutex.object.Wait(kChildWaitMs).status, WaitStatus::kAbandoned);
    EXPECT_EQ(mutex.object.Release(), os::kErrorSuccess);
    EXPECT_EQ(mutex.object.Wait(0).status, WaitStatus::kSignaled);
    EXPECT_EQ(mutex.object.Release(), os::kErrorSuccess);
  }
}

// --- semaphore -----------------------------------------------------------------------------

TEST(NamedSemaphore, ReleasePastTheMaximumFailsAndChangesNothing) {
  auto semaphore =
      os::NamedSemaphore::Create(Wide(UniqueLocal("max")), 1, 3, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(semaphore.ok());
  std::int32_t previous = -1;
  EXPECT_EQ(semaphore.object.Release(3, &previous), os::kErrorTooManyPosts);
  EXPECT_EQ(previous, -1);
  EXPECT_EQ(semaphore.object.Release(2, &previous), os::kErrorSuccess);
  EXPECT_EQ(previous, 1);
  EXPECT_EQ(semaphore.object.Release(1), os::kErrorTooManyPosts);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(semaphore.object.Wait(0).signaled()) << i;
  EXPECT_EQ(semaphore.object.Wait(10).status, WaitStatus::kTimeout);
}

TEST(NamedSemaphore, RejectsCountsOutsideItsRange) {
  const std::u16string name = Wide(UniqueLocal("bad"));
  EXPECT_EQ(os::NamedSemaphore::Create(name, 2, 1, ObjectSecurity::kOpenToAll).error,
            os::kErrorInvalidParameter);
  EXPECT_EQ(os::NamedSemaphore::Create(name, 0, 0, ObjectSecurity::kOpenToAll).error,
            os::kErrorInvalidParameter);
  EXPECT_EQ(os::NamedSemaphore::Create(name, -1, 1, ObjectSecurity::kOpenToAll).error,
            os::kErrorInvalidParameter);
}

TEST(NamedSemaphore, PostsOfAnotherProcessWakeTheWaiter) {
  const std::string name = UniqueLocal("xsem");
  auto semaphore =
      os::NamedSemaphore::Create(Wide(name), 0, 0x7FFFFFFF, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(semaphore.ok());
  std::atomic<int> taken{0};
  std::thread waiter([&] {
    for (int i = 0; i < 2; ++i) {
      if (semaphore.object.Wait(kChildWaitMs).signaled()) ++taken;
    }
  });
  auto child = test_support::SpawnChild("post_semaphore", {name, "2"});
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(kChildWaitMs), 0u);
  waiter.join();
  EXPECT_EQ(taken.load(), 2);
  EXPECT_EQ(semaphore.object.Wait(0).status, WaitStatus::kTimeout);
}

// --- events --------------------------------------------------------------------------------

TEST(NamedEvent, ManualResetStaysSetAutoResetIsConsumedByOneWait) {
  for (const bool manual : {true, false}) {
    SCOPED_TRACE(manual ? "manual" : "auto");
    auto event =
        os::NamedEvent::Create(Wide(UniqueLocal("ev")), manual, true, ObjectSecurity::kOpenToAll);
    ASSERT_TRUE(event.ok());
    EXPECT_TRUE(event.object.Wait(0).signaled()) << "created set";
    EXPECT_EQ(event.object.Wait(0).signaled(), manual);
    ASSERT_EQ(event.object.Reset(), os::kErrorSuccess);
    EXPECT_EQ(event.object.Wait(10).status, WaitStatus::kTimeout);
    ASSERT_EQ(event.object.Set(), os::kErrorSuccess);
    ASSERT_EQ(event.object.Set(), os::kErrorSuccess);
    EXPECT_TRUE(event.object.Wait(0).signaled());
    EXPECT_EQ(event.object.Wait(0).signaled(), manual) << "two sets are still one signal";
  }
}

TEST(NamedEvent, ASetInOneProcessWakesAWaiterInAnother) {
  const std::string name = UniqueLocal("xev");
  auto event = os::NamedEvent::Create(Wide(name), false, false, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(event.ok());
  auto waiting = StartAndAwait("wait_event", {name, std::to_string(os::kInfiniteWait)});
  ASSERT_TRUE(waiting.ready);
  ASSERT_EQ(event.object.Set(), os::kErrorSuccess);
  EXPECT_EQ(waiting.process.Wait(kChildWaitMs), 0u);

  auto timing_out = StartAndAwait("wait_event", {name, "30"});
  ASSERT_TRUE(timing_out.ready);
  EXPECT_EQ(timing_out.process.Wait(kChildWaitMs), 1u);
}

TEST(WaitForAnyEvent, TheLowestSignalledIndexWinsAndOnlyItIsConsumed) {
  std::vector<os::NamedEvent> events;
  for (int i = 0; i < 4; ++i) {
    auto created =
        os::NamedEvent::Create(Wide(UniqueLocal("any")), false, false, ObjectSecurity::kOpenToAll);
    ASSERT_TRUE(created.ok());
    events.push_back(std::move(created.object));
  }
  const std::vector<const os::NamedEvent*> list = {&events[0], &events[1], &events[2], &events[3]};
  EXPECT_EQ(os::WaitForAnyEvent(list, 20).status, WaitStatus::kTimeout);

  ASSERT_EQ(events[3].Set(), os::kErrorSuccess);
  ASSERT_EQ(events[1].Set(), os::kErrorSuccess);
  ASSERT_EQ(events[2].Set(), os::kErrorSuccess);
  for (const std::size_t expected : {1u, 2u, 3u}) {
    const auto result = os::WaitForAnyEvent(list, 0);
    ASSERT_TRUE(result.signaled());
    EXPECT_EQ(result.index, expected);
    EXPECT_EQ(result.code(), expected);
  }
  EXPECT_EQ(os::WaitForAnyEvent(list, 0).status, WaitStatus::kTimeout);

  // A blocked wait wakes for the event that is set.
  std::thread setter([&] { events[2].Set(); });
  const auto woken = os::WaitForAnyEvent(list, kChildWaitMs);
  setter.join();
  ASSERT_TRUE(woken.signaled());
  EXPECT_EQ(woken.index, 2u);

  EXPECT_EQ(os::WaitForAnyEvent({}, 0).error, os::kErrorInvalidParameter);
}

// --- release and wait ----------------------------------------------------------------------

TEST(ReleaseMutexAndWait, ReleasesTheMutexThenWaitsForTheSemaphore) {
  auto mutex = os::NamedMutex::Create(Wide(UniqueLocal("rw")), false, ObjectSecurity::kOpenToAll);
  auto semaphore =
      os::NamedSemaphore::Create(Wide(UniqueLocal("rws")), 0, 10, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(mutex.ok() && semaphore.ok());

  auto not_owner = os::ReleaseMutexAndWait(mutex.object, semaphore.object, 0);
  EXPECT_EQ(not_owner.status, WaitStatus::kFailed);
  EXPECT_EQ(not_owner.error, os::kErrorNotOwner);

  ASSERT_TRUE(mutex.object.Wait(0).signaled());
  EXPECT_EQ(os::ReleaseMutexAndWait(mutex.object, semaphore.object, 10).status,
            WaitStatus::kTimeout);
  EXPECT_EQ(mutex.object.Release(), os::kErrorNotOwner)
      << "released even though the wait timed out";

  // The poster can only post once it holds the mutex, which the waiter gives up by waiting.
  ASSERT_TRUE(mutex.object.Wait(0).signaled());
  std::thread poster([&] {
    ASSERT_TRUE(mutex.object.Wait(os::kInfiniteWait).signaled());
    EXPECT_EQ(semaphore.object.Release(1), os::kErrorSuccess);
    EXPECT_EQ(mutex.object.Release(), os::kErrorSuccess);
  });
  EXPECT_TRUE(os::ReleaseMutexAndWait(mutex.object, semaphore.object, kChildWaitMs).signaled());
  poster.join();
}

// --- file mappings -------------------------------------------------------------------------

TEST(FileMapping, ViewsAreWholePagesSharedAndKeepTheCreatorsSize) {
  const std::u16string name = Wide(UniqueLocal("map"));
  auto mapping = os::FileMapping::Create(name, 4, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(mapping.ok());
  auto view = os::MappedView::Map(mapping.object);
  ASSERT_TRUE(view.ok());
  std::size_t size = 0;
  ASSERT_EQ(view.object.QueryRegionSize(size), os::kErrorSuccess);
  EXPECT_EQ(size, os::PageSize());
  EXPECT_EQ(os::PageSize(), 4096u);

  // A larger request for an existing mapping gets the existing one.
  auto bigger = os::FileMapping::Create(name, 3 * 4096, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(bigger.existed());
  auto other_view = os::MappedView::Map(bigger.object);
  ASSERT_TRUE(other_view.ok());
  ASSERT_EQ(other_view.object.QueryRegionSize(size), os::kErrorSuccess);
  EXPECT_EQ(size, 4096u);
  // The whole page is shared, not only the 4 bytes asked for.
  static_cast<char*>(view.object.data())[4095] = 'z';
  WriteWord(view.object, 77);
  EXPECT_EQ(static_cast<char*>(other_view.object.data())[4095], 'z');
  EXPECT_EQ(ReadWord(other_view.object), 77u);

  auto sized = os::FileMapping::Create(Wide(UniqueLocal("map")), 5000, ObjectSecurity::kOpenToAll);
  auto sized_view = os::MappedView::Map(sized.object);
  ASSERT_TRUE(sized_view.ok());
  ASSERT_EQ(sized_view.object.QueryRegionSize(size), os::kErrorSuccess);
  EXPECT_EQ(size, 8192u);

  EXPECT_EQ(os::FileMapping::Create(Wide(UniqueLocal("map")), 0, ObjectSecurity::kOpenToAll).error,
            os::kErrorInvalidParameter);
}

TEST(FileMapping, ViewsOutliveTheHandlesButTheNameGoesWithTheLastHandle) {
  const std::u16string name = Wide(UniqueLocal("keep"));
  auto mapping = os::FileMapping::Create(name, 64, ObjectSecurity::kOpenToAll);
  auto reopened = os::FileMapping::Open(name);
  ASSERT_TRUE(mapping.ok() && reopened.ok());
  auto first = os::MappedView::Map(mapping.object);
  auto second = os::MappedView::Map(reopened.object);
  ASSERT_TRUE(first.ok() && second.ok());
  mapping.object.Close();
  EXPECT_TRUE(os::FileMapping::Open(name).ok()) << "one handle is still open";
  reopened.object.Close();

  EXPECT_EQ(os::FileMapping::Open(name).error, os::kErrorFileNotFound);
  auto fresh = os::FileMapping::Create(name, 64, ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(fresh.ok());
  EXPECT_FALSE(fresh.existed());
  auto fresh_view = os::MappedView::Map(fresh.object);
  ASSERT_TRUE(fresh_view.ok());

  // The old views still share their memory, apart from the new mapping.
  WriteWord(first.object, 5);
  EXPECT_EQ(ReadWord(second.object), 5u);
  EXPECT_EQ(ReadWord(fresh_view.object), 0u);
}

}  // namespace
