#include "crash/crash_reporter.h"

#include <mutex>
#include <string>

#include "base/machine_identity/machine_guid.h"
#include "base/process_utils.h"
#include "base/text_encoding.h"
#include "install/install_context.h"
#include "install/product.h"
#include "os/dynamic_library.h"
#include "os/paths.h"
#include "os/process_info.h"

namespace {

constexpr char16_t kApplicationId[] = u"e3f05b64d2";
constexpr char16_t kApplicationKey[] = u"9b4e2f71-6c0d-4a58-b3e9-0d7c5f12a6b4";
constexpr char16_t kPackageName[] = u"com.quorlen.tamrisk";
constexpr std::uint32_t kUploadDelay = 5'000;
constexpr std::uint32_t kDumpSizeLimit = 10 * 1024 * 1024;

struct ReporterState {
  std::mutex mutex;
  CrashAgent* agent = nullptr;
  // The agent keeps the process-name pointer of its configuration and may read it during a
  // crash, after static destructors ran: the text is never freed.
  std::u16string* process_name = new std::u16string;
};

ReporterState& State() {
  static ReporterState* state = new ReporterState;
  return *state;
}

// The part of the executable's path before its last separator, without trailing separators.
std::u16string ExecutableDirectory() {
  std::u16string path = ModulePath();
  const auto separator = path.find_last_of(u"\\/");
  if (separator == std::u16string::npos) return {};
  path.resize(separator);
  while (!path.empty() && (path.back() == u'\\' || path.back() == u'/')) path.pop_back();
  return path;
}

std::uint32_t Length(const std::u16string& text) {
  return static_cast<std::uint32_t>(text.size());
}

}  // namespace

std::u16string CrashPipeName(ExeType exe_type, std::u16string_view client_version) {
  const std::u16string_view guid =
      exe_type == ExeType::kLauncher || exe_type == ExeType::kDiagnosisTool
          ? u"7D732609-A734-9178-1492-71A1E213BE35"
          : u"598FEC22-BD78-BD1B-74C6-307659AD9988";
  std::u16string name = u"\\\\.\\pipe\\";
  name.append(client_version);
  name.push_back(u'-');
  name.append(guid);
  return name;
}

int InstallCrashReporter(const CrashReporterRecord& record, const CrashReporterServices& services) {
  ReporterState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.agent != nullptr) return 0;

  const std::u16string directory = ExecutableDirectory();
  if (directory.empty()) return 1;
  const std::u16string handler =
      os::PathJoin(directory, os::HelperProgramFileName(u"crashpad_handler"));

  const std::string library_name = os::SharedLibraryFileName("client_extension");
  auto library = os::DynamicLibrary::Load(library_name, os::DynamicLibrary::Search::kRestricted);
  if (!library)
    library = os::DynamicLibrary::Load(library_name, os::DynamicLibrary::Search::kDefault);
  if (!library) return 1;
  void* factory_address = library->Symbol(kCrashAgentFactoryName);
  if (factory_address == nullptr) return 1;
  const auto factory = reinterpret_cast<CreateCrashAgentFunction>(factory_address);
  // The agent's code runs for the rest of the process (its threads, the crash callback).
  library->KeepForever();

  state.agent = factory();
  CrashAgent* agent = state.agent;
  // An agent without its table of operations is as good as none.
  if (agent == nullptr || agent->operations == nullptr) return 0;
  const CrashAgentOperations& operations = *agent->operations;

  const std::u16string crash_directory = services.crash_data_directory();
  *state.process_name = record.process_name;
  const std::u16string& process_name = *state.process_name;
  const std::u16string report_version = Utf8ToWide(record.report_version);
  const std::u16string machine_identity = Utf8ToWide(services.machine_identity());
  const std::u16string pipe_name = CrashPipeName(record.exe_type, report_version);

  CrashAgentConfig config{};
  config.size = sizeof(CrashAgentConfig);
  config.handler_path = handler.c_str();
  config.data_directory = crash_directory.c_str();
  config.data_directory2 = crash_directory.c_str();
  config.application_id = kApplicationId;
  config.application_key = kApplicationKey;
  config.version = record.version.c_str();
  config.package_name = kPackageName;
  config.process_name = process_name.c_str();
  config.process_name2 = process_name.c_str();
  config.report_version = report_version.c_str();
  config.machine_identity = machine_identity.c_str();
  config.pipe_name = pipe_name.c_str();
  config.upload_delay = kUploadDelay;
  config.flag116 = 1;
  config.second_flag = record.second_flag ? 1 : 0;
  config.flag118 = 1;
  config.flag119 = 1;
  config.flag120 = 0;
  config.first_flag = record.first_flag ? 1 : 0;
  config.flag122 = 0;
  config.mode = 2;

  const std::int32_t started = operations.Start != nullptr ? operations.Start(agent, &config) : -1;
  if (operations.SetKeyValue != nullptr) operations.SetKeyValue(agent, "ui_language", "en");
  const std::uint32_t process_id = os::CurrentProcessId();
  if (started == 0 && operations.SetChannelValue != nullptr) {
    const std::u16string key = u"procname_by_procid_" + Utf8ToWide(std::to_string(process_id));
    operations.SetChannelValue(agent, pipe_name.c_str(), key.c_str(), Length(key),
                               process_name.c_str(), Length(process_name));
  }
  if (operations.EnableWithLimit != nullptr)
    operations.EnableWithLimit(agent, true, kDumpSizeLimit);
  if (operations.AttachProcess != nullptr) {
    operations.AttachProcess(agent, process_id, process_name.c_str(), Length(process_name),
                             crash_directory.c_str(), Length(crash_directory));
  }
  if (operations.SetCrashCallback != nullptr) {
    operations.SetCrashCallback(agent, record.crash_callback, nullptr);
  }
  return 0;
}

int InstallCrashReporter(const CrashReporterRecord& record) {
  return InstallCrashReporter(
      record, CrashReporterServices{&CrashDataDirectory, &base::tolq_guid::GetTolqGuid});
}

CrashReporterRecord LauncherCrashReporterRecord() {
  CrashReporterRecord record;
  record.exe_type = ExeType::kLauncher;
  record.first_flag = false;
  record.crash_callback = &LauncherCrashCallback;
  record.second_flag = false;
  record.version = InstallContext::Instance().LauncherVersion();
  record.report_version = ReportVersionString(ExeType::kLauncher);
  record.process_name = ExecutableBaseName(ExeType::kLauncher);
  return record;
}

std::u16string CrashEventParameters(std::u16string_view process_name) {
  std::u16string parameters = u"--report-process-crash-event \"";
  for (const char16_t c : process_name) {
    if (c == u'\\') {
      parameters += u"\\\\";
    } else if (c == u'"') {
      parameters += u"\\\"";
    } else {
      parameters.push_back(c);
    }
  }
  parameters += u"\" ";
  return parameters;
}

void ReportProcessCrashEvent(std::u16string_view process_name) {
  const InstallContext& context = InstallContext::Instance();
  const std::u16string assistant =
      os::PathJoin(os::PathJoin(context.ComponentFolder(ComponentId::kClient),
                                context.ComponentVersion(ComponentId::kClient)),
                   u"VelmoraAssistant.exe");
  // A status that cannot be read counts as missing.
  const os::PathKind kind = os::StatusOf(assistant);
  if (kind != os::PathKind::kOther && kind != os::PathKind::kDirectory) return;
  ShellExecuteOpen(assistant, CrashEventParameters(process_name), u"");
}

void LauncherCrashCallback() {
  ReportProcessCrashEvent(u"VelmoraLauncher");
}
