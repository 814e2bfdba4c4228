#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crash/crash_agent.h"
#include "install/product.h"

// What start-up hands the crash reporter about the running program.
struct CrashReporterRecord {
  ExeType exe_type = ExeType::kLauncher;
  bool first_flag = false;
  CrashCallback crash_callback = nullptr;
  bool second_flag = false;
  std::u16string version;       // product version
  std::string report_version;   // client version, UTF-8
  std::u16string process_name;  // executable base name
};

// What the reporter takes from the rest of the program.
struct CrashReporterServices {
  std::u16string (*crash_data_directory)() = nullptr;  // with its trailing separator
  std::string (*machine_identity)() = nullptr;         // 32 hexadecimal digits
};

// Loads the crash agent library beside the program (or from the default search), creates the
// agent, starts it with this process's configuration and registers the record's callback. Once
// per process: 0 when installed, already installed, or when the factory gave no agent; 1 when the
// program's folder is unknown or the library or its factory cannot be found. Never reports
// anything else: without an agent the program simply runs without crash reporting.
int InstallCrashReporter(const CrashReporterRecord& record, const CrashReporterServices& services);

// The same with the program's own services: CrashDataDirectory and GetTolqGuid.
int InstallCrashReporter(const CrashReporterRecord& record);

// The launcher's record: its type, LauncherCrashCallback, the product version, its report version
// and its base name; both flags false.
CrashReporterRecord LauncherCrashReporterRecord();

// The pipe on which the crash agent of a program of type `exe_type` talks to the handler,
// named after the client version.
std::u16string CrashPipeName(ExeType exe_type, std::u16string_view client_version);

// What the crash agent calls when the launcher crashes: reports the crash of "VelmoraLauncher".
void LauncherCrashCallback();

// Starts the client's assistant (VelmoraAssistant.exe in the client's version folder) with the
// crash-event option for `process_name`; nothing when the assistant is not there.
void ReportProcessCrashEvent(std::u16string_view process_name);

// The assistant's parameters for a crash of `process_name`: the option, a blank, the quoted
// name and a blank.
std::u16string CrashEventParameters(std::u16string_view process_name);
