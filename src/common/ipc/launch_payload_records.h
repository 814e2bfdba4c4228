#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// The payloads of the requests the launcher relays, with their JSON forms. The JSON text of the
// launch and install records also arrives on the launcher's command line.
//
// Required fields are always written, and reading fails with the JSON library's error when one is
// missing or of the wrong type; reading goes in field order, so the fields before the failing one
// keep what was read. Optional fields are written only when they hold a value, and read only when
// the key is there, not null and converts: any conversion error, a nested record lacking one of
// its own required keys included, is swallowed and leaves the field as it was. Integers go through
// the library's conversions (a -1 read into an unsigned field wraps; it is not rejected).
// Enumerations are 32-bit integers whose values belong to the actions that fill the records.
namespace ipc {

struct OpenFileInfo {
  std::string file_path;  // required
  std::string mime_type;  // required
};

struct OwnerWindowInfo {  // every field required
  std::uint64_t owner_win_handle = 0;
  float owner_dpi = 0;  // any JSON number, kept in single precision
  std::int32_t owner_x = 0;
  std::int32_t owner_y = 0;
  std::int32_t owner_cx = 0;
  std::int32_t owner_cy = 0;
};

// A request to launch an app in the emulator.
struct AppLaunchInfo {
  std::string pkg_name;  // required
  std::optional<std::uint32_t> rotation = 0u;
  std::optional<std::int32_t> source;
  std::optional<std::string> deep_link;
  std::optional<std::string> from_source;
  std::optional<std::uint32_t> app_category;
  std::optional<std::int32_t> orientation;
  std::optional<std::uint32_t> display_id;
  std::optional<nlohmann::json> extra_data;  // any JSON value, copied unchanged
  std::optional<std::uint32_t> hash_code;
  std::optional<std::string> app_name;
  std::optional<std::string> from_pkg_name;
  std::optional<std::string> notification_id;
  std::optional<bool> show_keymap_sidebar;
  std::optional<std::string> keymap_sidebar_url;
  std::optional<bool> is_redirect_url;
  std::optional<std::string> master_community_cmd;
  std::optional<OpenFileInfo> open_file;
  std::optional<bool> qrvnd_desktop_link_onclose;
  std::optional<OwnerWindowInfo> qb_param;
  std::optional<std::int32_t> app_pullup_type;
  std::optional<std::string> oem_product;
  std::optional<std::string> specific_behavior;
  std::optional<std::string> launch_tv_series;
  std::optional<std::string> app_inner_shortcut;
  std::optional<std::string> report_info;
  std::optional<std::string> action_type;
  std::optional<std::string> update_type;
  std::optional<std::string> window_config;
  std::optional<std::int32_t> engine_type = 2;
  std::optional<bool> show_full_screen = false;
  std::optional<bool> show_maximum = false;
  std::optional<std::int32_t> launch_from_tips;
  std::optional<bool> is_premium_game = false;
  std::optional<std::uint32_t> channel_id;
  std::optional<std::int32_t> launch_step;
  std::optional<std::int32_t> launch_second_step;
  // Names the launch event pair the emulator signals; missing or empty: nobody waits.
  std::optional<std::string> client_trace_id;
};

struct StepCounter {  // every field required
  std::int32_t step = 0;
  std::uint64_t time = 0;
};

struct InstallLinkInfo {
  std::string session_id;    // required
  std::string install_from;  // required
  std::string pkg_name;      // required
  std::optional<StepCounter> step_counter;
};

// A request to install a package. Unlike AppLaunchInfo, "version_code" and "source" are text here.
struct InstallAppInfo {
  std::string pkg_name;  // required
  std::optional<std::string> version_code;
  std::optional<std::string> version_name;
  std::string icon;  // required
  std::string name;  // required
  std::optional<std::string> md5;
  std::string engine_name;  // required
  std::string file_path;    // required
  std::optional<std::string> json_data;
  std::optional<std::int32_t> state = 0;
  std::optional<std::string> from_source;
  std::optional<std::string> oem;
  std::optional<std::int32_t> shield_shortcut;
  std::optional<InstallLinkInfo> link_info;
  std::optional<std::string> app_inner_shortcut;
  std::optional<std::string> action_type;
  std::optional<std::string> update_type;
  std::optional<std::int32_t> engine_type = 2;
  std::optional<bool> force_install;
  std::optional<std::string> install_session_id;
  std::optional<std::string> app_install_dir;
  std::optional<std::string> source;
  std::optional<bool> em_managed;
};

// A request to the client to show its window. Only ever written.
struct ShowWindowInfo {
  std::int32_t cmd_show = 0;  // required
  std::optional<std::int32_t> source;
};

// The deepest nesting of arrays and objects accepted in payload text. Copying and writing a JSON
// value recurse once per level, and a command line has room for text nested over ten thousand
// deep: enough to overflow the main thread's stack in the launcher and in whoever it forwards to.
inline constexpr int kMaxPayloadDepth = 512;

// Payload text (UTF-16, as it comes from a command line) parsed as JSON. Text that is not JSON,
// or that nests deeper than kMaxPayloadDepth, raises the JSON library's parse error.
nlohmann::json ParsePayloadText(std::u16string_view text);

void to_json(nlohmann::json& j, const OpenFileInfo& record);
void from_json(const nlohmann::json& j, OpenFileInfo& record);
void to_json(nlohmann::json& j, const OwnerWindowInfo& record);
void from_json(const nlohmann::json& j, OwnerWindowInfo& record);
void to_json(nlohmann::json& j, const AppLaunchInfo& record);
void from_json(const nlohmann::json& j, AppLaunchInfo& record);
void to_json(nlohmann::json& j, const StepCounter& record);
void from_json(const nlohmann::json& j, StepCounter& record);
void to_json(nlohmann::json& j, const InstallLinkInfo& record);
void from_json(const nlohmann::json& j, InstallLinkInfo& record);
void to_json(nlohmann::json& j, const InstallAppInfo& record);
void from_json(const nlohmann::json& j, InstallAppInfo& record);
void to_json(nlohmann::json& j, const ShowWindowInfo& record);

}  // namespace ipc
