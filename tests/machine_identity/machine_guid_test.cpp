#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/machine_identity/machine_guid.h"
#include "base/registry.h"
#include "base/text_encoding.h"
#include "install/install_context.h"
#include "os/child_process.h"
#include "os/named_objects.h"
#include "os/paths.h"
#include "os/profile.h"
#include "os/text.h"
#include "registry_sandbox.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace base::tolq_guid;

const bool kSandbox = test_support::UseRegistrySandbox();

// --- The child side: hardware and folders from the environment ---

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void Note(const std::string& line) {
  const std::string path = Env("VELMORA_TEST_HW_LOG");
  if (path.empty()) return;
  std::ofstream(path, std::ios::binary | std::ios::app) << line << "\n";
}

bool FakeMac(std::span<std::uint8_t, 6> mac) {
  Note("mac");
  if (!Env("VELMORA_TEST_HW_BLOCK").empty()) {
    // Mark the block as being computed for the parent, then never finish.
    const auto started = os::NamedEvent::Create(os::Utf8ToUtf16(Env("VELMORA_TEST_HW_BLOCK")), true,
                                                false, os::ObjectSecurity::kDefault);
    started.object.Set();
    const auto never =
        os::NamedEvent::Create(os::Utf8ToUtf16(Env("VELMORA_TEST_HW_BLOCK") + "-never"), true,
                               false, os::ObjectSecurity::kDefault);
    never.object.Wait(os::kInfiniteWait);
  }
  const std::string text = Env("VELMORA_TEST_MAC");
  for (std::size_t i = 0; i < 6; ++i) {
    mac[i] = static_cast<std::uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
  }
  return true;
}

bool FakeDisk(DiskIdentity& identity) {
  Note("disk");
  const std::string text = Env("VELMORA_TEST_DISK");  // serial|model|firmware
  identity = DiskIdentity{};
  if (text.empty()) return false;
  const auto first = text.find('|');
  const auto second = text.find('|', first + 1);
  identity.serial = text.substr(0, first);
  identity.model = text.substr(first + 1, second - first - 1);
  identity.firmware = text.substr(second + 1);
  identity.read = true;
  return true;
}

std::string FakeCpu() {
  Note("cpu");
  return Env("VELMORA_TEST_CPU");
}

bool AlwaysNt() {
  return true;
}

std::optional<std::string> FakeAppData() {
  return Env("VELMORA_TEST_APPDATA");
}

void UseFakeEnvironment() {
  IdentityEnvironment environment;
  environment.is_nt_platform = &AlwaysNt;
  environment.primary_mac = &FakeMac;
  environment.disk_identity = &FakeDisk;
  environment.cpu_brand = &FakeCpu;
  environment.app_data_folder = &FakeAppData;
  if (const std::string wait = Env("VELMORA_TEST_WAIT_MS"); !wait.empty()) {
    environment.compute_wait_ms = static_cast<std::uint32_t>(std::stoul(wait));
  }
  SetIdentityEnvironmentForTesting(environment);
}

int WriteResult(const std::string& value) {
  std::ofstream(Env("VELMORA_TEST_OUT"), std::ios::binary | std::ios::trunc) << value;
  return 0;
}

VELMORA_TEST_CHILD(tolq_guid) {
  UseFakeEnvironment();
  InstallContext::Instance().Init(os::Utf8ToUtf16(Env("VELMORA_TEST_PRODUCT")));
  const std::string first = GetTolqGuid();
  if (GetTolqGuid() != first) return 3;
  return WriteResult(first);
}

VELMORA_TEST_CHILD(machine_guid_hex) {
  UseFakeEnvironment();
  return WriteResult(MachineGuidHex());
}

// --- The parent side ---

constexpr char kMac[] = "3c7c3faabbcc";
constexpr char kOtherMac[] = "0a0b0c0d0e0f";
constexpr char kDisk[] = "WD-123|WDC WD10|01.01A01";
constexpr char kOtherDisk[] = "S3NJ|Samsung SSD|SVT01";
constexpr char kCpu[] = "Intel(R) Core(TM) i7";
constexpr char kStoredGuid[] = "00112233445566778899aabbccddeeff";

std::string DiskSeed(const std::string& disk) {
  std::string seed = disk;
  seed.erase(std::remove(seed.begin(), seed.end(), '|'), seed.end());
  return seed;
}

struct Hardware {
  std::string mac = kMac;
  std::string disk = kDisk;  // empty: no disk identity
  std::string cpu = kCpu;
};

std::string Profile(const std::string& guid, const std::string& mac_hash,
                    const std::string& disk_hash, const std::string& cpu_hash, bool current) {
  return "[Profile]\r\nconfig1=" + guid + "\r\nconfig2=" + mac_hash + "\r\nconfig3=" + disk_hash +
         "\r\nconfig4=" + cpu_hash + "\r\n" + (current ? "config5=1\r\n" : "");
}

std::string HashesProfile(const std::string& guid, const Hardware& hw) {
  return Profile(guid, Md5HexLower(hw.mac), hw.disk.empty() ? "" : Md5HexLower(DiskSeed(hw.disk)),
                 hw.cpu.empty() ? "" : Md5HexLower(hw.cpu), true);
}

class MachineGuidTest : public ::testing::Test {
 protected:
  void SetUp() override {
    appdata_ = (fs::path(folder_.path()) / "appdata").string();
    fs::create_directories(appdata_);
    profile_ = (fs::path(appdata_) / "Quorlen" / "RuruRedade" / "GlobalMgr.db").string();
    // A product of its own keeps this test's values apart in a shared registry.
    product_ = os::Utf8ToUtf16(test_support::UniqueName("VelmoraTest"));
    InstallContext context;
    context.Init(product_);
    key_ = context.RegistryKey(ComponentId::kClient);
  }
  void TearDown() override {
    for (const auto root : {kHkeyLocalMachine, kHkeyCurrentUser}) {
      test_support::DeleteRegistryTree(root, u"SOFTWARE\\Quorlen\\" + product_);
    }
  }

  void ClearRegistry() {
    for (const auto root : {kHkeyLocalMachine, kHkeyCurrentUser}) {
      test_support::DeleteRegistryTree(root, key_);
    }
  }

  std::string Registry(RegistryRoot root) {
    return WideToUtf8(RegistryReadString(root, key_, u"TolqGuid", u""));
  }

  void WriteProfile(const std::string& text) {
    fs::create_directories(fs::path(profile_).parent_path());
    std::ofstream(profile_, std::ios::binary | std::ios::trunc) << text;
  }
  std::string ProfileBytes() { return test_support::ReadFileBytes(os::Utf8ToUtf16(profile_)); }

  os::ChildProcess::Environment ChildEnvironment(const Hardware& hw, const std::string& out) {
    return {
        {u"VELMORA_TEST_PRODUCT", product_},
        {u"VELMORA_TEST_APPDATA", os::Utf8ToUtf16(appdata_)},
        {u"VELMORA_TEST_MAC", os::Utf8ToUtf16(hw.mac)},
        {u"VELMORA_TEST_DISK", os::Utf8ToUtf16(hw.disk)},
        {u"VELMORA_TEST_CPU", os::Utf8ToUtf16(hw.cpu)},
        {u"VELMORA_TEST_HW_LOG", (fs::path(folder_.path()) / "hardware.log").u16string()},
        {u"VELMORA_TEST_OUT", os::Utf8ToUtf16(out)},
    };
  }

  std::string OutPath(const std::string& name) {
    return (fs::path(folder_.path()) / name).string();
  }

  // Runs a child mode to its end; its result text.
  std::string Run(const char* mode, const Hardware& hw, os::ChildProcess::Environment extra = {}) {
    const std::string out = OutPath(test_support::UniqueName("out"));
    auto environment = ChildEnvironment(hw, out);
    environment.insert(environment.end(), extra.begin(), extra.end());
    auto child = test_support::SpawnChild(mode, {}, environment);
    EXPECT_TRUE(child);
    if (!child) return {};
    EXPECT_EQ(child->Wait(os::ChildProcess::kInfinite), 0u);
    return test_support::ReadFileBytes(os::Utf8ToUtf16(out));
  }

  int HardwareReads(const std::string& what) {
    const std::string log =
        test_support::ReadFileBytes((fs::path(folder_.path()) / "hardware.log").u16string());
    int count = 0;
    for (std::size_t at = log.find(what + "\n"); at != std::string::npos;
         at = log.find(what + "\n", at + 1)) {
      ++count;
    }
    return count;
  }

  test_support::TempFolder folder_;
  std::string appdata_, profile_;
  std::u16string product_, key_;
};

TEST_F(MachineGuidTest, FirstRunDerivesStoresAndWritesTheProfile) {
  const Hardware hw;
  const std::string expected = Md5HexLower(kMac + DiskSeed(kDisk));
  EXPECT_EQ(Run("tolq_guid", hw), expected);
  EXPECT_EQ(Registry(kHkeyLocalMachine), expected);
  EXPECT_EQ(Registry(kHkeyCurrentUser), expected);
  EXPECT_EQ(ProfileBytes(), HashesProfile(expected, hw));

  // A second run finds the registry; with the registry gone it finds the profile.
  EXPECT_EQ(Run("tolq_guid", hw), expected);
  ClearRegistry();
  EXPECT_EQ(Run("tolq_guid", hw), expected);
  EXPECT_EQ(HardwareReads("mac"), 2);
}

TEST_F(MachineGuidTest, UserValueIsCopiedToTheMachineWithoutReadingHardware) {
  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, key_, u"TolqGuid", u"user-guid-taken-as-is"));
  EXPECT_EQ(Run("tolq_guid", Hardware{}), "user-guid-taken-as-is");
  EXPECT_EQ(Registry(kHkeyLocalMachine), "user-guid-taken-as-is");
  EXPECT_EQ(HardwareReads("mac"), 0);
  EXPECT_EQ(ProfileBytes(), "");
}

TEST_F(MachineGuidTest, StoredProfileAgainstChangedHardware) {
  const Hardware original;
  Hardware replaced_disk = original;
  replaced_disk.disk = kOtherDisk;
  Hardware everything_changed = replaced_disk;
  everything_changed.mac = kOtherMac;
  Hardware unreadable_disk = original;
  unreadable_disk.disk.clear();
  Hardware no_disk_before = original;
  no_disk_before.disk.clear();

  struct Case {
    const char* name;
    std::string stored;
    Hardware now;
    std::string expected_guid;
    bool rewritten;
  };
  const Case cases[] = {
      {"disk replaced: reused, file untouched", HashesProfile(kStoredGuid, original), replaced_disk,
       kStoredGuid, false},
      {"MAC and disk changed: new GUID, profile rewritten", HashesProfile(kStoredGuid, original),
       everything_changed, Md5HexLower(kOtherMac + DiskSeed(kOtherDisk)), true},
      {"disk no longer readable: reused", HashesProfile(kStoredGuid, original), unreadable_disk,
       kStoredGuid, false},
      {"disk readable on a profile without it: new GUID from MAC and disk",
       HashesProfile(kStoredGuid, no_disk_before), original, Md5HexLower(kMac + DiskSeed(kDisk)),
       true},
      {"old format with processor brand and no disk: the brand joins the seed",
       Profile(kStoredGuid, Md5HexLower(kMac), "", Md5HexLower(kCpu), false), unreadable_disk,
       Md5HexLower(std::string(kMac) + kCpu), true},
  };
  for (const auto& c : cases) {
    ClearRegistry();
    WriteProfile(c.stored);
    EXPECT_EQ(Run("tolq_guid", c.now), c.expected_guid) << c.name;
    EXPECT_EQ(ProfileBytes(), c.rewritten ? HashesProfile(c.expected_guid, c.now) : c.stored)
        << c.name;
  }
}

// The parent keeps the shared block alive, as a running instance would.
class SharedBlockTest : public MachineGuidTest {
 protected:
  void SetUp() override {
    MachineGuidTest::SetUp();
    mapping_ = os::FileMapping::Create(MachineGuidBlockName(os::ModulePath()),
                                       sizeof(MachineGuidBlock), os::ObjectSecurity::kDefault);
    ASSERT_TRUE(mapping_.ok());
    ASSERT_FALSE(mapping_.existed()) << "another run of this test program holds the block";
    view_ = os::MappedView::Map(mapping_.object);
    ASSERT_TRUE(view_.ok());
  }
  const MachineGuidBlock& Block() const {
    return *static_cast<const MachineGuidBlock*>(view_.object.data());
  }

  os::OpenResult<os::FileMapping> mapping_;
  os::OpenResult<os::MappedView> view_;
};

TEST_F(SharedBlockTest, InstancesStartedTogetherComputeOnce) {
  const Hardware hw;
  const std::string expected = Md5HexLower(kMac + DiskSeed(kDisk));
  const std::string out_a = OutPath("a"), out_b = OutPath("b");
  auto a = test_support::SpawnChild("machine_guid_hex", {}, ChildEnvironment(hw, out_a));
  auto b = test_support::SpawnChild("machine_guid_hex", {}, ChildEnvironment(hw, out_b));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->Wait(os::ChildProcess::kInfinite), 0u);
  EXPECT_EQ(b->Wait(os::ChildProcess::kInfinite), 0u);
  EXPECT_EQ(test_support::ReadFileBytes(os::Utf8ToUtf16(out_a)), expected);
  EXPECT_EQ(test_support::ReadFileBytes(os::Utf8ToUtf16(out_b)), expected);
  EXPECT_EQ(HardwareReads("mac"), 1);
  EXPECT_EQ(Block().state, kGuidReady);
}

TEST_F(SharedBlockTest, WaiterTakesOverWhenTheComputingInstanceDies) {
  const Hardware hw;
  const std::string started_name = test_support::UniqueName("velmora-guid-started");
  const auto started = os::NamedEvent::Create(os::Utf8ToUtf16(started_name), true, false,
                                              os::ObjectSecurity::kDefault);
  ASSERT_TRUE(started.ok());
  auto computing = test_support::SpawnChild("machine_guid_hex", {}, [&] {
    auto environment = ChildEnvironment(hw, OutPath("computing"));
    environment.emplace_back(u"VELMORA_TEST_HW_BLOCK", os::Utf8ToUtf16(started_name));
    return environment;
  }());
  ASSERT_TRUE(computing);
  ASSERT_TRUE(started.object.Wait(30'000).signaled());
  EXPECT_EQ(Block().state, kGuidComputing);

  const std::string out = OutPath("waiter");
  auto waiter = test_support::SpawnChild("machine_guid_hex", {}, ChildEnvironment(hw, out));
  ASSERT_TRUE(waiter);
  EXPECT_TRUE(computing->Kill());
  EXPECT_EQ(waiter->Wait(os::ChildProcess::kInfinite), 0u);
  EXPECT_EQ(test_support::ReadFileBytes(os::Utf8ToUtf16(out)), Md5HexLower(kMac + DiskSeed(kDisk)));
  EXPECT_EQ(Block().state, kGuidReady);
}

TEST_F(SharedBlockTest, WaiterGivesUpOnAHungInstanceAndDerivesItsOwnCopy) {
  const Hardware hw;
  const std::string started_name = test_support::UniqueName("velmora-guid-started");
  const auto started = os::NamedEvent::Create(os::Utf8ToUtf16(started_name), true, false,
                                              os::ObjectSecurity::kDefault);
  ASSERT_TRUE(started.ok());
  auto environment = ChildEnvironment(hw, OutPath("hung"));
  environment.emplace_back(u"VELMORA_TEST_HW_BLOCK", os::Utf8ToUtf16(started_name));
  auto hung = test_support::SpawnChild("machine_guid_hex", {}, environment);
  ASSERT_TRUE(hung);
  ASSERT_TRUE(started.object.Wait(30'000).signaled());

  const std::string out = OutPath("impatient");
  auto impatient = test_support::SpawnChild("machine_guid_hex", {}, [&] {
    auto env = ChildEnvironment(hw, out);
    env.emplace_back(u"VELMORA_TEST_WAIT_MS", u"100");
    return env;
  }());
  ASSERT_TRUE(impatient);
  EXPECT_EQ(impatient->Wait(os::ChildProcess::kInfinite), 0u);
  EXPECT_EQ(test_support::ReadFileBytes(os::Utf8ToUtf16(out)), Md5HexLower(kMac + DiskSeed(kDisk)));
  // The block stays with the hung instance.
  EXPECT_EQ(Block().state, kGuidComputing);
  hung->Kill();
}

TEST(MachineGuidBlockName, SamePathSameBlockWhateverTheCase) {
  EXPECT_EQ(MachineGuidBlockName(u"C:\\Games\\Velmora\\VelmoraLauncher.exe"),
            MachineGuidBlockName(u"c:\\GAMES\\velmora\\VelmoraLauncher.EXE"));
  EXPECT_NE(MachineGuidBlockName(u"C:\\Games\\Velmora\\VelmoraLauncher.exe"),
            MachineGuidBlockName(u"D:\\Velmora\\VelmoraLauncher.exe"));
}

TEST(Md5HexLower, KnownDigests) {
  EXPECT_EQ(Md5HexLower(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5HexLower("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5HexLower("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5HexLower(std::string("a\0b", 3)), "70350f6027bce3713f6b76473084309b");
}

}  // namespace
