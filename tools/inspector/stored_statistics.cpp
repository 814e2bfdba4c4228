#include "tools/inspector/stored_statistics.h"

#include <cstdio>
#include <string>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/registry.h"
#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_client.h"
#include "common/ipc/core/base/ipc_quality_monitor.h"
#include "install/install_context.h"

namespace tools {
namespace {

std::string Client(ipc::IpcClientId id) {
  return ipc::GetClientName(id) + " (" + std::to_string(id) + ")";
}

}  // namespace

int PrintStoredStatistics(bool json, LineOutput& out) {
  InstallContext::Instance().Init(u"Velmora");
  const std::u16string key = InstallContext::Instance().RegistryKey(ComponentId::kProduct);
  const std::u16string fallback(ipc::IpcQualityMonitor::kDefaultText);
  const std::u16string send_text =
      RegistryReadString(kHkeyCurrentUser, key, ipc::IpcQualityMonitor::kSendValueName, fallback);
  const std::u16string recv_text =
      RegistryReadString(kHkeyCurrentUser, key, ipc::IpcQualityMonitor::kRecvValueName, fallback);
  const ipc::IpcSendTable sent = ipc::LoadSendTable(send_text);
  const ipc::IpcRecvTable received = ipc::LoadRecvTable(recv_text);

  if (json) {
    out.Json({{"key", "HKEY_CURRENT_USER\\" + WideToUtf8(key)},
              {"send", ipc::SendTableJson(sent)},
              {"recv", ipc::RecvTableJson(received)},
              {"send_stored", send_text != fallback},
              {"recv_stored", recv_text != fallback}});
    return 0;
  }
  out.Line("HKEY_CURRENT_USER\\" + WideToUtf8(key));
  out.Line(
      fmt::format("sent ({}):", send_text == fallback ? "nothing stored" : "ipc_send_analysis_10"));
  for (const auto& [k, record] : sent) {
    out.Line(fmt::format("  {} -> {} msg {}: {} sent, {} accepted", Client(k.from), Client(k.to),
                         k.msg_id, record.total, record.success));
  }
  out.Line(fmt::format("received ({}):",
                       recv_text == fallback ? "nothing stored" : "ipc_recv_analysis_10"));
  for (const auto& [k, record] : received) {
    out.Line(fmt::format("  {} -> {} msg {}: {} received, {} us on average", Client(k.from),
                         Client(k.to), k.msg_id, record.total, record.avg_cost));
  }
  return 0;
}

}  // namespace tools
