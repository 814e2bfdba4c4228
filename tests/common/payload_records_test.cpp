#include <gtest/gtest.h>

#include <string>

#include "common/ipc/launch_payload_records.h"

namespace {

using nlohmann::json;

template <typename Record>
Record Read(const char* text) {
  return json::parse(text).get<Record>();
}

template <typename Record>
std::string Written(const Record& record) {
  return json(record).dump();
}

TEST(AppLaunchInfo, FreshRecordWritesItsDefaults) {
  ipc::AppLaunchInfo record;
  record.pkg_name = "com.example.app";
  const std::string expected =
      R"({"engine_type":2,"is_premium_game":false,"pkg_name":"com.example.app","rotation":0,)"
      R"("show_full_screen":false,"show_maximum":false})";
  EXPECT_EQ(Written(record), expected);
  EXPECT_EQ(Written(Read<ipc::AppLaunchInfo>(R"({"pkg_name":"com.example.app"})")), expected);
}

// Every member set: what is read is written back unchanged, so no key is misspelt or dropped.
TEST(AppLaunchInfo, EveryMemberRoundTrips) {
  const json full = json::parse(R"({
    "pkg_name":"p","rotation":90,"source":3,"deep_link":"d","from_source":"f","app_category":4,
    "orientation":1,"display_id":2,"extra_data":{"k":[1,"x",null]},"hash_code":77,"app_name":"n",
    "from_pkg_name":"fp","notification_id":"ni","show_keymap_sidebar":true,
    "keymap_sidebar_url":"u","is_redirect_url":false,"master_community_cmd":"m",
    "open_file":{"file_path":"C:\\a.txt","mime_type":"text/plain"},
    "qrvnd_desktop_link_onclose":true,
    "qb_param":{"owner_win_handle":18446744073709551615,"owner_dpi":1.5,"owner_x":-1,"owner_y":2,
                "owner_cx":300,"owner_cy":400},
    "app_pullup_type":5,"oem_product":"o","specific_behavior":"s","launch_tv_series":"tv",
    "app_inner_shortcut":"ai","report_info":"r","action_type":"a","update_type":"ut",
    "window_config":"w","engine_type":3,"show_full_screen":true,"show_maximum":true,
    "launch_from_tips":-6,"is_premium_game":true,"channel_id":8,"launch_step":1,
    "launch_second_step":2,"client_trace_id":"1700000000000_abcdefghij"})");
  EXPECT_EQ(json(full.get<ipc::AppLaunchInfo>()), full);
}

TEST(InstallAppInfo, EveryMemberRoundTrips) {
  const json full = json::parse(R"({
    "pkg_name":"p","version_code":"12","version_name":"1.2","icon":"i","name":"n","md5":"m",
    "engine_name":"e","file_path":"f","json_data":"{}","state":4,"from_source":"fs","oem":"o",
    "shield_shortcut":1,
    "link_info":{"session_id":"s","install_from":"if","pkg_name":"lp",
                 "step_counter":{"step":3,"time":1700000000000}},
    "app_inner_shortcut":"ai","action_type":"a","update_type":"u","engine_type":7,
    "force_install":true,"install_session_id":"is","app_install_dir":"d","source":"src",
    "em_managed":false})");
  EXPECT_EQ(json(full.get<ipc::InstallAppInfo>()), full);
}

TEST(InstallAppInfo, FreshRecordWritesStateAndEngineType) {
  const char* required =
      R"({"engine_name":"e","engine_type":null,"file_path":"f","icon":"i","name":"n","pkg_name":"p"})";
  const auto record = Read<ipc::InstallAppInfo>(required);
  EXPECT_EQ(record.engine_type, 2);  // an explicit null keeps the default
  EXPECT_EQ(Written(record),
            R"({"engine_name":"e","engine_type":2,"file_path":"f","icon":"i","name":"n",)"
            R"("pkg_name":"p","state":0})");
}

// Required keys are read in field order: a missing one fails the read, and the fields read
// before it keep their new values.
TEST(InstallAppInfo, MissingRequiredKeyFailsAfterTheFieldsBeforeIt) {
  ipc::InstallAppInfo record;
  const json text = json::parse(
      R"({"pkg_name":"p","version_code":"3","name":"n","engine_name":"e","file_path":"f","state":5})");
  EXPECT_THROW(ipc::from_json(text, record), json::out_of_range);
  EXPECT_EQ(record.pkg_name, "p");
  EXPECT_EQ(record.version_code, "3");
  EXPECT_EQ(record.name, "");
  EXPECT_EQ(record.state, 0);
}

TEST(PayloadRecords, RequiredKeysMustBeThereWithTheirType) {
  EXPECT_THROW(Read<ipc::AppLaunchInfo>(R"({"engine_type":2})"), json::out_of_range);
  EXPECT_THROW(Read<ipc::AppLaunchInfo>(R"({"pkg_name":5})"), json::type_error);
  EXPECT_THROW(Read<ipc::AppLaunchInfo>(R"(["pkg_name"])"), json::type_error);
  EXPECT_THROW(Read<ipc::AppLaunchInfo>(R"("text")"), json::type_error);
  EXPECT_THROW(Read<ipc::OwnerWindowInfo>(R"({"owner_win_handle":1,"owner_dpi":"x"})"),
               json::type_error);
}

TEST(PayloadRecords, WrongOptionalMembersNeverFailTheRecord) {
  const auto launch = Read<ipc::AppLaunchInfo>(
      R"({"pkg_name":"p","rotation":"90","open_file":{"file_path":"a"},"app_name":7,
          "source":null,"show_maximum":"yes","extra_data":null,"qb_param":{"owner_dpi":1},
          "deep_link":"kept"})");
  EXPECT_EQ(launch.rotation, 0u);
  EXPECT_FALSE(launch.open_file.has_value());
  EXPECT_FALSE(launch.app_name.has_value());
  EXPECT_FALSE(launch.source.has_value());
  EXPECT_EQ(launch.show_maximum, false);
  EXPECT_FALSE(launch.extra_data.has_value());
  EXPECT_FALSE(launch.qb_param.has_value());
  EXPECT_EQ(launch.deep_link, "kept");

  const auto install = Read<ipc::InstallAppInfo>(
      R"({"pkg_name":"p","icon":"i","name":"n","engine_name":"e","file_path":"f",
          "link_info":{"session_id":"s","install_from":"if","pkg_name":"lp",
                       "step_counter":{"step":3}}})");
  ASSERT_TRUE(install.link_info.has_value());
  EXPECT_EQ(install.link_info->session_id, "s");
  EXPECT_FALSE(install.link_info->step_counter.has_value());
}

TEST(PayloadRecords, NumbersGoThroughTheLibraryConversions) {
  EXPECT_EQ(Read<ipc::AppLaunchInfo>(R"({"pkg_name":"p","rotation":-1})").rotation, 4294967295u);
  const char* window =
      R"({"owner_win_handle":1,"owner_dpi":%s,"owner_x":0,"owner_y":0,"owner_cx":0,"owner_cy":0})";
  const auto dpi = [&](const char* value) {
    std::string text = window;
    text.replace(text.find("%s"), 2, value);
    const auto record = json::parse(text).get<ipc::OwnerWindowInfo>();
    return json(record)["owner_dpi"].dump();
  };
  EXPECT_EQ(dpi("1.5"), "1.5");
  EXPECT_EQ(dpi("2"), "2.0");
  EXPECT_EQ(dpi("1.1"), "1.100000023841858");  // kept in single precision
}

TEST(PayloadRecords, ExtraDataIsCopiedUnchanged) {
  const auto record =
      Read<ipc::AppLaunchInfo>(R"({"pkg_name":"p","extra_data":{"b":[true,1.25],"a":"x"}})");
  EXPECT_EQ(json(record)["extra_data"], json::parse(R"({"a":"x","b":[true,1.25]})"));
}

TEST(ShowWindowInfo, WritesSourceOnlyWhenKnown) {
  ipc::ShowWindowInfo record;
  EXPECT_EQ(Written(record), R"({"cmd_show":0})");
  record.source = 7;
  EXPECT_EQ(Written(record), R"({"cmd_show":0,"source":7})");
}

TEST(ParsePayloadText, ReadsUtf16AndRefusesWhatIsNotJson) {
  const auto record =
      ipc::ParsePayloadText(u"{\"pkg_name\":\"\u6e38\u620f\"}").get<ipc::AppLaunchInfo>();
  EXPECT_EQ(record.pkg_name, "\xE6\xB8\xB8\xE6\x88\x8F");
  EXPECT_THROW(ipc::ParsePayloadText(u"{oops"), json::parse_error);
  EXPECT_THROW(ipc::ParsePayloadText(u""), json::parse_error);
}

TEST(ParsePayloadText, RefusesNestingBeyondTheLimit) {
  const auto nested = [](int depth, bool objects) {
    std::u16string text;
    for (int i = 0; i < depth; ++i) text += objects ? u"{\"k\":" : u"[";
    text += u"0";
    for (int i = 0; i < depth; ++i) text += objects ? u"}" : u"]";
    return text;
  };
  for (const bool objects : {false, true}) {
    EXPECT_NO_THROW(ipc::ParsePayloadText(nested(ipc::kMaxPayloadDepth, objects)));
    EXPECT_THROW(ipc::ParsePayloadText(nested(ipc::kMaxPayloadDepth + 1, objects)),
                 json::parse_error);
  }
  // Brackets inside strings are text, not nesting.
  const std::u16string brackets(4 * ipc::kMaxPayloadDepth, u'[');
  EXPECT_EQ(ipc::ParsePayloadText(u"\"" + brackets + u"\"").get<std::string>().size(),
            brackets.size());
}

}  // namespace
