#include "launcher/src/activation_reports.h"

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "base/logger.h"
#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_client.h"
#include "common/ipc/core/base/ipc_packet.h"
#include "common/launcher/action_hooks.h"

namespace {

constexpr std::int32_t kActivationReportMessage = 40106;

// The error code rides along for the caller's bookkeeping only; the service never sees it.
struct ActivationReport {
  std::string event;
  std::string package_name;
  std::int32_t from = 0;
  std::int32_t error_code = 0;
};

void to_json(nlohmann::json& j, const ActivationReport& report) {
  j = nlohmann::json{
      {"event", report.event}, {"pkgname", report.package_name}, {"from", report.from}};
}

// True when the service got it; the reports are never retried.
bool SendReport(const ActivationReport& report) {
  auto packet = std::make_shared<ipc::IpcPacket>(ipc::kClientLauncher, ipc::kClientService,
                                                 kActivationReportMessage, nlohmann::json(report));
  try {
    return HookedSendIpc(packet, true);
  } catch (const std::exception&) {
    return false;  // a package name that is not valid UTF-8 cannot be written
  }
}

}  // namespace

void ReportSuccessfulActivateLauncherExe(const std::u16string& package_name, std::int32_t from) {
  if (!SendReport({"successful_activate_launcher_exe", WideToUtf8(package_name), from, 0})) {
    LOG("[ReportSuccessfulActivateLauncherExe][State]: ipc try fail 1!");
  }
}

void ReportSuccessfulActiveMarketProcessExe(const std::u16string& package_name, std::int32_t from) {
  if (!SendReport({"successful_activate_market_process_exe", WideToUtf8(package_name), from, 0})) {
    LOG("[ReportSuccessfulActiveMarketProcessExe][State]: ipc try fail 1!");
  }
}

void ReportkFailPullMarketProcessExe(const std::u16string& package_name, std::int32_t from,
                                     std::int32_t error_code) {
  if (!SendReport({"fail_pull_market_process_exe", WideToUtf8(package_name), from, error_code})) {
    LOG("[ReportkFailPullMarketProcessExe][State]: ipc try fail 1!");
  }
}
