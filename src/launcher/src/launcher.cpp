#include "launcher/src/launcher.h"

#include <fmt/format.h>

#include <utility>

#include "base/logger.h"
#include "base/text_encoding.h"
#include "common/launcher/emulator_requests.h"
#include "install/install_context.h"
#include "launcher/src/activation_reports.h"
#include "launcher/src/cmdline/option_sets.h"
#include "launcher/src/pseudo_protocol.h"
#include "launcher/src/start_target.h"

namespace {

constexpr std::u16string_view kClient = u"Velmora.exe";
constexpr std::u16string_view kEmulator = u"VelmoraEmulator.exe";

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

// A payload option's JSON read into a fresh record. Text that is not JSON (or nests too deep), or
// lacks a required key, leaves the caller's record at its defaults, without a log line: the
// request goes on.
template <typename Record>
void ReadPayload(const std::u16string& text, Record& record) {
  try {
    Record read = ipc::ParsePayloadText(text).template get<Record>();
    record = std::move(read);
  } catch (const nlohmann::json::exception&) {
  }
}

std::u16string TextOption(const cmdline::parser& options, std::u16string_view name) {
  return options.value_of<std::u16string>(name).value_or(u"");
}

// The first argument that merely contains the option's name counts, dashes or not; the walk stops
// there even when no argument follows it.
std::u16string TargetNameOf(int argc, const char16_t* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::u16string_view(argv[i]).find(u"launch-proc-name") != std::u16string_view::npos) {
      return i + 1 < argc ? argv[i + 1] : u"";
    }
  }
  return {};
}

bool ShouldSuppressLaunch(const std::u16string& key) {
  return InstallContext::Instance().ShouldSuppressLaunch(key);
}

}  // namespace

const LaunchActions& DefaultLaunchActions() {
  static const LaunchActions actions{
      LaunchSchema,
      ForwardToRunningClient,
      IpcToEmulatorIfEnvReady,
      IsStopVmRequested,
      ShouldSuppressLaunch,
      StartTarget,
      ReportSuccessfulActivateLauncherExe,
      ReportSuccessfulActiveMarketProcessExe,
      ReportkFailPullMarketProcessExe,
  };
  return actions;
}

void LaunchTarget(int argc, const char16_t* const* argv) {
  LaunchTarget(argc, argv, DefaultLaunchActions());
}

void LaunchTarget(int argc, const char16_t* const* argv, const LaunchActions& actions) {
  if (argc < 2) {
    LOG("[error] argc < 2");
    return;
  }
  // A lone URL of the product's scheme (this exact letter case) goes on unparsed.
  if (argc == 2 && std::u16string_view(argv[1]).substr(0, 10) == u"velmora://") {
    actions.launch_schema(argv[1]);
    return;
  }

  LaunchRequest request;
  request.argc = argc;
  request.argv = argv;
  DeclareDispatchOptions(request.options);
  // Problems of the command line stay inside the parser: what is given decides.
  request.options.parse_arguments(argc, argv);
  const cmdline::parser& options = request.options;

  if (options.is_given(u"local-install")) {
    const std::string path = UrlEncode(WideToUtf8(TextOption(options, u"local-install")));
    actions.launch_schema(Utf8ToWide(fmt::format("Velmora://app/localInstall?path={}", path)));
    return;
  }
  if (options.is_given(u"context-menu-search")) {
    const std::string extension =
        WideToUtf8(FileNameExtension(TextOption(options, u"context-menu-search")));
    // The query sits inside the encoded "url" parameter and is encoded once more for it; the
    // suffix is a parameter of its own and goes in as it is.
    const std::string url =
        fmt::format(
            "Velmora://client/gotoRoute?feature=context_menu&url=%2FsearchResult%3Fq%3D{}%26from%"
            "3Dclient",
            UrlEncode(extension)) +
        fmt::format("&file_source=-1&search_jump_from=0&file_suffix={}&need_splicing=1", extension);
    actions.launch_schema(Utf8ToWide(url));
    return;
  }
  if (options.is_given(u"context-menu-uninstall")) {
    // The menu knows one name, the package of the shortcut, and the uninstall page takes the
    // app's installed name and its store name: the one name fills both, so the page can find the
    // app by either.
    const std::string package =
        UrlEncode(WideToUtf8(TextOption(options, u"context-menu-uninstall")));
    actions.launch_schema(Utf8ToWide(fmt::format(
        "Velmora://client/gotoUninstallPage?feature=context_menu_uninstall&local_pkgname={}&"
        "pkgname={}",
        package, package)));
    return;
  }

  // Otherwise a launch request. Its log lines stay in this function: they carry its name.
  request.target_name = TargetNameOf(argc, argv);
  if (options.is_given(u"launch-pkg-name")) {
    request.package_name = TextOption(options, u"launch-pkg-name");
  }
  if (options.is_given(u"install-app-info")) {
    ReadPayload(TextOption(options, u"install-app-info"), request.install_record);
    request.engine_type = request.install_record.engine_type.value_or(request.engine_type);
  }
  if (options.is_given(u"app-launch-info")) {
    ReadPayload(TextOption(options, u"app-launch-info"), request.launch_record);
    request.engine_type = request.launch_record.engine_type.value_or(request.engine_type);
  }
  const std::u16string suppression_key = !request.package_name.empty()
                                             ? request.package_name
                                             : Utf8ToWide(request.launch_record.pkg_name);

  const bool for_emulator = request.target_name == kEmulator;
  const bool for_client = request.target_name == kClient;
  // Suppression comes before any other work for the emulator, and handing the request to a
  // running process is always tried before anything is started.
  if (for_emulator && actions.should_suppress_launch(suppression_key)) {
    LOG("[launcher] launch debounced pkgname:{}, skip.", WideToUtf8(suppression_key));
    return;
  }
  if (for_emulator && actions.ipc_to_emulator_if_env_ready()) {
    LOG("IpcToEmulatorIfEnvReady success.");
    return;
  }
  // Sent for every client request, before it is known whether the client runs.
  if (for_client) {
    actions.report_successful_activate_launcher_exe(request.package_name, request.from);
  }
  if (for_client && actions.forward_to_running_client()) {
    actions.report_successful_active_market_process_exe(request.package_name, request.from);
    return;
  }
  // A request to stop the virtual machine never starts the emulator.
  if (for_emulator && actions.is_stop_vm_requested()) return;

  const StartOutcome outcome = actions.start_target(request);
  // The start may have changed the target name; the reports go by the name it used.
  if (request.target_name != kClient) return;
  if (outcome.success) {
    actions.report_successful_active_market_process_exe(request.package_name, request.from);
  } else {
    actions.report_fail_pull_market_process_exe(request.package_name, request.from,
                                                static_cast<std::int32_t>(outcome.error_code));
  }
}

std::string UrlEncode(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= 'a' && byte <= 'z')) {
      out.push_back(c);
    } else if (byte == ' ' || (byte >= '\t' && byte <= '\r')) {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kDigits[byte >> 4]);
      out.push_back(kDigits[byte & 0x0F]);
    }
  }
  return out;
}

std::u16string FileNameExtension(std::u16string_view path) {
  // A root name is not a file name: "C:" before a relative name, "\\server" (or a "\\?" or
  // "\\." prefix) at the start.
  if (path.size() >= 2 && path[1] == u':' &&
      ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'))) {
    path.remove_prefix(2);
  } else if (path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
             !IsSeparator(path[2])) {
    std::size_t root_end = 3;
    if (!((path[2] == u'?' || path[2] == u'.') && (path.size() == 3 || IsSeparator(path[3])))) {
      while (root_end < path.size() && !IsSeparator(path[root_end])) ++root_end;
    }
    path.remove_prefix(root_end);
  }
  std::size_t start = path.size();
  while (start > 0 && !IsSeparator(path[start - 1])) --start;
  std::u16string_view name = path.substr(start);
  // An alternate data stream ends the file name.
  name = name.substr(0, name.find(u':'));
  if (name.size() <= 1 || name == u"..") return {};
  const std::size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0) return {};
  return std::u16string(name.substr(dot));
}
