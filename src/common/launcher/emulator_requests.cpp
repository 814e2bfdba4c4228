#include "common/launcher/emulator_requests.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "base/global_mutex.h"
#include "base/logger.h"
#include "base/process_utils.h"
#include "base/text_encoding.h"
#include "base/trace_id.h"
#include "common/ipc/core/base/ipc_client.h"
#include "common/ipc/core/base/ipc_packet.h"
#include "common/ipc/launch_payload_records.h"
#include "common/launcher/action_hooks.h"
#include "install/registry_mark.h"
#include "launcher/src/cmdline/option_sets.h"
#include "os/named_objects.h"

// The request builders' lines belong to the request they build.
#define NOTIFY_LOG(format, ...)                                                               \
  ::Logger::Instance().Log(format, ::LogLocation{__FILE__, __LINE__, "NotifyCurrentTamrisk"}, \
                           ::os::CurrentThreadId() __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr std::u16string_view kQuittingEvent =
    u"EmulatorQuitting_{7B2F8A3C-E1D4-4F6A-9C5B-3D8E2A1F7B4C}";
constexpr char kEmulatorMutex[] = "F083FC96-54BA-42C2-B64E-D06896C1A58B";
constexpr std::u16string_view kVmReadyMutex = u"TOLQ_VM_READY_304766663";
constexpr std::u16string_view kHeadlessBoxProcess = u"DIZORedIzazudid.exe";
constexpr std::u16string_view kVmAccount = u"579FE840-5C10-4692-BA6E-4EC6861050D6";

constexpr std::uint32_t kQuittingPollMs = 500;
constexpr int kQuittingGiveUpMs = 30'000;

constexpr std::int32_t kInstallPackage = 20002;
constexpr std::int32_t kQuit = 20007;
constexpr std::int32_t kStartVm = 20009;
constexpr std::int32_t kStopVm = 20010;
constexpr std::int32_t kOpenPseudoProtocol = 20011;

bool SendToEmulator(std::int32_t message_id, nlohmann::json data) {
  auto packet = std::make_shared<ipc::IpcPacket>(ipc::kClientLauncher, ipc::kClientEmulator,
                                                 message_id, std::move(data));
  return HookedSendIpc(packet, true);
}

// The option's text as UTF-8 when it was given; empty text when not.
std::string Text(const cmdline::parser& options, std::u16string_view name) {
  if (!options.is_given(name)) return {};
  return WideToUtf8(options.value_of<std::u16string>(name).value_or(u""));
}

bool LaunchFromRecord(const std::u16string& record_text, const std::string& trace_id) {
  try {
    ipc::AppLaunchInfo info;
    ipc::ParsePayloadText(record_text).get_to(info);
    info.client_trace_id = trace_id;
    return HookedSendAndWait(info);
  } catch (const std::exception& e) {
    NOTIFY_LOG("json parse error, error message: {}", e.what());
    return false;
  }
}

bool LaunchByPackageName(const cmdline::parser& options, const std::string& trace_id) {
  ipc::AppLaunchInfo info;
  info.pkg_name = Text(options, u"launch-pkg-name");
  info.source = options.is_given(u"from") ? options.value_of<std::int32_t>(u"from").value_or(0) : 0;
  info.deep_link = Text(options, u"launch-deep-link");
  info.from_source = Text(options, u"from-source");
  if (options.is_given(u"launch-tv-series"))
    info.launch_tv_series = Text(options, u"launch-tv-series");
  info.launch_step = 1;
  info.launch_second_step = 1;
  info.client_trace_id = trace_id;
  const std::u16string extra =
      options.is_given(u"launch-extra-data")
          ? options.value_of<std::u16string>(u"launch-extra-data").value_or(u"")
          : u"";
  if (!extra.empty()) {
    try {
      info.extra_data = ipc::ParsePayloadText(extra);
    } catch (const nlohmann::json::exception& e) {
      NOTIFY_LOG("launch extra data parse error, error message: {}", e.what());
    }
  }
  if (!info.launch_tv_series.value_or("").empty()) {
    try {
      (void)nlohmann::json(info).dump();
    } catch (const nlohmann::json::exception&) {
      info.launch_tv_series = "";
    }
  }
  return HookedSendAndWait(info);
}

bool InstallFromRecord(const cmdline::parser& options) {
  try {
    ipc::InstallAppInfo info;
    ipc::ParsePayloadText(options.value_of<std::u16string>(u"install-app-info").value_or(u""))
        .get_to(info);
    if (options.is_given(u"oem")) info.oem = Text(options, u"oem");
    return SendToEmulator(kInstallPackage, nlohmann::json(info));
  } catch (const nlohmann::json::exception& e) {
    NOTIFY_LOG("json parse error, error message: {}", e.what());
    return false;
  }
}

bool VmRequest(const std::u16string& text, std::int32_t message_id, const char* what) {
  try {
    const std::string oem_name = ipc::ParsePayloadText(text).at("oem_name").get<std::string>();
    return SendToEmulator(message_id, nlohmann::json{{"oem_name", oem_name}});
  } catch (const nlohmann::json::exception& e) {
    NOTIFY_LOG("{} json parse error, error message: {}", what, e.what());
    return false;
  }
}

bool InstallByPath(const cmdline::parser& options) {
  ipc::InstallAppInfo info;
  info.pkg_name = Text(options, u"install-pkg-name");
  info.file_path = Text(options, u"install-file-path");
  info.from_source = Text(options, u"from-source");
  if (options.is_given(u"oem")) info.oem = Text(options, u"oem");
  return SendToEmulator(kInstallPackage, nlohmann::json(info));
}

// The emulator request set has no "pseudo-protocol": read it on a parser of its own.
std::optional<std::u16string> PseudoProtocolText(const std::vector<std::u16string>& arguments) {
  cmdline::parser options;
  options.declare_option<std::u16string>(u"pseudo-protocol", u"", u"");
  options.parse_arguments(arguments);
  if (!options.is_given(u"pseudo-protocol")) return std::nullopt;
  return options.value_of<std::u16string>(u"pseudo-protocol");
}

bool OpenPseudoProtocol(const std::u16string& text) {
  try {
    const std::string content = WideToUtf8(text);
    (void)ipc::ParsePayloadText(text).at("content").get<std::string>();
    return SendToEmulator(kOpenPseudoProtocol, nlohmann::json(content));
  } catch (const nlohmann::json::exception& e) {
    NOTIFY_LOG("json parse error, error message: {}", e.what());
    return false;
  }
}

bool NonEmpty(const cmdline::parser& options, std::u16string_view name) {
  return options.is_given(name) && !options.value_of<std::u16string>(name).value_or(u"").empty();
}

bool NotifyWithOptions(const std::string& trace_id, const cmdline::parser& options,
                       const std::vector<std::u16string>& arguments);

bool EmulatorIsReady() {
  auto vm_ready = os::NamedMutex::Open(kVmReadyMutex);
  if (!vm_ready.ok()) return true;
  vm_ready.object.Close();
  return FindProcessIdByName(kHeadlessBoxProcess) != 0 || IsVmWorkerRunning();
}

}  // namespace

int WaitEmulatorQuitting() {
  auto event = os::NamedEvent::Open(kQuittingEvent, os::ObjectAccess::kSynchronize);
  if (!event.ok()) return 0;
  int waited_ms = 0;
  while (true) {
    if (waited_ms > kQuittingGiveUpMs - 1) return -1;
    event.object.Close();
    HookedPause(kQuittingPollMs);
    waited_ms += static_cast<int>(kQuittingPollMs);
    event = os::NamedEvent::Open(kQuittingEvent, os::ObjectAccess::kSynchronize);
    if (!event.ok()) return waited_ms;
  }
}

bool IpcToEmulatorIfEnvReady() {
  LOG("[IpcToEmulatorIfEnvReady] Checking emulator quitting event before IPC...");
  const int waited = WaitEmulatorQuitting();
  if (waited > 0) {
    LOG("[IpcToEmulatorIfEnvReady] Emulator quitting event disappeared after {}ms, proceeding",
        waited);
  } else if (waited < 0) {
    LOG("[IpcToEmulatorIfEnvReady] Emulator quitting event still exists after timeout, proceeding "
        "anyway");
  } else {
    LOG("[IpcToEmulatorIfEnvReady] No emulator quitting event found, proceeding directly");
  }

  auto emulator = os::NamedMutex::Open(std::u16string(u"Global\\") + Utf8ToWide(kEmulatorMutex));
  const bool running = emulator.ok();
  if (running) emulator.object.Close();
  if (running && EmulatorIsReady()) {
    const std::string trace_id = NewTraceId();
    const bool sent = NotifyCurrentTamrisk(trace_id);
    if (sent) {
      LOG("[IpcToEmulatorIfEnvReady] query to tamrisk success, trace_id:{}", trace_id);
    } else {
      LOG("[IpcToEmulatorIfEnvReady] query to tamrisk failed, trace_id:{}", trace_id);
    }
    return sent;
  }
  if (IsGlobalMutexPresent(kEmulatorMutex)) {
    LOG("[IpcToEmulatorIfEnvReady] emulator env is abnormal");
  } else {
    LOG("[IpcToEmulatorIfEnvReady] emulator process not exist");
  }
  return false;
}

bool IsVmWorkerRunning() {
  const std::vector<std::uint32_t> workers = FindHyperVWorkerProcesses();
  if (workers.empty()) return false;
  if (!IsProcessElevated()) return true;
  for (const std::uint32_t id : workers) {
    std::u16string user;
    std::u16string domain;
    if (GetProcessOwner(id, user, domain) == kSOk && user == kVmAccount) return true;
  }
  return false;
}

bool NotifyCurrentTamrisk(const std::string& trace_id) {
  const std::vector<std::u16string> arguments = ProcessArguments();
  return NotifyWithOptions(trace_id, ParseEmulatorRequestOptions(arguments), arguments);
}

bool NotifyCurrentTamrisk(const std::string& trace_id,
                          const std::vector<std::u16string>& arguments) {
  cmdline::parser options;
  DeclareEmulatorRequestOptions(options);
  options.parse_arguments(arguments);
  return NotifyWithOptions(trace_id, options, arguments);
}

namespace {

bool NotifyWithOptions(const std::string& trace_id, const cmdline::parser& options,
                       const std::vector<std::u16string>& arguments) {
  // The rules catch what their JSON may raise; this is the last guard, so that text that cannot
  // be written (a value that is not valid UTF-8) fails the request instead of the launcher.
  try {
    if (NonEmpty(options, u"app-launch-info")) {
      return LaunchFromRecord(options.value_of<std::u16string>(u"app-launch-info").value_or(u""),
                              trace_id);
    }
    if (NonEmpty(options, u"launch-pkg-name")) return LaunchByPackageName(options, trace_id);
    if (NonEmpty(options, u"install-app-info")) return InstallFromRecord(options);
    if (NonEmpty(options, u"oem-start-vm")) {
      return VmRequest(options.value_of<std::u16string>(u"oem-start-vm").value_or(u""), kStartVm,
                       "StartVMInfo");
    }
    if (NonEmpty(options, u"oem-stop-vm")) {
      return VmRequest(options.value_of<std::u16string>(u"oem-stop-vm").value_or(u""), kStopVm,
                       "StopVMInfo");
    }
    if (NonEmpty(options, u"install-pkg-name") && NonEmpty(options, u"install-file-path")) {
      return InstallByPath(options);
    }
    if (const auto url = PseudoProtocolText(arguments); url && !url->empty()) {
      return OpenPseudoProtocol(*url);
    }
    if (options.is_given(u"quit") && options.value_of<bool>(u"quit").value_or(false)) {
      return SendToEmulator(kQuit, nlohmann::json(""));
    }
  } catch (const std::exception& e) {
    NOTIFY_LOG("json parse error, error message: {}", e.what());
  }
  return false;
}

}  // namespace

bool IsStopVmRequested() {
  cmdline::parser options;
  DeclareStopVmOptions(options);
  options.parse_arguments(ProcessArguments());
  return options.is_given(u"oem-stop-vm") &&
         !options.value_of<std::u16string>(u"oem-stop-vm").value_or(u"").empty();
}

bool IsSilentDesktopLink() {
  return RegistryMark(u"qrvnd.sdk.mark").IsSet() &&
         !RegistryMark(u"qrvnd.sdk.desktop_link.mark").IsSet() &&
         !RegistryMark(u"qrvnd.sdk.break.trayhidden.mark").IsSet();
}
