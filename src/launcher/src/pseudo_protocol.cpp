#include "launcher/src/pseudo_protocol.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "base/global_mutex.h"
#include "base/logger.h"
#include "base/process_utils.h"
#include "base/text_encoding.h"
#include "common/ipc/core/base/ipc_client.h"
#include "common/ipc/core/base/ipc_packet.h"
#include "common/ipc/launch_payload_records.h"
#include "common/launcher/action_hooks.h"
#include "common/launcher/emulator_requests.h"
#include "install/install_context.h"
#include "launcher/src/cmdline/option_sets.h"
#include "launcher/src/start_target.h"
#include "os/paths.h"

namespace {

constexpr char kClientMutex[] = "Velmora.exe";
constexpr std::int32_t kOpenUrl = 10003;
constexpr std::int32_t kShowWindow = 1000;
constexpr std::u16string_view kShortcutPrefix = u"Velmora://client/launchWithShortcut";

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::u16string ReplaceAll(std::u16string_view text, std::u16string_view from,
                          std::u16string_view to) {
  std::u16string out;
  std::size_t done = 0;
  for (std::size_t at = text.find(from); at != std::u16string_view::npos;
       at = text.find(from, done)) {
    out.append(text.substr(done, at - done)).append(to);
    done = at + from.size();
  }
  return out.append(text.substr(done));
}

bool SendUrl(const std::string& url) {
  auto packet = std::make_shared<ipc::IpcPacket>(ipc::kClientLauncher, ipc::kClientVelAppstore,
                                                 kOpenUrl, nlohmann::json{{"content", url}});
  try {
    return HookedSendIpc(packet, true);
  } catch (const std::exception&) {
    return false;  // text that is not valid UTF-8 cannot be written
  }
}

// "from" as an unsigned decimal number (blanks and a sign before it allowed, no 64-bit overflow).
std::optional<std::int32_t> SourceNumber(const std::u16string& text) {
  const std::string narrow = WideToUtf8(text);
  if (narrow.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(narrow.c_str(), &end, 10);
  if (end == narrow.c_str() || errno == ERANGE) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

bool ForwardWithOptions(const cmdline::parser& options);

}  // namespace

void LaunchSchema(const std::u16string& url) {
  LOG("[info] pseudo protocol {}", WideToUtf8(url));
  const bool notification =
      Lower(WideToUtf8(url)).find("tamrisk_toast_task_id") != std::string::npos;
  const std::u16string target = notification ? u"VelmoraAssistant.exe" : u"Velmora.exe";
  const std::string text = WideToUtf8(notification ? ReplaceAll(url, u"%c(26)", u"&") : url);
  if (!notification && IsGlobalMutexPresent(kClientMutex)) {
    if (!SendUrl(text)) LOG("[error] pseudo protocol {} ipc failed!!", WideToUtf8(url));
    return;
  }
  const std::u16string program = os::PathJoin(InstallContext::Instance().AppDirectory(), target);
  ShellExecuteOpen(program, Options(std::map<std::string, std::string>{{"pseudo-protocol", text}}),
                   u"");
}

bool ForwardToRunningClient() {
  if (!IsGlobalMutexPresent(kClientMutex)) return false;
  return ForwardWithOptions(ParseClientForwardOptions());
}

bool ForwardToRunningClient(const std::vector<std::u16string>& arguments) {
  cmdline::parser options;
  DeclareClientForwardOptions(options);
  options.parse_arguments(arguments);
  return ForwardWithOptions(options);
}

namespace {

bool ForwardWithOptions(const cmdline::parser& options) {
  std::u16string url = options.is_given(u"pseudo-protocol")
                           ? options.value_of<std::u16string>(u"pseudo-protocol").value_or(u"")
                           : u"";
  if (!url.empty()) {
    if (url.starts_with(kShortcutPrefix) && IsSilentDesktopLink()) url += u"&silent=1";
    return SendUrl(WideToUtf8(url));
  }
  if (options.is_given(u"silent")) return true;
  ipc::ShowWindowInfo show;
  if (options.is_given(u"from")) {
    show.source = SourceNumber(options.value_of<std::u16string>(u"from").value_or(u""));
  }
  auto packet = std::make_shared<ipc::IpcPacket>(ipc::kClientLauncher, ipc::kClientVelAppstore,
                                                 kShowWindow, nlohmann::json(show));
  return HookedSendIpc(packet, true);
}

}  // namespace
