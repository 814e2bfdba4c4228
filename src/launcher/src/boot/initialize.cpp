#include "launcher/src/boot/initialize.h"

#include <ios>
#include <string>
#include <vector>

#include "base/logger.h"
#include "common/ipc/core/base/ipc_context.h"
#include "crash/crash_reporter.h"
#include "install/install_context.h"
#include "launcher/src/launcher.h"
#include "os/command_line.h"

void Initialize() {
  // The product name fixes the registry key and install folder every later step relies on.
  InstallContext::Instance().Init(u"Velmora");
  Logger::Instance().Open("launcher", std::ios_base::app);
  LOG("[Cmd]:{}", os::ProcessNarrowCommandLine());
  // From here on the launcher is the IPC client "VelLauncher", announced and receiving.
  ipc::IpcContext::Instance().InitIpc();
  RemoveIfeoEntry(u"VelmoraLauncher.exe");
  // Last, so a crash of anything above is not reported as the launcher's; a missing agent leaves
  // the launcher running without one.
  InstallCrashReporter(LauncherCrashReporterRecord());
}

int RunLauncher() { return RunLauncher(os::CommandLineToArgv(os::ProcessCommandLine())); }

int RunLauncher(const std::vector<std::u16string>& arguments) {
  Initialize();
  {
    std::vector<const char16_t*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    LaunchTarget(static_cast<int>(arguments.size()), argv.data());
  }
  Logger::Instance().Close();
  // After the log is closed: nothing the shutdown does is logged. It stores the statistics.
  ipc::IpcContext::Instance().UninitIpc(true);
  return 0;
}
