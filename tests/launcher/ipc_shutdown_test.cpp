// The launcher's IPC start and stop as a whole program: it announces itself while it runs, stores
// its statistics when it ends, and leaves no thread behind.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "base/logger.h"
#include "base/registry.h"
#include "common/ipc/core/base/ipc_context.h"
#include "install/install_context.h"
#include "launcher/src/boot/initialize.h"
#include "launcher/src/launcher.h"
#include "object_test_support.h"
#include "os/own_process.h"
#include "test_support.h"

namespace {

[[maybe_unused]] auto* const kObjects =
    ::testing::AddGlobalTestEnvironment(new test_support::FreshObjectFolder);

constexpr std::u16string_view kSendValue = u"ipc_send_analysis_10";
constexpr std::u16string_view kRecvValue = u"ipc_recv_analysis_10";

std::u16string ProductKey() {
  InstallContext::Instance().Init(u"Velmora");
  return InstallContext::Instance().RegistryKey(ComponentId::kProduct);
}

TEST(LauncherIpc, RunStoresItsStatisticsAddedToEarlierTotals) {
  const std::u16string key = ProductKey();
  const std::u16string earlier =
      uR"([[{"from":110009,"msg_id":20001,"to":110002},{"success":1,"total":2}]])";
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, key, kSendValue, earlier));
  RegistryDeleteValues(key, {std::u16string(kRecvValue)});

  test_support::TempFolder temp;
  auto launcher = os::ChildProcess::Spawn(test_support::LauncherExecutable(), {},
                                          test_support::ScopedTempEnvironment::For(temp.path()));
  ASSERT_TRUE(launcher);
  ASSERT_EQ(launcher->Wait(60'000), 0u);

  // This run sent nothing: the earlier total is written back as it was, and the receive value
  // appears, empty.
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, key, kSendValue, u"<none>"), earlier);
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, key, kRecvValue, u"<none>"), u"[]");
  // Its ipc-inited mutex went with it.
  EXPECT_FALSE(ipc::IsClientIpcInited(ipc::kClientLauncher, true));
  EXPECT_FALSE(ipc::IsClientIpcInited(ipc::kClientLauncher, false));
}

// The launcher's own sequence in a fresh process: start-up, the dispatch of a command line
// without a request, the log closed, IPC shut down. Exit code 0 when the process then has as many
// threads as before start-up; 10 + the count otherwise.
VELMORA_TEST_CHILD(launcher_threads) {
  // Runtimes that keep a helper thread of their own (a sanitizer's) start it with the first
  // thread of the process: let that happen before counting.
  std::thread([] {}).join();
  const auto before = os::OwnThreadCount();
  Initialize();
  if (!ipc::IsClientIpcInited(ipc::kClientLauncher, ipc::IpcContext::Instance().global())) {
    return 2;
  }
  const char16_t* argv[] = {u"VelmoraLauncher.exe", nullptr};
  LaunchTarget(1, argv);
  Logger::Instance().Close();
  ipc::IpcContext::Instance().UninitIpc(true);
  const auto after = os::OwnThreadCount();
  if (!before || !after) return 1;
  return *after == *before ? 0 : static_cast<int>(10 + *after);
}

TEST(LauncherIpc, ShutdownWithoutPeersJoinsEveryThread) {
  test_support::TempFolder temp;
  auto child = test_support::SpawnChild("launcher_threads", {},
                                        test_support::ScopedTempEnvironment::For(temp.path()));
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(60'000), 0u);
}

}  // namespace
