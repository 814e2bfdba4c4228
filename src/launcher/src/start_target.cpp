#include "launcher/src/start_target.h"

#include <array>
#include <memory>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/global_mutex.h"
#include "base/logger.h"
#include "base/process_utils.h"
#include "base/text_encoding.h"
#include "base/trace_id.h"
#include "common/ipc/core/base/ipc_client.h"
#include "common/ipc/core/base/ipc_packet.h"
#include "common/launcher/action_hooks.h"
#include "common/launcher/emulator_requests.h"
#include "install/install_context.h"
#include "install/product.h"
#include "launcher/src/cmdline/option_sets.h"
#include "os/paths.h"
#include "os/process.h"

// Starting the target is the dispatch's last step, and its lines read as the dispatch's own.
#define DISPATCH_LOG(format, ...)                                                     \
  ::Logger::Instance().Log(format, ::LogLocation{__FILE__, __LINE__, "LaunchTarget"}, \
                           ::os::CurrentThreadId() __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr std::u16string_view kEmulator = u"VelmoraEmulator.exe";
constexpr std::u16string_view kClient = u"Velmora.exe";
constexpr std::u16string_view kShortcutPrefix = u"Velmora://client/launchWithShortcut";
constexpr char kEmulatorMutex[] = "F083FC96-54BA-42C2-B64E-D06896C1A58B";
constexpr char kClientMutex[] = "Velmora.exe";
constexpr std::int32_t kStartRequest = 40007;
constexpr int kAnnouncePolls = 15;
constexpr std::uint32_t kAnnouncePollMs = 200;
constexpr std::int32_t kPlaceholderExitCode = 1168;
constexpr os::ErrorCode kErrorInvalidName = 123;

template <typename Text>
Text Escaped(Text text) {
  Text out;
  for (const auto c : text) {
    if (c == '\\') out.push_back(c);
    out.push_back(c);
  }
  Text quoted;
  for (const auto c : out) {
    if (c == '"') quoted.push_back('\\');
    quoted.push_back(c);
  }
  return quoted;
}

// Four dot-separated unsigned decimal numbers; text after the fourth is ignored.
std::optional<std::array<unsigned long long, 4>> ReadVersion(std::u16string_view text) {
  std::array<unsigned long long, 4> fields{};
  std::size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (at >= text.size() || text[at] != u'.') return std::nullopt;
      ++at;
    }
    const std::size_t start = at;
    unsigned long long value = 0;
    while (at < text.size() && text[at] >= u'0' && text[at] <= u'9') {
      value = value * 10 + static_cast<unsigned long long>(text[at] - u'0');
      if (value > 0xFFFFFFFFull) return std::nullopt;
      ++at;
    }
    if (at == start) return std::nullopt;
    fields[static_cast<std::size_t>(i)] = value;
  }
  return fields;
}

std::u16string LastComponent(const std::u16string& path) {
  std::size_t end = path.size();
  while (end > 0 && (path[end - 1] == u'\\' || path[end - 1] == u'/')) --end;
  const std::size_t slash = path.find_last_of(u"\\/", end == 0 ? 0 : end - 1);
  const std::size_t begin = slash == std::u16string::npos ? 0 : slash + 1;
  return path.substr(begin, end - begin);
}

const std::u16string& LauncherVersion() {
  static const std::u16string version = FileVersionString(ModulePath());
  return version;
}

TokenFacts ReadTokenFacts() {
  TokenFacts facts;
  facts.elevation_type = static_cast<std::uint32_t>(os::OwnElevationType());
  if (facts.elevation_type == 3) {
    facts.linked_token_is_admin = os::LinkedTokenIsAdministrator();
  } else {
    facts.shell_user_is_admin = os::ShellUserIsAdmin();
  }
  return facts;
}

bool SendStartRequest(ipc::IpcClientId to, const nlohmann::json& payload) {
  auto packet = std::make_shared<ipc::IpcPacket>(ipc::kClientLauncher, to, kStartRequest, payload);
  return HookedSendIpc(packet, true);
}

bool AwaitAnnouncement(const char* mutex_name) {
  for (int i = 0; i < kAnnouncePolls; ++i) {
    HookedPause(kAnnouncePollMs);
    if (IsGlobalMutexPresent(mutex_name)) return true;
  }
  return false;
}

std::string RecordText(const ipc::AppLaunchInfo& record) {
  return nlohmann::json(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::u16string Quote(std::u16string_view text) {
  return u"\"" + Escaped(std::u16string(text)) + u"\" ";
}

std::u16string Quote(std::string_view text) {
  return Utf8ToWide("\"" + Escaped(std::string(text)) + "\" ");
}

std::u16string Options(const std::map<std::u16string, std::u16string>& options) {
  std::u16string text;
  for (const auto& [name, value] : options) text += u"--" + name + u" " + Quote(value);
  return text;
}

std::u16string Options(const std::map<std::string, std::string>& options) {
  std::u16string text;
  for (const auto& [name, value] : options) {
    text += Utf8ToWide(fmt::format("--{} ", name)) + Quote(std::string_view(value));
  }
  return text;
}

bool IsSafeTargetName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  return name.find_first_of(u"\\/:") == std::u16string_view::npos;
}

bool ServiceWayAllowed(const TokenFacts& facts) {
  if (!facts.elevation_type) return true;
  if (*facts.elevation_type == 3) {
    return !facts.linked_token_is_admin.has_value() || *facts.linked_token_is_admin;
  }
  if (!facts.shell_user_is_admin.value_or(false)) return false;
  return *facts.elevation_type != 1 && *facts.elevation_type != 2;
}

std::function<TokenFacts()>& TokenFactsSource() {
  static std::function<TokenFacts()> source = ReadTokenFacts;
  return source;
}

bool RequestServiceStart(const std::u16string& target_name, const std::u16string& command_line) {
  if (!ServiceWayAllowed(TokenFactsSource()())) return false;
  nlohmann::json payload{{"name", WideToUtf8(target_name)}, {"param", WideToUtf8(command_line)}};
  if (SendStartRequest(ipc::kClientService, payload)) {
    if (target_name == kEmulator) {
      if (AwaitAnnouncement(kEmulatorMutex)) return true;
    } else if (target_name == kClient) {
      if (AwaitAnnouncement(kClientMutex)) return true;
    } else {
      return true;
    }
  }
  if (target_name == kClient) return false;
  return SendStartRequest(ipc::kClientVelAppstore, payload);
}

std::u16string FixUpAppFolder(const std::u16string& folder, const std::u16string& launcher_path,
                              const std::u16string& launcher_version) {
  const auto folder_version = ReadVersion(LastComponent(folder));
  const auto own_version = ReadVersion(launcher_version);
  if (!folder_version || !own_version || !(*folder_version < *own_version)) return folder;
  const auto& v = *folder_version;
  if (v[0] != 5 || v[1] != 10 || v[2] >= 2100) return folder;
  const std::u16string candidate = os::PathJoin(ParentDirectory(launcher_path), launcher_version);
  if (os::StatusOf(os::PathJoin(candidate, kEmulator)) != os::PathKind::kOther) return folder;
  DISPATCH_LOG("[warning]: fix tamrisk path: old={}, new={}", WideToUtf8(folder),
               WideToUtf8(candidate));
  return candidate;
}

StartOutcome StartTarget(LaunchRequest& request) {
  std::u16string forwarded;
  bool silent_link_known = false;
  bool silent_link = false;
  const auto silent_desktop_link = [&] {
    if (!silent_link_known) silent_link = IsSilentDesktopLink();
    silent_link_known = true;
    return silent_link;
  };
  for (int i = 1; i < request.argc; ++i) {
    std::u16string argument = request.argv[i];
    if (argument.find(u"launch-proc-name") != std::u16string::npos) {
      if (i + 1 < request.argc) request.target_name = request.argv[++i];
      continue;
    }
    if (argument.starts_with(u"--")) {
      forwarded += argument + u" ";
      continue;
    }
    if (argument.starts_with(kShortcutPrefix) && silent_desktop_link()) argument += u"&silent=1";
    forwarded += Quote(argument);
  }
  // Checked on the name the walk settled on: the launcher starts nothing outside its folder.
  if (!IsSafeTargetName(request.target_name)) {
    DISPATCH_LOG("[launcher] refused target name:{}", WideToUtf8(request.target_name));
    return {false, kErrorInvalidName};
  }
  if (request.options.is_given(u"pseudo-protocol") &&
      request.options.value_of<std::u16string>(u"pseudo-protocol")
          .value_or(u"")
          .starts_with(kShortcutPrefix) &&
      silent_desktop_link()) {
    forwarded += u" --silent \"1\"";
  }

  std::map<std::u16string, std::u16string> options{
      {u"tamrisk_launcher_start_time", Utf8ToWide(std::to_string(ProcessStartTimeMs()))}};
  const bool emulator = request.target_name == kEmulator;
  if (emulator && !request.options.is_given(u"app-launch-info") && !request.package_name.empty()) {
    DISPATCH_LOG("need fix emulator app-launch-info arguments");
    request.launch_record.pkg_name = WideToUtf8(request.package_name);
    request.launch_record.engine_type = request.engine_type;
    request.launch_record.client_trace_id = NewTraceId();
    request.launch_record.launch_step = 1;
    request.launch_record.launch_second_step = 2;
    options[u"app-launch-info"] = Utf8ToWide(RecordText(request.launch_record));
  }
  const std::u16string base = forwarded;
  forwarded += Options(options);

  if (emulator) {
    DISPATCH_LOG("[launcher] Checking emulator quitting event before launch...");
    const int waited = WaitEmulatorQuitting();
    if (waited > 0) {
      DISPATCH_LOG(
          "[launcher] Emulator quitting event disappeared after {}ms, proceeding to launch",
          waited);
    } else if (waited == 0) {
      DISPATCH_LOG("[launcher] No emulator quitting event found, proceeding directly");
    } else {
      DISPATCH_LOG(
          "[launcher] Emulator quitting event still exists after timeout, proceeding anyway");
    }
  }

  const bool suc = RequestServiceStart(request.target_name, forwarded);
  DISPATCH_LOG("[target]:{},[cmd]:{},[suc]:{}", WideToUtf8(request.target_name),
               WideToUtf8(forwarded), suc);
  if (suc) return {true, os::kErrorSuccess};

  request.launch_record.launch_second_step = 3;
  options[u"app-launch-info"] = Utf8ToWide(RecordText(request.launch_record));
  const std::u16string direct = base + Options(options);

  DeclareDispatchRestartOptions(request.options);
  request.options.parse_arguments(request.argc, request.argv);
  const std::u16string from = request.options.value_of<std::u16string>(u"from").value_or(u"");
  const bool keep = request.options.is_given(u"silent") && emulator &&
                    request.options.is_given(u"from") && (from == u"9" || from == u"14");
  std::u16string command_line = keep ? forwarded : direct;

  const std::u16string folder =
      FixUpAppFolder(InstallContext::Instance().AppDirectory(), ModulePath(), LauncherVersion());
  command_line +=
      Options(std::map<std::u16string, std::u16string>{{u"emulator-launch-from", u"1"}});
  const std::u16string program = os::PathJoin(folder, request.target_name);
  const os::ErrorCode error = ShellExecuteOpen(program, command_line, folder);
  DISPATCH_LOG("[result]:{}, [exit_code]:{}", error, kPlaceholderExitCode);
  if (error != os::kErrorSuccess && os::StatusOf(program) == os::PathKind::kMissing) {
    DISPATCH_LOG("[no exist]:{}", WideToUtf8(program));
  }
  return {error == os::kErrorSuccess, error};
}
