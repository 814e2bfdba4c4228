#include "common/ipc/core/base/ipc_client.h"

#include <algorithm>
#include <array>
#include <utility>

#include <fmt/format.h>

#include "os/process.h"

namespace ipc {
namespace {

struct ClientRow {
  IpcClientId id;
  const char* name;
};

// Rows in the order the product defines them. 110007 is a retired id: it keeps a row so that its
// name stays "UNKNOWN" even if the lookup order changes.
constexpr std::array<ClientRow, 27> kClientRows{{
    {0, "UNKNOWN"},
    {110001, "AppStore"},
    {110002, "VelEmulator"},
    {110003, "VelService"},
    {110004, "VelUpdate"},
    {110005, "VelUninstall"},
    {110006, "VelAssistant"},
    {110007, "UNKNOWN"},
    {110010, "VelVirtualFileSystem"},
    {110008, "VelInstaller"},
    {110009, "VelLauncher"},
    {120001, "VelQrvndSdk"},
    {120002, "VelQrvndAssistant"},
    {130001, "DrontgameSdk"},
    {140001, "TolqAppstore"},
    {200001, "VelAppstore"},
    {150001, "VelTrelSdk"},
    {160001, "VelMarnSdk"},
    {170001, "VelNetbar"},
    {110014, "VelKvZadaHeadless"},
    {110013, "VelZadaCrashNotifyHelper"},
    {110011, "VelInstallerDownloader"},
    {110016, "VelGameService"},
    {110017, "VelVm"},
    {110019, "VelSetup"},
    {110022, "VelTamriskMcp"},
    {190000, "VelEngineManager"},
}};

// The rows sorted by id for lookups; built once, read-only afterwards.
const std::array<ClientRow, kClientRows.size()>& SortedRows() {
  static const auto sorted = [] {
    auto rows = kClientRows;
    std::sort(rows.begin(), rows.end(),
              [](const ClientRow& a, const ClientRow& b) { return a.id < b.id; });
    return rows;
  }();
  return sorted;
}

}  // namespace

std::string GetClientName(IpcClientId id) {
  const auto& rows = SortedRows();
  const auto found =
      std::lower_bound(rows.begin(), rows.end(), id,
                       [](const ClientRow& row, IpcClientId key) { return row.id < key; });
  if (found == rows.end() || found->id != id) return kUnknownClientName;
  return found->name;
}

std::optional<IpcClientId> FindClientId(std::string_view name) {
  if (name == kUnknownClientName) return std::nullopt;
  for (const ClientRow& row : kClientRows) {
    if (name == row.name) return row.id;
  }
  return std::nullopt;
}

std::string MakeIpcInitedMutexName(IpcClientId id, bool global) {
  return fmt::format("{}tamrisk_ipc_inited_{}", global ? "Global\\" : "", GetClientName(id));
}

bool IsProcessElevated() {
  return os::IsOwnProcessElevated();
}

}  // namespace ipc
