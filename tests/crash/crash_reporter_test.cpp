#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/machine_identity/machine_guid.h"
#include "base/registry.h"
#include "base/text_encoding.h"
#include "crash/crash_reporter.h"
#include "install/install_context.h"
#include "os/child_process.h"
#include "os/dynamic_library.h"
#include "os/named_objects.h"
#include "os/paths.h"
#include "os/text.h"
#include "registry_sandbox.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const bool kSandbox = test_support::UseRegistrySandbox();

constexpr char kMachineIdentity[] = "00112233445566778899aabbccddeeff";
constexpr char kPipe[] = "\\\\.\\pipe\\5.2.0.1-7D732609-A734-9178-1492-71A1E213BE35";

std::u16string CrashDirectoryFromEnvironment() {
  return os::GetEnv(u"VELMORA_TEST_CRASH_DIR").value_or(u"");
}
std::string FixedIdentity() {
  return kMachineIdentity;
}

// Installs the reporter twice, as start-up would, and reports both results in the exit code:
// 100 + 10 * first + second.
VELMORA_TEST_CHILD(install_crash_reporter) {
  CrashReporterRecord record;
  record.exe_type = ExeType::kLauncher;
  record.first_flag = true;  // distinct flags show that each lands at its own offset
  record.second_flag = false;
  record.crash_callback = [] {};
  record.version = u"5.10.0.7";
  record.report_version = "5.2.0.1";
  record.process_name = u"VelmoraLauncher";
  const CrashReporterServices services{&CrashDirectoryFromEnvironment, &FixedIdentity};
  const int first = InstallCrashReporter(record, services);
  const int second = InstallCrashReporter(record, services);
  return 100 + 10 * first + second;
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool FixedMac(std::span<std::uint8_t, 6> mac) {
  const std::uint8_t bytes[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
  std::copy(bytes, bytes + 6, mac.begin());
  return true;
}
bool NoDisk(base::tolq_guid::DiskIdentity&) {
  return false;
}
std::string NoBrand() {
  return {};
}
bool Nt() {
  return true;
}
std::optional<std::string> TestAppData() {
  return Env("VELMORA_TEST_APPDATA");
}

// The launcher's own installation, as start-up makes it, with the product of the test.
void InitLauncherEnvironment() {
  base::tolq_guid::IdentityEnvironment identity;
  identity.is_nt_platform = &Nt;
  identity.primary_mac = &FixedMac;
  identity.disk_identity = &NoDisk;
  identity.cpu_brand = &NoBrand;
  identity.app_data_folder = &TestAppData;
  base::tolq_guid::SetIdentityEnvironmentForTesting(identity);
  InstallContext::Instance().Init(os::Utf8ToUtf16(Env("VELMORA_TEST_PRODUCT")));
}

VELMORA_TEST_CHILD(crash_callback) {
  InitLauncherEnvironment();
  LauncherCrashCallback();
  return 0;
}

// Start-up's install: the launcher's record and the program's own services.
VELMORA_TEST_CHILD(install_launcher_reporter) {
  InitLauncherEnvironment();
  return 100 + InstallCrashReporter(LauncherCrashReporterRecord());
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

std::string ConfigBytesHex(std::uint8_t first_flag, std::uint8_t second_flag) {
  std::uint8_t bytes[128] = {};
  bytes[0] = 128;
  bytes[112] = 0x88;  // 5,000
  bytes[113] = 0x13;
  bytes[116] = 1;
  bytes[117] = second_flag;
  bytes[118] = 1;
  bytes[119] = 1;
  bytes[121] = first_flag;
  bytes[124] = 2;
  std::string hex;
  for (std::uint8_t b : bytes) {
    static const char digits[] = "0123456789abcdef";
    hex.push_back(digits[b >> 4]);
    hex.push_back(digits[b & 15]);
  }
  return hex;
}

std::u16string AgentBuild(const char16_t* folder) {
  return (fs::path(os::ModulePath()).parent_path() / folder /
          os::SharedLibraryFileName("client_extension"))
      .u16string();
}

// A copy of this test program in a folder of its own, so the folder beside "the executable" holds
// exactly what a case puts there.
class CrashReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = (fs::path(folder_.path()) / "app").u16string();
    fs::create_directories(fs::path(app_));
    crash_dir_ = (fs::path(folder_.path()) / "crash").u16string() + os::kPathSeparator;
    log_ = (fs::path(folder_.path()) / "agent.log").u16string();
    program_ = (fs::path(app_) / fs::path(os::ModulePath()).filename()).u16string();
    fs::copy_file(fs::path(os::ModulePath()), fs::path(program_));
  }

  void PutAgent(const char16_t* build_folder, const std::u16string& into) {
    fs::create_directories(fs::path(into));
    fs::copy_file(fs::path(AgentBuild(build_folder)),
                  fs::path(into) / os::SharedLibraryFileName("client_extension"));
  }

  // Runs the child from the copy; the exit code, and the agent's log in lines_.
  std::uint32_t Run(os::ChildProcess::Environment environment = {}) {
    environment.emplace_back(u"VELMORA_TEST_AGENT_LOG", log_);
    environment.emplace_back(u"VELMORA_TEST_CRASH_DIR", crash_dir_);
    auto child =
        os::ChildProcess::Spawn(program_, {u"--velmora-child=install_crash_reporter"}, environment);
    EXPECT_TRUE(child);
    if (!child) return 0;
    child_id_ = child->Id();
    const auto code = child->Wait(os::ChildProcess::kInfinite);
    lines_ = Lines(test_support::ReadFileBytes(log_));
    return code.value_or(0);
  }

  std::vector<std::string> ExpectedConversation(bool with_channel) const {
    const std::string pid = std::to_string(child_id_);
    const std::string crash = WideToUtf8(crash_dir_);
    const std::string handler =
        WideToUtf8(os::PathJoin(app_, os::HelperProgramFileName(u"crashpad_handler")));
    std::vector<std::string> lines = {
        "Create",
        "Start bytes=" + ConfigBytesHex(1, 0),
        "Start check=ok",
        "Start @8=" + handler,
        "Start @16=" + crash,
        "Start @24=" + crash,
        "Start @32=e3f05b64d2",
        "Start @40=9b4e2f71-6c0d-4a58-b3e9-0d7c5f12a6b4",
        std::string("Start @48=5.10.0.7"),
        "Start @56=com.quorlen.tamrisk",
        "Start @64=VelmoraLauncher",
        "Start @72=VelmoraLauncher",
        "Start @80=5.2.0.1",
        std::string("Start @88=") + kMachineIdentity,
        std::string("Start @96=") + kPipe,
        "SetKeyValue ui_language en",
    };
    if (with_channel) {
      const std::string key = "procname_by_procid_" + pid;
      lines.push_back(std::string("SetChannelValue ") + kPipe + " " + key + " " +
                      std::to_string(key.size()) + " VelmoraLauncher 15");
    }
    lines.push_back("EnableWithLimit 1 10485760");
    lines.push_back("AttachProcess " + pid + " VelmoraLauncher 15 " + crash + " " +
                    std::to_string(crash_dir_.size()));
    lines.push_back("SetCrashCallback callback <null> VelmoraLauncher");
    return lines;
  }

  test_support::TempFolder folder_;
  std::u16string app_, crash_dir_, log_, program_;
  std::uint32_t child_id_ = 0;
  std::vector<std::string> lines_;
};

TEST_F(CrashReporterTest, StartsTheAgentBesideTheProgramWithTheFullConfiguration) {
  PutAgent(u"crash_agent", app_);
  // 0 for the install, 0 for the second call, which loads nothing and creates no second agent.
  EXPECT_EQ(Run(), 100u);
  EXPECT_EQ(lines_, ExpectedConversation(true));
}

TEST_F(CrashReporterTest, NonZeroStartSkipsOnlyTheChannelValue) {
  PutAgent(u"crash_agent", app_);
  EXPECT_EQ(Run({{u"VELMORA_TEST_AGENT_START_RESULT", u"7"}}), 100u);
  EXPECT_EQ(lines_, ExpectedConversation(false));
}

TEST_F(CrashReporterTest, NoAgentFromTheFactoryIsNotAnError) {
  PutAgent(u"crash_agent", app_);
  // No agent was stored, so the second call asks the factory again.
  EXPECT_EQ(Run({{u"VELMORA_TEST_AGENT_NULL", u"1"}}), 100u);
  EXPECT_EQ(lines_, (std::vector<std::string>{"Create <null>", "Create <null>"}));
}

TEST_F(CrashReporterTest, MissingLibraryOrFactoryLeavesTheProcessRunning) {
  EXPECT_EQ(Run(), 111u);
  EXPECT_TRUE(lines_.empty());

  PutAgent(u"crash_agent_without_factory", app_);
  EXPECT_EQ(Run(), 111u);
  EXPECT_TRUE(lines_.empty());
}

TEST_F(CrashReporterTest, FallsBackToTheDefaultLibrarySearch) {
  // Only on the default search path (PATH on Windows, LD_LIBRARY_PATH on Linux): the first,
  // restricted load cannot find it, the fallback does.
  const std::u16string elsewhere = (fs::path(folder_.path()) / "libs").u16string();
  PutAgent(u"crash_agent", elsewhere);
  const bool windows = os::SharedLibraryFileName("x") == "x.dll";
  const std::u16string variable = windows ? u"PATH" : u"LD_LIBRARY_PATH";
  const std::u16string old_value = os::GetEnv(variable).value_or(u"");
  const std::u16string value = elsewhere + (windows ? u";" : u":") + old_value;
  EXPECT_EQ(Run({{variable, value}}), 100u);
  EXPECT_EQ(lines_, ExpectedConversation(true));
}

TEST(CrashPipeName, GuidByExecutableType) {
  EXPECT_EQ(WideToUtf8(CrashPipeName(ExeType::kLauncher, u"5.2.0.1")), kPipe);
  EXPECT_EQ(WideToUtf8(CrashPipeName(ExeType::kDiagnosisTool, u"5.2.0.1")), kPipe);
  EXPECT_EQ(WideToUtf8(CrashPipeName(ExeType::kEmulator, u"5.2.0.1")),
            "\\\\.\\pipe\\5.2.0.1-598FEC22-BD78-BD1B-74C6-307659AD9988");
  EXPECT_EQ(WideToUtf8(CrashPipeName(static_cast<ExeType>(0), u"1.0.0.0")),
            "\\\\.\\pipe\\1.0.0.0-598FEC22-BD78-BD1B-74C6-307659AD9988");
}

TEST(CrashEventParameters, QuotesTheNameLikeForwardedOptions) {
  EXPECT_EQ(WideToUtf8(CrashEventParameters(u"VelmoraLauncher")),
            "--report-process-crash-event \"VelmoraLauncher\" ");
  EXPECT_EQ(WideToUtf8(CrashEventParameters(u"a\\b \"c\"")),
            "--report-process-crash-event \"a\\\\b \\\"c\\\"\" ");
  EXPECT_EQ(WideToUtf8(CrashEventParameters(u"")), "--report-process-crash-event \"\" ");
}

// An installation of a product of its own: install path in the test folder, client version
// 5.2.0.1, product version 5.10.0.7.
class LauncherCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    product_ = os::Utf8ToUtf16(test_support::UniqueName("VelmoraTest"));
    install_ = (fs::path(folder_.path()) / "install").u16string();
    const std::u16string key = u"SOFTWARE\\Quorlen\\" + product_;
    ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, key, u"InstallPath", install_));
    ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, key, u"Version", u"5.10.0.7"));
    ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, key + u"\\Velmora", u"Version", u"5.2.0.1"));
    assistant_folder_ = (fs::path(install_) / "Application" / "5.2.0.1").u16string();
    done_name_ = test_support::UniqueName("velmora-assistant-done");
    done_ = os::NamedEvent::Create(os::Utf8ToUtf16(done_name_), true, false,
                                   os::ObjectSecurity::kDefault);
    ASSERT_TRUE(done_.ok());
  }
  void TearDown() override {
    for (const auto root : {kHkeyLocalMachine, kHkeyCurrentUser}) {
      test_support::DeleteRegistryTree(root, u"SOFTWARE\\Quorlen\\" + product_);
    }
  }

  void PutAssistant() {
    fs::create_directories(fs::path(assistant_folder_));
    const auto built =
        fs::path(os::ModulePath()).parent_path() / "fake_assistant" / "VelmoraAssistant.exe";
    fs::copy_file(built, fs::path(assistant_folder_) / "VelmoraAssistant.exe");
  }

  os::ChildProcess::Environment Environment() const {
    auto environment = test_support::ScopedTempEnvironment::For(folder_.path());
    environment.emplace_back(u"VELMORA_TEST_PRODUCT", product_);
    environment.emplace_back(u"VELMORA_TEST_APPDATA", folder_.path());
    environment.emplace_back(u"VELMORA_TEST_ASSISTANT_OUT", AssistantOut());
    environment.emplace_back(u"VELMORA_TEST_ASSISTANT_DONE", os::Utf8ToUtf16(done_name_));
    return environment;
  }
  std::u16string AssistantOut() const {
    return (fs::path(folder_.path()) / "assistant.txt").u16string();
  }

  // The assistant's arguments, once it has run.
  std::vector<std::string> AssistantArguments() {
    EXPECT_TRUE(done_.object.Wait(30'000).signaled()) << "the assistant did not run";
    return Lines(test_support::ReadFileBytes(AssistantOut()));
  }

  test_support::TempFolder folder_;
  std::u16string product_, install_, assistant_folder_;
  std::string done_name_;
  os::OpenResult<os::NamedEvent> done_;
};

TEST_F(LauncherCrashTest, CallbackStartsTheAssistantOfTheClientVersion) {
  // Without the assistant nothing is started and nothing fails.
  auto child = test_support::SpawnChild("crash_callback", {}, Environment());
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(os::ChildProcess::kInfinite), 0u);
  EXPECT_FALSE(done_.object.Wait(0).signaled());

  PutAssistant();
  child = test_support::SpawnChild("crash_callback", {}, Environment());
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(os::ChildProcess::kInfinite), 0u);
  EXPECT_EQ(AssistantArguments(),
            (std::vector<std::string>{"--report-process-crash-event", "VelmoraLauncher"}));
}

TEST_F(LauncherCrashTest, StartUpRecordReachesTheAgentAndItsCallbackReportsTheCrash) {
  PutAssistant();
  // The program and the agent in a folder of their own.
  const auto app = fs::path(folder_.path()) / "app";
  fs::create_directories(app);
  const auto program = app / fs::path(os::ModulePath()).filename();
  fs::copy_file(fs::path(os::ModulePath()), program);
  fs::copy_file(fs::path(AgentBuild(u"crash_agent")),
                app / os::SharedLibraryFileName("client_extension"));
  const std::u16string log = (fs::path(folder_.path()) / "agent.log").u16string();
  auto environment = Environment();
  environment.emplace_back(u"VELMORA_TEST_AGENT_LOG", log);
  environment.emplace_back(u"VELMORA_TEST_AGENT_RUN_CALLBACK", u"1");

  auto child = os::ChildProcess::Spawn(program.u16string(),
                                       {u"--velmora-child=install_launcher_reporter"}, environment);
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(os::ChildProcess::kInfinite), 100u);
  EXPECT_EQ(AssistantArguments(),
            (std::vector<std::string>{"--report-process-crash-event", "VelmoraLauncher"}));

  const auto lines = Lines(test_support::ReadFileBytes(log));
  const std::string crash_dir = WideToUtf8(folder_.path()) + static_cast<char>(os::kPathSeparator) +
                                "Quorlen" + static_cast<char>(os::kPathSeparator) + "Velmora" +
                                static_cast<char>(os::kPathSeparator);
  const std::string identity = base::tolq_guid::Md5HexLower("a1b2c3d4e5f6");
  for (const std::string& expected : std::vector<std::string>{
           "Start bytes=" + ConfigBytesHex(0, 0), "Start @16=" + crash_dir,
           std::string("Start @48=5.10.0.7"), std::string("Start @64=VelmoraLauncher"),
           std::string("Start @80=5.2.0.1"), "Start @88=" + identity,
           std::string("Start @96=") + kPipe,
           std::string("SetCrashCallback callback <null> VelmoraLauncher"),
           std::string("CallbackReturned")}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end()) << expected;
  }
}

}  // namespace
