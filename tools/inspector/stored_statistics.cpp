#include "tools/inspector/stored_statistics.h"

#include <cstdio>
#include <string>

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

int PrintStoredStatistics(bool json) {
  InstallContext::Instance().Init(u"Velmora");
  const std::u16string key = InstallContext::Instance().RegistryKey(ComponentId::kProduct);
  const std::u16string fallback(ipc::IpcQualityMonitor::kDefaultText);
  const std::u16string send_text = RegistryReadString(
      kHkeyCurrentUser, key, ipc::IpcQualityMonitor::kSendValueName, fallback);
  const std::u16string recv_text = RegistryReadString(
      kHkeyCurrentUser, key, ipc::IpcQualityMonitor::kRecvValueName, fallback);
  const ipc::IpcSendTable sent = ipc::LoadSendTable(send_text);
  const ipc::IpcRecvTable received = ipc::LoadRecvTable(recv_text);

  if (json) {
    std::printf("%s\n", nlohmann::json{{"key", "HKEY_CURRENT_USER\\" + WideToUtf8(key)},
                                       {"send", ipc::SendTableJson(sent)},
                                       {"recv", ipc::RecvTableJson(received)},
                                       {"send_stored", send_text != fallback},
                                       {"recv_stored", recv_text != fallback}}
                            .dump()
                            .c_str());
    return 0;
  }
  std::printf("HKEY_CURRENT_USER\\%s\n", WideToUtf8(key).c_str());
  std::printf("sent (%s):\n", send_text == fallback ? "nothing stored" : "ipc_send_analysis_10");
  for (const auto& [k, record] : sent) {
    std::printf("  %s -> %s msg %d: %llu sent, %llu accepted\n", Client(k.from).c_str(),
                Client(k.to).c_str(), k.msg_id, static_cast<unsigned long long>(record.total),
                static_cast<unsigned long long>(record.success));
  }
  std::printf("received (%s):\n",
              recv_text == fallback ? "nothing stored" : "ipc_recv_analysis_10");
  for (const auto& [k, record] : received) {
    std::printf("  %s -> %s msg %d: %llu received, %lld us on average\n", Client(k.from).c_str(),
                Client(k.to).c_str(), k.msg_id, static_cast<unsigned long long>(record.total),
                static_cast<long long>(record.avg_cost));
  }
  return 0;
}

}  // namespace tools
