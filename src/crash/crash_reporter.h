#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crash/crash_agent.h"

// What start-up hands the crash reporter about the running program.
struct CrashReporterRecord {
  std::int32_t exe_type = 0;  // ExeType of the running program
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

// The pipe on which the crash agent of a program of type `exe_type` talks to the handler,
// named after the client version.
std::u16string CrashPipeName(std::int32_t exe_type, std::u16string_view client_version);
