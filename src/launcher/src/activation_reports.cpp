#include "launcher/src/activation_reports.h"

#include "base/logger.h"
#include "base/text_encoding.h"

// Placeholders until the reports land: each logs what it would send.

void ReportSuccessfulActivateLauncherExe(const std::u16string& package_name, std::int32_t from) {
  LOG("[placeholder] ReportSuccessfulActivateLauncherExe pkgname:{} from:{}",
      WideToUtf8(package_name), from);
}

void ReportSuccessfulActiveMarketProcessExe(const std::u16string& package_name, std::int32_t from) {
  LOG("[placeholder] ReportSuccessfulActiveMarketProcessExe pkgname:{} from:{}",
      WideToUtf8(package_name), from);
}

void ReportkFailPullMarketProcessExe(const std::u16string& package_name, std::int32_t from,
                                     std::int32_t error_code) {
  LOG("[placeholder] ReportkFailPullMarketProcessExe pkgname:{} from:{} error_code:{}",
      WideToUtf8(package_name), from, error_code);
}
