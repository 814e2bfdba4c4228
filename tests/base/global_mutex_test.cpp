#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "base/global_mutex.h"
#include "object_test_support.h"
#include "os/named_objects.h"
#include "os/paths.h"
#include "os/text.h"

namespace {

[[maybe_unused]] auto* const kObjects =
    ::testing::AddGlobalTestEnvironment(new test_support::FreshObjectFolder);

std::u16string GlobalName(const std::string& name) {
  return os::Utf8ToUtf16("Global\\" + name);
}

TEST(IsGlobalMutexPresent, FollowsTheMachineWideMutexOnly) {
  const std::string name = test_support::UniqueName("peer");
  EXPECT_FALSE(IsGlobalMutexPresent(name));
  {
    auto local = os::NamedMutex::Create(os::Utf8ToUtf16("Local\\" + name), false,
                                        os::ObjectSecurity::kOpenToAll);
    ASSERT_TRUE(local.ok());
    EXPECT_FALSE(IsGlobalMutexPresent(name)) << "a session mutex is not the machine-wide one";
    auto global = os::NamedMutex::Create(GlobalName(name), true, os::ObjectSecurity::kDefault);
    ASSERT_TRUE(global.ok());
    EXPECT_TRUE(IsGlobalMutexPresent(name));
    EXPECT_EQ(global.object.Release(), os::kErrorSuccess) << "the test left it owned";
  }
  EXPECT_FALSE(IsGlobalMutexPresent(name)) << "gone with the last handle";
}

// Every failure to open but "not found" counts as present. Provoked without a second account:
// on Windows an event holds the name, so opening a mutex of that name fails with 6; on Linux
// (where kinds do not share names) the machine-wide folder is unusable, which fails with 3.
TEST(IsGlobalMutexPresent, AMutexThatCannotBeOpenedCountsAsPresent) {
  const std::string name = test_support::UniqueName("unopenable");
  auto event = os::NamedEvent::Create(GlobalName(name), true, false, os::ObjectSecurity::kDefault);
  ASSERT_TRUE(event.ok());

  test_support::TempFolder broken;
  std::ofstream(os::NativeNarrowPath(os::PathJoin(broken.path(), u"global"))) << "not a folder";
  const auto saved = os::GetEnv(u"VELMORA_OBJECT_DIR");
  os::SetEnv(u"VELMORA_OBJECT_DIR", broken.path());
  const auto error = os::NamedMutex::Open(GlobalName(name)).error;
  const bool present = IsGlobalMutexPresent(name);
  os::SetEnv(u"VELMORA_OBJECT_DIR", saved.value_or(u""));

  EXPECT_NE(error, os::kErrorSuccess);
  EXPECT_NE(error, os::kErrorFileNotFound);
  EXPECT_TRUE(present);
}

}  // namespace
