#include "common/ipc/launch_payload_records.h"

namespace ipc {
namespace {

using nlohmann::json;

// Writing and reading walk the same field list (the Visit functions below), so the order in
// which fields are read, which decides what a failed read leaves behind, cannot drift from the
// order of the record.
struct Writer {
  json& j;

  template <typename T>
  void operator()(const char* key, const T& value) {
    j[key] = value;
  }
  template <typename T>
  void operator()(const char* key, const std::optional<T>& value) {
    if (value) j[key] = *value;
  }
};

struct Reader {
  const json& j;

  template <typename T>
  void operator()(const char* key, T& value) {
    j.at(key).get_to(value);
  }
  template <typename T>
  void operator()(const char* key, std::optional<T>& value) {
    const auto found = j.find(key);
    if (found == j.end() || found->is_null()) return;
    try {
      value = found->template get<T>();
    } catch (const json::exception&) {
      // A wrong optional member never fails the record.
    }
  }
};

template <typename Record, typename Visitor>
void Visit(Record& r, Visitor&& v, OpenFileInfo*) {
  v("file_path", r.file_path);
  v("mime_type", r.mime_type);
}

template <typename Record, typename Visitor>
void Visit(Record& r, Visitor&& v, OwnerWindowInfo*) {
  v("owner_win_handle", r.owner_win_handle);
  v("owner_dpi", r.owner_dpi);
  v("owner_x", r.owner_x);
  v("owner_y", r.owner_y);
  v("owner_cx", r.owner_cx);
  v("owner_cy", r.owner_cy);
}

template <typename Record, typename Visitor>
void Visit(Record& r, Visitor&& v, AppLaunchInfo*) {
  v("pkg_name", r.pkg_name);
  v("rotation", r.rotation);
  v("source", r.source);
  v("deep_link", r.deep_link);
  v("from_source", r.from_source);
  v("app_category", r.app_category);
  v("orientation", r.orientation);
  v("display_id", r.display_id);
  v("extra_data", r.extra_data);
  v("hash_code", r.hash_code);
  v("app_name", r.app_name);
  v("from_pkg_name", r.from_pkg_name);
  v("notification_id", r.notification_id);
  v("show_keymap_sidebar", r.show_keymap_sidebar);
  v("keymap_sidebar_url", r.keymap_sidebar_url);
  v("is_redirect_url", r.is_redirect_url);
  v("master_community_cmd", r.master_community_cmd);
  v("open_file", r.open_file);
  v("qrvnd_desktop_link_onclose", r.qrvnd_desktop_link_onclose);
  v("qb_param", r.qb_param);
  v("app_pullup_type", r.app_pullup_type);
  v("oem_product", r.oem_product);
  v("specific_behavior", r.specific_behavior);
  v("launch_tv_series", r.launch_tv_series);
  v("app_inner_shortcut", r.app_inner_shortcut);
  v("report_info", r.report_info);
  v("action_type", r.action_type);
  v("update_type", r.update_type);
  v("window_config", r.window_config);
  v("engine_type", r.engine_type);
  v("show_full_screen", r.show_full_screen);
  v("show_maximum", r.show_maximum);
  v("launch_from_tips", r.launch_from_tips);
  v("is_premium_game", r.is_premium_game);
  v("channel_id", r.channel_id);
  v("launch_step", r.launch_step);
  v("launch_second_step", r.launch_second_step);
  v("client_trace_id", r.client_trace_id);
}

template <typename Record, typename Visitor>
void Visit(Record& r, Visitor&& v, StepCounter*) {
  v("step", r.step);
  v("time", r.time);
}

template <typename Record, typename Visitor>
void Visit(Record& r, Visitor&& v, InstallLinkInfo*) {
  v("session_id", r.session_id);
  v("install_from", r.install_from);
  v("pkg_name", r.pkg_name);
  v("step_counter", r.step_counter);
}

template <typename Record, typename Visitor>
void Visit(Record& r, Visitor&& v, InstallAppInfo*) {
  v("pkg_name", r.pkg_name);
  v("version_code", r.version_code);
  v("version_name", r.version_name);
  v("icon", r.icon);
  v("name", r.name);
  v("md5", r.md5);
  v("engine_name", r.engine_name);
  v("file_path", r.file_path);
  v("json_data", r.json_data);
  v("state", r.state);
  v("from_source", r.from_source);
  v("oem", r.oem);
  v("shield_shortcut", r.shield_shortcut);
  v("link_info", r.link_info);
  v("app_inner_shortcut", r.app_inner_shortcut);
  v("action_type", r.action_type);
  v("update_type", r.update_type);
  v("engine_type", r.engine_type);
  v("force_install", r.force_install);
  v("install_session_id", r.install_session_id);
  v("app_install_dir", r.app_install_dir);
  v("source", r.source);
  v("em_managed", r.em_managed);
}

template <typename Record, typename Visitor>
void Visit(Record& r, Visitor&& v, ShowWindowInfo*) {
  v("cmd_show", r.cmd_show);
  v("source", r.source);
}

template <typename Record>
void Write(json& j, const Record& record) {
  j = json::object();
  Visit(record, Writer{j}, static_cast<Record*>(nullptr));
}

template <typename Record>
void Read(const json& j, Record& record) {
  Visit(record, Reader{j}, static_cast<Record*>(nullptr));
}

}  // namespace

json ParsePayloadText(std::u16string_view text) {
  const auto limit_depth = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        depth >= kMaxPayloadDepth) {
      throw json::parse_error::create(
          101, 0, "nesting deeper than " + std::to_string(kMaxPayloadDepth) + " levels", nullptr);
    }
    return true;
  };
  return json::parse(text.begin(), text.end(), limit_depth);
}

void to_json(json& j, const OpenFileInfo& record) {
  Write(j, record);
}
void from_json(const json& j, OpenFileInfo& record) {
  Read(j, record);
}
void to_json(json& j, const OwnerWindowInfo& record) {
  Write(j, record);
}
void from_json(const json& j, OwnerWindowInfo& record) {
  Read(j, record);
}
void to_json(json& j, const AppLaunchInfo& record) {
  Write(j, record);
}
void from_json(const json& j, AppLaunchInfo& record) {
  Read(j, record);
}
void to_json(json& j, const StepCounter& record) {
  Write(j, record);
}
void from_json(const json& j, StepCounter& record) {
  Read(j, record);
}
void to_json(json& j, const InstallLinkInfo& record) {
  Write(j, record);
}
void from_json(const json& j, InstallLinkInfo& record) {
  Read(j, record);
}
void to_json(json& j, const InstallAppInfo& record) {
  Write(j, record);
}
void from_json(const json& j, InstallAppInfo& record) {
  Read(j, record);
}
void to_json(json& j, const ShowWindowInfo& record) {
  Write(j, record);
}

}  // namespace ipc
