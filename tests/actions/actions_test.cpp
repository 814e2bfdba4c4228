// The launcher's actions with their sends, waits and token facts replaced: what goes to which
// peer for which command line.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include "common/ipc/core/base/ipc_packet.h"
#include "common/launcher/action_hooks.h"
#include "common/launcher/emulator_requests.h"
#include "launcher/src/activation_reports.h"
#include "launcher/src/pseudo_protocol.h"
#include "launcher/src/start_target.h"
#include "os/append_file.h"
#include "os/named_objects.h"
#include "os/paths.h"
#include "os/text.h"
#include "test_support.h"

namespace {

using nlohmann::json;
using Args = std::vector<std::u16string>;

struct Sent {
  std::int32_t to = 0;
  std::int32_t msg_id = 0;
  json data;
};

// Records every send, answers `send_result`, and records the pauses instead of taking them.
class Hooked : public ::testing::Test {
 protected:
  void SetUp() override {
    TestHooks().send = [this](const ipc::IpcPacketPtr& packet, bool global) {
      EXPECT_TRUE(global);
      EXPECT_EQ(packet->from, 110009);
      sent_.push_back({packet->to, packet->msg_id, packet->data});
      return send_result_;
    };
    TestHooks().send_and_wait = [this](const ipc::AppLaunchInfo& info) {
      launches_.push_back(json(info));
      return send_result_;
    };
    TestHooks().pause = [this](std::uint32_t ms) {
      pauses_.push_back(ms);
      if (on_pause_) on_pause_();
    };
  }
  void TearDown() override {
    TestHooks() = {};
    TokenFactsSource() = saved_facts_;
  }

  bool send_result_ = true;
  std::vector<Sent> sent_;
  std::vector<json> launches_;
  std::vector<std::uint32_t> pauses_;
  std::function<void()> on_pause_;
  std::function<TokenFacts()> saved_facts_ = TokenFactsSource();
};

Args Command(Args options) {
  options.insert(options.begin(), u"VelmoraLauncher.exe");
  return options;
}

using ActivationReportTest = Hooked;

TEST_F(ActivationReportTest, EachReportIsOnePacketToTheServiceWithoutTheErrorCode) {
  ReportSuccessfulActivateLauncherExe(u"com.example.a", 0);
  ReportSuccessfulActiveMarketProcessExe(u"", 4);
  ReportkFailPullMarketProcessExe(u"com.example.\u00e9", -1, 1223);
  ASSERT_EQ(sent_.size(), 3u);
  const std::vector<json> expected{
      {{"event", "successful_activate_launcher_exe"}, {"pkgname", "com.example.a"}, {"from", 0}},
      {{"event", "successful_activate_market_process_exe"}, {"pkgname", ""}, {"from", 4}},
      {{"event", "fail_pull_market_process_exe"},
       {"pkgname", "com.example.\xc3\xa9"},
       {"from", -1}}};
  for (std::size_t i = 0; i < sent_.size(); ++i) {
    EXPECT_EQ(sent_[i].to, 110003);
    EXPECT_EQ(sent_[i].msg_id, 40106);
    EXPECT_EQ(sent_[i].data, expected[i]);
  }
  send_result_ = false;  // a failed report is logged, never retried
  ReportSuccessfulActivateLauncherExe(u"x", 0);
  EXPECT_EQ(sent_.size(), 4u);
}

using NotifyTest = Hooked;

TEST_F(NotifyTest, TheFirstRuleThatAppliesMakesTheOneRequest) {
  const ipc::AppLaunchInfo defaults;
  json by_name = json(defaults);
  by_name.update({{"pkg_name", "com.b"},
                  {"source", 5},
                  {"deep_link", ""},
                  {"from_source", ""},
                  {"launch_step", 1},
                  {"launch_second_step", 1},
                  {"client_trace_id", "T"}});
  json from_record = json(defaults);
  from_record.update({{"pkg_name", "com.a"}, {"engine_type", 3}, {"client_trace_id", "T"}});
  const std::string install =
      R"({"pkg_name":"p","icon":"i","name":"n","engine_name":"e","file_path":"f"})";
  struct Case {
    Args options;
    bool result;
    std::vector<json> launches;
    std::vector<Sent> sent;
  };
  const std::vector<Case> cases{
      {{u"--app-launch-info", uR"({"pkg_name":"com.a","engine_type":3,"client_trace_id":"old"})",
        u"--launch-pkg-name", u"com.b"},
       true,
       {from_record},
       {}},
      {{u"--launch-pkg-name", u"com.b", u"--from", u"5"}, true, {by_name}, {}},
      {{u"--launch-pkg-name", u"com.b", u"--from", u"5", u"--launch-extra-data", u"{bad"},
       true,
       {by_name},
       {}},
      {{u"--app-launch-info", u"not json", u"--launch-pkg-name", u"com.b"}, false, {}, {}},
      {{u"--install-app-info", os::Utf8ToUtf16(install), u"--oem", u"acme"},
       true,
       {},
       {{110002, 20002,
         [&] {
           json j = json::parse(install);
           j.update({{"state", 0}, {"engine_type", 2}, {"oem", "acme"}});
           return j;
         }()}}},
      {{u"--oem-start-vm", uR"({"oem_name":3})"}, false, {}, {}},
      {{u"--oem-start-vm", uR"({"oem_name":"acme","x":1})"},
       true,
       {},
       {{110002, 20009, {{"oem_name", "acme"}}}}},
      {{u"--oem-stop-vm", uR"({"oem_name":"acme"})"},
       true,
       {},
       {{110002, 20010, {{"oem_name", "acme"}}}}},
      {{u"--install-pkg-name", u"p", u"--install-file-path", u"C:\\a b\\p.apk"},
       true,
       {},
       {{110002,
         20002,
         {{"pkg_name", "p"},
          {"file_path", "C:\\a b\\p.apk"},
          {"from_source", ""},
          {"icon", ""},
          {"name", ""},
          {"engine_name", ""},
          {"state", 0},
          {"engine_type", 2}}}}},
      {{u"--install-pkg-name", u"p"}, false, {}, {}},
      {{u"--pseudo-protocol", uR"({"content":"velmora://x"})"},
       true,
       {},
       {{110002, 20011, R"({"content":"velmora://x"})"}}},
      {{u"--pseudo-protocol", uR"({"content":1})"}, false, {}, {}},
      {{u"--quit", u"0"}, false, {}, {}},
      {{u"--quit", u"1"}, true, {}, {{110002, 20007, ""}}},
      {{u"--oem-stop-vm", u""}, false, {}, {}},
  };
  for (const Case& c : cases) {
    sent_.clear();
    launches_.clear();
    const std::string label = os::Utf16ToUtf8(c.options.front());
    EXPECT_EQ(NotifyCurrentTamrisk("T", Command(c.options)), c.result) << label;
    EXPECT_EQ(launches_, c.launches) << label;
    ASSERT_EQ(sent_.size(), c.sent.size()) << label;
    for (std::size_t i = 0; i < sent_.size(); ++i) {
      EXPECT_EQ(sent_[i].to, c.sent[i].to) << label;
      EXPECT_EQ(sent_[i].msg_id, c.sent[i].msg_id) << label;
      EXPECT_EQ(sent_[i].data, c.sent[i].data) << label;
    }
  }
}

using QuittingTest = Hooked;

TEST_F(QuittingTest, WaitsInHalfSecondStepsForTheQuittingEventToGo) {
  const std::u16string name = u"EmulatorQuitting_{7B2F8A3C-E1D4-4F6A-9C5B-3D8E2A1F7B4C}";
  EXPECT_EQ(WaitEmulatorQuitting(), 0);
  EXPECT_TRUE(pauses_.empty());

  auto event = os::NamedEvent::Create(name, true, false, os::ObjectSecurity::kDefault);
  ASSERT_TRUE(event.ok());
  on_pause_ = [&] {
    if (pauses_.size() == 3) event.object.Close();
  };
  EXPECT_EQ(WaitEmulatorQuitting(), 1500);
  EXPECT_EQ(pauses_, std::vector<std::uint32_t>(3, 500));

  pauses_.clear();
  auto stays = os::NamedEvent::Create(name, true, false, os::ObjectSecurity::kDefault);
  ASSERT_TRUE(stays.ok());
  on_pause_ = nullptr;
  EXPECT_EQ(WaitEmulatorQuitting(), -1);
  EXPECT_EQ(pauses_.size(), 60u);
}

TEST(QuoteTest, ValuesAreQuotedWithBackslashesAndQuotesEscaped) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases{
      {u"com.example.app", u"\"com.example.app\" "},
      {u"", u"\"\" "},
      {u"C:\\a b\\c.apk", u"\"C:\\\\a b\\\\c.apk\" "},
      {u"say \"hi\"", u"\"say \\\"hi\\\"\" "},
      {u"end\\\"", u"\"end\\\\\\\"\" "},
  };
  for (const auto& [text, quoted] : cases) {
    EXPECT_EQ(Quote(text), quoted) << os::Utf16ToUtf8(text);
    EXPECT_EQ(Quote(std::string_view(os::Utf16ToUtf8(text))), quoted) << os::Utf16ToUtf8(text);
  }
  EXPECT_EQ(Options(std::map<std::u16string, std::u16string>{{u"b", u"2"}, {u"a", u"x y"}}),
            u"--a \"x y\" --b \"2\" ");
  EXPECT_EQ(Options(std::map<std::string, std::string>{{"pseudo-protocol", "velmora://a\\b"}}),
            u"--pseudo-protocol \"velmora://a\\\\b\" ");
}

TEST(SafeTargetTest, OnlyPlainFileNamesOfTheApplicationFolder) {
  for (const std::u16string name : {u"Velmora.exe", u"VelmoraEmulator.exe", u"a..b.exe"}) {
    EXPECT_TRUE(IsSafeTargetName(name)) << os::Utf16ToUtf8(name);
  }
  for (const std::u16string name :
       {u"", u".", u"..", u"..\\..\\Windows\\notepad.exe", u"C:\\x.exe", u"C:x.exe", u"/bin/sh",
        u"sub/x.exe", u"\\\\server\\share\\x.exe", u"x.exe:stream"}) {
    EXPECT_FALSE(IsSafeTargetName(name)) << os::Utf16ToUtf8(name);
  }
}

TEST(FixUpTest, OldVersionFolderMovesBesideTheLauncher) {
  test_support::TempFolder temp;
  const std::u16string launcher = os::PathJoin(temp.path(), u"VelmoraLauncher.exe");
  const std::u16string candidate = os::PathJoin(temp.path(), u"5.10.2100.5");
  const std::u16string app = os::PathJoin(os::PathJoin(temp.path(), u"Application"), u"");
  const std::u16string old_folder = app + u"5.10.2000.1";
  ASSERT_TRUE(os::CreateDirectories(candidate));
  // Without the emulator in the candidate folder nothing moves.
  EXPECT_EQ(FixUpAppFolder(old_folder, launcher, u"5.10.2100.5"), old_folder);
  os::AppendFile file;
  ASSERT_TRUE(
      file.Open(os::PathJoin(candidate, u"VelmoraEmulator.exe"), os::AppendFile::Mode::kTruncate));
  ASSERT_TRUE(file.Write("x"));
  EXPECT_EQ(FixUpAppFolder(old_folder, launcher, u"5.10.2100.5"), candidate);
  EXPECT_EQ(FixUpAppFolder(app + u"5.10.2100.0", launcher, u"5.10.2100.5"), app + u"5.10.2100.0");
  EXPECT_EQ(FixUpAppFolder(app + u"5.11.1.0", launcher, u"5.12.0.0"), app + u"5.11.1.0");
  EXPECT_EQ(FixUpAppFolder(app + u"5.10.2000", launcher, u"5.10.2100.5"), app + u"5.10.2000");
  EXPECT_EQ(FixUpAppFolder(old_folder, launcher, u""), old_folder);
}

TEST(TokenGateTest, OnlyAFilteredAdministratorOrAnUnreadableTokenAsksTheService) {
  struct Case {
    TokenFacts facts;
    bool allowed;
  };
  const std::vector<Case> cases{
      {{std::nullopt, std::nullopt, std::nullopt}, true},
      {{3u, true, std::nullopt}, true},
      {{3u, false, std::nullopt}, false},
      {{3u, std::nullopt, std::nullopt}, true},
      {{1u, std::nullopt, false}, false},
      {{1u, std::nullopt, true}, false},
      {{2u, std::nullopt, true}, false},
      {{1u, std::nullopt, std::nullopt}, false},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(ServiceWayAllowed(cases[i].facts), cases[i].allowed) << "case " << i;
  }
}

using ServiceStartTest = Hooked;

TEST_F(ServiceStartTest, AStandardUserSendsNothing) {
  TokenFactsSource() = [] { return TokenFacts{1u, std::nullopt, false}; };
  EXPECT_FALSE(RequestServiceStart(u"VelmoraEmulator.exe", u"--x \"1\" "));
  EXPECT_TRUE(sent_.empty());
}

TEST_F(ServiceStartTest, AFilteredAdministratorAsksTheServiceThenTheAppStore) {
  TokenFactsSource() = [] { return TokenFacts{3u, true, std::nullopt}; };
  const json payload{{"name", "Other.exe"}, {"param", "--x \"1\" "}};
  EXPECT_TRUE(RequestServiceStart(u"Other.exe", u"--x \"1\" "));
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].to, 110003);
  EXPECT_EQ(sent_[0].msg_id, 40007);
  EXPECT_EQ(sent_[0].data, payload);

  // The service took it, but no emulator announced itself within the 15 polls.
  sent_.clear();
  EXPECT_TRUE(RequestServiceStart(u"VelmoraEmulator.exe", u""));
  EXPECT_EQ(pauses_, std::vector<std::uint32_t>(15, 200));
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[1].to, 200001);

  // The client is never handed to the app store.
  sent_.clear();
  send_result_ = false;
  EXPECT_FALSE(RequestServiceStart(u"Velmora.exe", u""));
  EXPECT_EQ(sent_.size(), 1u);
}

using ForwardTest = Hooked;

TEST_F(ForwardTest, ShowsTheWindowOrHandsTheUrlOn) {
  struct Case {
    Args options;
    std::vector<Sent> sent;
  };
  const std::vector<Case> cases{
      {{}, {{200001, 1000, {{"cmd_show", 0}}}}},
      {{u"--from", u"7"}, {{200001, 1000, {{"cmd_show", 0}, {"source", 7}}}}},
      {{u"--from", u"abc"}, {{200001, 1000, {{"cmd_show", 0}}}}},
      {{u"--from", u""}, {{200001, 1000, {{"cmd_show", 0}}}}},
      {{u"--silent"}, {}},
      {{u"--silent", u"--pseudo-protocol", u"velmora://a?b=%c(26)"},
       {{200001, 10003, {{"content", "velmora://a?b=%c(26)"}}}}},
  };
  for (const Case& c : cases) {
    sent_.clear();
    EXPECT_TRUE(ForwardToRunningClient(Command(c.options)));
    ASSERT_EQ(sent_.size(), c.sent.size());
    for (std::size_t i = 0; i < sent_.size(); ++i) {
      EXPECT_EQ(sent_[i].to, c.sent[i].to);
      EXPECT_EQ(sent_[i].msg_id, c.sent[i].msg_id);
      EXPECT_EQ(sent_[i].data, c.sent[i].data);
    }
  }
  send_result_ = false;
  EXPECT_FALSE(ForwardToRunningClient(Command({})));
}

}  // namespace
