#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/registry.h"
#include "install/install_context.h"
#include "install/registry_mark.h"
#include "os/paths.h"
#include "os/shell_folder.h"
#include "os/text.h"
#include "registry_sandbox.h"
#include "test_support.h"

namespace {

const bool kSandbox = test_support::UseRegistrySandbox();

// A path written with '\' in the native form of this build.
std::u16string Native(std::u16string path) {
  for (char16_t& c : path) {
    if (c == u'\\') c = os::kPathSeparator;
  }
  return path;
}

// Every test uses a product of its own, so its keys are its own in a shared registry too.
class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    product_ = os::Utf8ToUtf16(test_support::UniqueName("VelmoraTest"));
    base_key_ = u"SOFTWARE\\Quorlen\\" + product_;
  }

  void TearDown() override {
    for (const auto root : {kHkeyLocalMachine, kHkeyCurrentUser}) {
      os::RegistryKey company;
      if (os::RegistryKey::Open(root, u"SOFTWARE\\Quorlen", os::kKeyRead, company) !=
          os::kErrorSuccess) {
        continue;
      }
      // The product key and its internet-cafe variants.
      std::vector<std::u16string> ours;
      std::u16string name;
      for (std::uint32_t i = 0; company.EnumSubKey(i, name) == os::kErrorSuccess; ++i) {
        if (name.starts_with(product_)) ours.push_back(name);
      }
      for (const auto& key : ours)
        test_support::DeleteRegistryTree(root, u"SOFTWARE\\Quorlen\\" + key);
    }
  }

  // A context that believes it runs from `exe_path` and reads the tick count from `tick_`.
  std::unique_ptr<InstallContext> MakeContext(
      std::u16string exe_path = u"C:\\Games\\Velmora\\VelmoraLauncher.exe") {
    auto context = std::make_unique<InstallContext>(
        InstallContext::Environment{[exe_path] { return exe_path; }, [this] { return tick_; }});
    context->Init(product_);
    return context;
  }

  std::u16string product_;
  std::u16string base_key_;
  std::uint64_t tick_ = 0;
};

TEST_F(InstallTest, NormalModeUsesTheProductKey) {
  const auto context = MakeContext();
  EXPECT_TRUE(context->initialized());
  EXPECT_FALSE(context->internet_cafe());
  EXPECT_EQ(context->RegistryKey(ComponentId::kProduct), base_key_);
  EXPECT_EQ(context->RegistryKey(ComponentId::kClient), base_key_ + u"\\Velmora");
  // A component without a name gives the product key and a lone separator.
  EXPECT_EQ(context->RegistryKey(static_cast<ComponentId>(7)), base_key_ + u"\\");
}

TEST_F(InstallTest, NetbarAsDwordMeansNormalMode) {
  ASSERT_TRUE(test_support::SetRawValue(kHkeyLocalMachine, base_key_, u"Netbar", os::kRegDword,
                                        std::string("\x01\0\0\0", 4)));
  const auto context = MakeContext();
  EXPECT_FALSE(context->internet_cafe());
  EXPECT_EQ(context->RegistryKey(ComponentId::kProduct), base_key_);
}

TEST_F(InstallTest, InternetCafeKeyHashesTheLowerCasedInstallRoot) {
  ASSERT_TRUE(RegistryWriteQword(kHkeyLocalMachine, base_key_, u"Netbar", 1));
  // MD5 of the UTF-16LE text c:\games\velmora.
  const std::u16string expected = base_key_ + u"_C26CD3524343365D6A6549679C6DCE05";
  for (const auto* exe :
       {u"C:\\Games\\Velmora\\VelmoraLauncher.exe", u"c:\\GAMES\\Velmora\\VelmoraLauncher.exe",
        u"C:\\Games\\Velmora\\Application\\5.2.0.1\\VelmoraLauncher.exe",
        u"C:\\Games\\Velmora\\application\\VelmoraLauncher.exe"}) {
    const auto context = MakeContext(exe);
    EXPECT_TRUE(context->internet_cafe());
    EXPECT_EQ(context->RegistryKey(ComponentId::kProduct), expected) << os::Utf16ToUtf8(exe);
    EXPECT_EQ(context->RegistryKey(ComponentId::kClient), expected + u"\\Velmora");
  }
  EXPECT_EQ(MakeContext(u"D:\\Velmora\\VelmoraLauncher.exe")->RegistryKey(ComponentId::kProduct),
            base_key_ + u"_9C5EC4BC9B75261014DA926AC2930268");

  // The install path is read from the copy's own key.
  ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, expected, u"InstallPath",
                                  Native(u"C:\\Games\\Velmora")));
  ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, base_key_, u"InstallPath", u"elsewhere"));
  EXPECT_EQ(MakeContext()->InstallPath(), Native(u"C:\\Games\\Velmora"));
}

TEST_F(InstallTest, InstallPathIsNormalised) {
  const struct {
    std::u16string stored;
    std::u16string expected;
  } cases[] = {
      {u"\\\\?\\C:\\Games\\Velmora", u"C:\\Games\\Velmora"},
      {u"C:/Games//Velmora", Native(u"C:\\Games\\Velmora")},
      {u"C:/Games/./Velmora/x/../", Native(u"C:\\Games\\Velmora\\")},
      {u"/opt//Quorlen/./Velmora", Native(u"\\opt\\Quorlen\\Velmora")},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, base_key_, u"InstallPath", c.stored));
    EXPECT_EQ(MakeContext()->InstallPath(), c.expected) << os::Utf16ToUtf8(c.stored);
  }
}

TEST_F(InstallTest, MissingOrEmptyInstallPathFallsBackToProgramFiles) {
  const std::u16string program_files = os::ShellFolderPath(os::kCsidlProgramFiles);
  ASSERT_FALSE(program_files.empty());
  const std::u16string expected =
      NormalizeInstallPath(os::PathJoin(os::PathJoin(program_files, u"Quorlen"), product_));
  EXPECT_EQ(MakeContext()->InstallPath(), expected);
  ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, base_key_, u"InstallPath", u""));
  EXPECT_EQ(MakeContext()->InstallPath(), expected);
  // Only HKLM counts.
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, base_key_, u"InstallPath", u"C:\\User"));
  EXPECT_EQ(MakeContext()->InstallPath(), expected);
}

TEST_F(InstallTest, OnlyTheFirstInitCounts) {
  const auto context = MakeContext();
  ASSERT_TRUE(RegistryWriteQword(kHkeyLocalMachine, base_key_, u"Netbar", 1));
  context->Init(u"Other");
  EXPECT_EQ(context->product_name(), product_);
  EXPECT_EQ(context->RegistryKey(ComponentId::kProduct), base_key_);
  EXPECT_FALSE(context->internet_cafe());
}

TEST_F(InstallTest, VersionsFallBackFromMachineToUser) {
  const struct {
    const char16_t* machine;  // null: absent
    const char16_t* user;
    std::u16string launcher;
    std::u16string component;
  } cases[] = {
      {nullptr, u"5.2.0.1", u"5.2.0.1", u"5.2.0.1"},
      {u"", u"5.2.0.1", u"", u"5.2.0.1"},
      {u"1.0.0.0", u"5.2.0.1", u"5.2.0.1", u"5.2.0.1"},
      {u"1.0.0.0 ", u"5.2.0.1", u"1.0.0.0 ", u"1.0.0.0 "},
      {u"6.0.0.3", u"5.2.0.1", u"6.0.0.3", u"6.0.0.3"},
      {nullptr, nullptr, u"1.0.0.0", u"1.0.0.0"},
      {u"", nullptr, u"", u"1.0.0.0"},
  };
  const auto context = MakeContext();
  for (const auto& c : cases) {
    for (const auto id : {ComponentId::kProduct, ComponentId::kClient}) {
      const std::u16string key = context->RegistryKey(id);
      // Both keys exist; the values are set or removed as the row says.
      ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, key, u"", u""));
      ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, key, u"", u""));
      os::RegistryKey machine;
      ASSERT_EQ(os::RegistryKey::Open(kHkeyLocalMachine, key, os::kKeyAllAccess, machine),
                os::kErrorSuccess);
      machine.DeleteValue(u"Version");
      ASSERT_TRUE(RegistryDeleteValues(key, {u"Version"}));
      if (c.machine != nullptr) {
        ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, key, u"Version", c.machine));
      }
      if (c.user != nullptr) {
        ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, key, u"Version", c.user));
      }
    }
    const std::string label =
        c.machine == nullptr ? "absent" : "\"" + os::Utf16ToUtf8(c.machine) + "\"";
    EXPECT_EQ(context->LauncherVersion(), c.launcher) << label;
    EXPECT_EQ(context->ComponentVersion(ComponentId::kClient), c.component) << label;
  }
}

TEST_F(InstallTest, FoldersFollowInstallPathAndClientVersion) {
  ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, base_key_, u"InstallPath",
                                  Native(u"C:\\Games\\Velmora")));
  ASSERT_TRUE(
      RegistryWriteString(kHkeyCurrentUser, base_key_ + u"\\Velmora", u"Version", u"5.2.0.1"));
  const auto context = MakeContext();
  EXPECT_EQ(context->ComponentFolder(ComponentId::kClient),
            Native(u"C:\\Games\\Velmora\\Application"));
  EXPECT_EQ(context->AppDirectory(), Native(u"C:\\Games\\Velmora\\Application\\5.2.0.1"));
  EXPECT_EQ(context->ComponentFolder(ComponentId::kProduct), Native(u"C:\\Games\\Velmora\\"));
}

TEST_F(InstallTest, MarksAreSetOnlyByNonZeroQwords) {
  const auto context = MakeContext();
  const RegistryMark mark(*context, u"qrvnd.sdk.mark");
  EXPECT_EQ(mark.root(), kHkeyCurrentUser);
  EXPECT_EQ(mark.sub_key(), base_key_ + u"\\Mark");
  EXPECT_EQ(mark.name(), u"qrvnd.sdk.mark");
  EXPECT_FALSE(mark.IsSet());
  ASSERT_TRUE(RegistryWriteQword(kHkeyCurrentUser, mark.sub_key(), mark.name(), 0));
  EXPECT_FALSE(mark.IsSet());
  ASSERT_TRUE(test_support::SetRawValue(kHkeyCurrentUser, mark.sub_key(), mark.name(),
                                        os::kRegDword, std::string("\x01\0\0\0", 4)));
  EXPECT_FALSE(mark.IsSet());
  ASSERT_TRUE(RegistryWriteQword(kHkeyCurrentUser, mark.sub_key(), mark.name(), 5));
  EXPECT_TRUE(mark.IsSet());
}

class DebounceTest : public InstallTest {
 protected:
  bool LaunchAt(std::uint64_t tick, std::u16string_view key) {
    tick_ = tick;
    return context_->ShouldSuppressLaunch(key);
  }
  std::u16string DebounceKey() const { return base_key_ + u"\\LaunchDebounce"; }
  std::uint64_t Stored(std::u16string_view name) const {
    return RegistryReadQword(kHkeyCurrentUser, DebounceKey(), name);
  }
  void SetUp() override {
    InstallTest::SetUp();
    context_ = MakeContext();
  }
  std::unique_ptr<InstallContext> context_;
};

TEST_F(DebounceTest, DropsRepeatsWithinOneSecondWithoutMovingTheWindow) {
  constexpr std::uint64_t kStart = 5'000'000;
  EXPECT_FALSE(LaunchAt(kStart, u"com.example.notes"));
  EXPECT_TRUE(LaunchAt(kStart + 500, u"com.example.notes"));
  EXPECT_EQ(Stored(u"com.example.notes"), kStart);
  EXPECT_FALSE(LaunchAt(kStart + 1000, u"com.example.notes"));
  EXPECT_EQ(Stored(u"com.example.notes"), kStart + 1000);
  EXPECT_TRUE(LaunchAt(kStart + 1999, u"com.example.notes"));
  EXPECT_FALSE(LaunchAt(kStart + 2000, u"com.example.notes"));
  // Keys have windows of their own.
  EXPECT_FALSE(LaunchAt(kStart + 2001, u"com.example.other"));
}

TEST_F(DebounceTest, StoredTimeAfterARestartDoesNotBlock) {
  ASSERT_TRUE(RegistryWriteQword(kHkeyCurrentUser, DebounceKey(), u"pkg", 9'000'000));
  EXPECT_FALSE(LaunchAt(2'000, u"pkg"));
  EXPECT_EQ(Stored(u"pkg"), 2'000u);
  EXPECT_TRUE(LaunchAt(2'500, u"pkg"));
}

TEST_F(DebounceTest, FirstLaunchRightAfterBootGoesAhead) {
  EXPECT_FALSE(LaunchAt(400, u"pkg"));
  EXPECT_EQ(Stored(u"pkg"), 400u);
  EXPECT_TRUE(LaunchAt(700, u"pkg"));
}

TEST_F(DebounceTest, ReplacesCharactersThatCannotNameAValue) {
  EXPECT_FALSE(LaunchAt(10'000, u"a/b"));
  EXPECT_TRUE(LaunchAt(10'100, u"a\\b"));  // same value name, same window
  EXPECT_EQ(Stored(u"a_b"), 10'000u);
  EXPECT_FALSE(LaunchAt(10'200, u"C:x"));
  EXPECT_EQ(Stored(u"C:x"), 10'200u);
  EXPECT_FALSE(LaunchAt(10'300, u"\"*/<>?\\|"));
  EXPECT_EQ(Stored(u"________"), 10'300u);
}

TEST_F(DebounceTest, EmptyKeyIsNeverDroppedAndLeavesNothing) {
  EXPECT_FALSE(LaunchAt(10'000, u""));
  EXPECT_FALSE(LaunchAt(10'001, u""));
  os::RegistryKey key;
  EXPECT_EQ(os::RegistryKey::Open(kHkeyCurrentUser, DebounceKey(), os::kKeyRead, key),
            os::kErrorFileNotFound);
}

TEST_F(InstallTest, RemoveIfeoEntryDeletesTheWholeEntry) {
  const std::u16string ifeo =
      u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\";
  const std::u16string name = product_ + u".exe";
  const std::u16string sibling = product_ + u"-sibling.exe";
  ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, ifeo + name, u"Debugger", u"x.exe"));
  ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, ifeo + name + u"\\PerfOptions", u"v", u"1"));
  ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, ifeo + sibling, u"Debugger", u"y.exe"));

  RemoveIfeoEntry(name);
  os::RegistryKey key;
  EXPECT_EQ(os::RegistryKey::Open(kHkeyLocalMachine, ifeo + name, os::kKeyRead, key),
            os::kErrorFileNotFound);
  RemoveIfeoEntry(name);  // already gone: silent

  // Names that would reach beyond one entry delete nothing.
  RemoveIfeoEntry(u"");
  RemoveIfeoEntry(u"..\\" + sibling);
  EXPECT_EQ(RegistryReadString(kHkeyLocalMachine, ifeo + sibling, u"Debugger", u""), u"y.exe");
  test_support::DeleteRegistryTree(kHkeyLocalMachine, ifeo + sibling);
}

TEST(InstallPaths, RootOfTheExecutableFolder) {
  const struct {
    std::u16string directory;
    std::u16string root;
  } cases[] = {
      {u"C:\\Games\\Velmora\\Application\\5.2.0.1", u"C:\\Games\\Velmora"},
      {u"C:\\Games\\Velmora\\Application", u"C:\\Games\\Velmora"},
      {u"C:\\Games\\Velmora\\APPLICATION\\", u"C:\\Games\\Velmora"},
      {u"C:\\Games\\Velmora", u"C:\\Games\\Velmora"},
      {u"C:\\Games\\Velmora\\Application\\5.2.0.1\\\\", u"C:\\Games\\Velmora"},
      {u"/opt/Quorlen/Velmora/Application/5.2.0.1beta", u"/opt/Quorlen/Velmora"},
      {u"C:\\Velmora\\-1.+2. 3.4", u"C:\\Velmora"},
      {u"C:\\Velmora\\5.2.0", u"C:\\Velmora\\5.2.0"},
      {u"C:\\Velmora\\v5.2.0.1", u"C:\\Velmora\\v5.2.0.1"},
      {u"C:\\Velmora\\5.2..0.1", u"C:\\Velmora\\5.2..0.1"},
      {u"C:\\Velmora\\Application\\Application", u"C:\\Velmora\\Application"},
      {u"C:\\Velmora\\5.2.0.1\\Application", u"C:\\Velmora\\5.2.0.1"},
      {u"C:\\Application", u"C:\\"},
      {u"/Application", u"/"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(InstallRootFromExeDirectory(c.directory), c.root) << os::Utf16ToUtf8(c.directory);
  }
  EXPECT_EQ(ParentDirectory(u"C:\\Games\\Velmora\\VelmoraLauncher.exe"), u"C:\\Games\\Velmora");
  EXPECT_EQ(ParentDirectory(u"C:\\VelmoraLauncher.exe"), u"C:\\");
  EXPECT_EQ(ParentDirectory(u"/opt//x"), u"/opt");
  EXPECT_EQ(NormalizeInstallPath(u""), u"");
}

TEST(InstallPaths, KnownFolderPathFallsBackOnlyWhenTheShellHasNothing) {
  EXPECT_EQ(KnownFolderPath(os::kCsidlProgramFiles, u"fallback"),
            os::ShellFolderPath(os::kCsidlProgramFiles));
  EXPECT_EQ(KnownFolderPath(os::kCsidlProgramFiles, u"fallback"),
            os::ShellFolderPath(os::kCsidlProgramFiles));
  EXPECT_EQ(KnownFolderPath(0x00FE, u"fallback"), u"fallback");
}

TEST(ProductFolders, ExecutableNames) {
  const struct {
    int type;
    std::u16string name;
  } cases[] = {{0, u""},
               {1, u"Velmora"},
               {2, u"VelmoraEmulator"},
               {8, u"VelmoraAssistant"},
               {10, u"VelmoraLauncher"},
               {13, u"RIZOBoxSVC"},
               {14, u""},
               {15, u""},
               {16, u"VelmoraVm"},
               {17, u""},
               {-1, u""}};
  for (const auto& c : cases) {
    EXPECT_EQ(ExecutableBaseName(static_cast<ExeType>(c.type)), c.name) << c.type;
  }
}

TEST(ProductFolders, TemporaryFoldersAreCreated) {
  test_support::TempFolder temp;
  std::u16string folder = temp.path();
  if (folder.back() != os::kPathSeparator) folder.push_back(os::kPathSeparator);
  const test_support::ScopedTempEnvironment environment(folder);
  EXPECT_EQ(TempRootDirectory(), folder + u"Quorlen");
  EXPECT_EQ(CrashDataDirectory(), folder + Native(u"Quorlen\\Velmora\\"));
  EXPECT_EQ(os::StatusOf(folder + Native(u"Quorlen\\Velmora")), os::PathKind::kDirectory);

  // An existing file counts as there and is left alone.
  const std::u16string file = folder + u"file";
  std::ofstream(std::filesystem::path(file)) << "x";
  EXPECT_TRUE(EnsureDirectory(file));
  EXPECT_EQ(os::StatusOf(file), os::PathKind::kOther);
  EXPECT_TRUE(EnsureDirectory(folder + Native(u"a\\b\\c")));
  EXPECT_EQ(os::StatusOf(folder + Native(u"a\\b\\c")), os::PathKind::kDirectory);
}

TEST(FileVersion, ReadsTheLauncherVersionAndNothingElse) {
  EXPECT_EQ(FileVersionString(test_support::LauncherExecutable()),
            os::Utf8ToUtf16(VELMORA_VERSION_TEXT));
  // This test program carries no version.
  EXPECT_EQ(FileVersionString(os::ModulePath()), u"");
  EXPECT_EQ(FileVersionString(os::ModulePath() + u".missing"), u"");
  test_support::TempFolder temp;
  const std::u16string text = os::PathJoin(temp.path(), u"plain.exe");
  std::ofstream(std::filesystem::path(text)) << "not a program";
  EXPECT_EQ(FileVersionString(text), u"");
}

}  // namespace
