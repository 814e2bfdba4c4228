#pragma once

#include <cstdint>
#include <string>

// Fire-and-forget reports to the service about requests for the client: the launcher was
// activated for it, the client (market process) was activated, or pulling it up failed.
void ReportSuccessfulActivateLauncherExe(const std::u16string& package_name, std::int32_t from);
void ReportSuccessfulActiveMarketProcessExe(const std::u16string& package_name, std::int32_t from);
void ReportkFailPullMarketProcessExe(const std::u16string& package_name, std::int32_t from,
                                     std::int32_t error_code);
