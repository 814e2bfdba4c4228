#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_context.h"
#include "common/ipc/core/base/sender.h"
#include "ipc_test_support.h"
#include "os/command_line.h"
#include "test_support.h"

namespace ipc {
namespace {

using ipc_test::PeerProcess;
using ipc_test::ToolProcess;
using nlohmann::json;

bool MutexExists(std::u16string_view name) {
  return os::NamedMutex::Open(name).ok();
}
bool EventExists(std::u16string_view name) {
  return os::NamedEvent::Open(name).ok();
}

constexpr std::u16string_view kEmulatorMutex = u"Global\\F083FC96-54BA-42C2-B64E-D06896C1A58B";
constexpr std::u16string_view kQuittingEvent =
    u"EmulatorQuitting_{7B2F8A3C-E1D4-4F6A-9C5B-3D8E2A1F7B4C}";
constexpr std::u16string_view kVmReadyMutex = u"TOLQ_VM_READY_304766663";

class PeerTest : public ::testing::Test {
 protected:
  void SetUp() override { IpcContext::Instance().InitIpc(); }
  void TearDown() override { IpcContext::Instance().UninitIpc(false); }
};

TEST_F(PeerTest, EmulatorHoldsItsObjectsAndQuitsWhenAsked) {
  PeerProcess emulator({"--role", "emulator", "--quitting", "--vm-ready"});
  ASSERT_TRUE(emulator.WaitReady());
  EXPECT_TRUE(MutexExists(kEmulatorMutex));
  EXPECT_TRUE(MutexExists(u"Global\\tamrisk_ipc_inited_VelEmulator"));
  EXPECT_TRUE(EventExists(kQuittingEvent));
  EXPECT_TRUE(MutexExists(kVmReadyMutex));

  ASSERT_TRUE(SendIpc(std::make_shared<IpcPacket>(kClientEmulator, 20007, json("")), true));
  ASSERT_TRUE(emulator.WaitForLine(ToolProcess::Event("exit")));
  EXPECT_EQ(emulator.Stop(), 0u);
  EXPECT_FALSE(MutexExists(kEmulatorMutex));
  EXPECT_FALSE(MutexExists(u"Global\\tamrisk_ipc_inited_VelEmulator"));
  EXPECT_FALSE(EventExists(kQuittingEvent));
  EXPECT_FALSE(MutexExists(kVmReadyMutex));
}

TEST_F(PeerTest, ServiceStartsTheProgramItIsAskedFor) {
  PeerProcess service({"--role", "service", "--start-dir",
                       WideToUtf8(std::filesystem::path(test_support::ToolPath(u"velmora-peer.exe"))
                                      .parent_path()
                                      .u16string())});
  ASSERT_TRUE(service.WaitReady());
  // The program started is another peer, the client, which ends with the stop event it is given.
  const std::string stop = test_support::UniqueName("started-client-stop");
  auto stop_event =
      os::NamedEvent::Create(Utf8ToWide(stop), true, false, os::ObjectSecurity::kOpenToAll);
  ASSERT_TRUE(stop_event.ok());
  const std::string notify = test_support::UniqueName("started-client-line");
  auto line_event =
      os::NamedEvent::Create(Utf8ToWide(notify), false, false, os::ObjectSecurity::kDefault);
  ASSERT_TRUE(line_event.ok());
  const std::string param = "--role client --quiet --stop-event " + stop + " --notify " + notify;
  ASSERT_TRUE(
      SendIpc(std::make_shared<IpcPacket>(kClientService, 40007,
                                          json{{"name", "velmora-peer.exe"}, {"param", param}}),
              true));
  const auto started = service.WaitForLine(ToolProcess::Event("started"));
  ASSERT_TRUE(started);
  EXPECT_EQ((*started)["error"], 0);
  EXPECT_EQ((*started)["param"], param);
  // The client's first line says it is ready: announced and receiving.
  ASSERT_EQ(line_event.object.Wait(20'000).status, os::WaitStatus::kSignaled);
  EXPECT_TRUE(MutexExists(u"Global\\Velmora.exe"));
  EXPECT_TRUE(IsClientIpcInited(kClientVelAppstore, true));
  stop_event.object.Set();
}

}  // namespace
}  // namespace ipc
