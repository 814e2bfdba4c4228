#include <gtest/gtest.h>

#include "common/ipc/core/base/ipc_client.h"

namespace ipc {
namespace {

TEST(ClientTable, NamesAndUnknownIds) {
  const struct {
    IpcClientId id;
    const char* name;
  } cases[] = {
      {110009, "VelLauncher"},
      {110002, "VelEmulator"},
      {110003, "VelService"},
      {200001, "VelAppstore"},
      {110010, "VelVirtualFileSystem"},
      {190000, "VelEngineManager"},
      {110022, "VelTamriskMcp"},
      {110007, "UNKNOWN"},
      {0, "UNKNOWN"},
      {110015, "UNKNOWN"},
      {-1, "UNKNOWN"},
      {2147483647, "UNKNOWN"},
  };
  for (const auto& c : cases) EXPECT_EQ(GetClientName(c.id), c.name) << c.id;
}

TEST(ClientTable, IdsByName) {
  EXPECT_EQ(FindClientId("VelEmulator"), 110002);
  EXPECT_EQ(FindClientId("VelAppstore"), 200001);
  EXPECT_EQ(FindClientId("UNKNOWN"), std::nullopt);
  EXPECT_EQ(FindClientId("velemulator"), std::nullopt);
}

TEST(ClientTable, IpcInitedMutexNames) {
  EXPECT_EQ(MakeIpcInitedMutexName(110009, true), "Global\\tamrisk_ipc_inited_VelLauncher");
  EXPECT_EQ(MakeIpcInitedMutexName(110009, false), "tamrisk_ipc_inited_VelLauncher");
  EXPECT_EQ(MakeIpcInitedMutexName(110002, true), "Global\\tamrisk_ipc_inited_VelEmulator");
  EXPECT_EQ(MakeIpcInitedMutexName(110007, false), "tamrisk_ipc_inited_UNKNOWN");
}

}  // namespace
}  // namespace ipc
