// The hive files of the Linux registry: concurrent writers, readers during writes, damaged files
// and permissions. Real processes throughout.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

#include "base/registry.h"
#include "os/reg_hive.h"
#include "os/text.h"
#include "registry_sandbox.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWriters = 8;
// Every write rereads and rewrites the whole hive, so the work grows with the square of the
// values; sanitizer builds, many times slower, run the same contention on fewer values.
#ifdef VELMORA_HIVE_STRESS_VALUES
constexpr int kValuesPerWriter = VELMORA_HIVE_STRESS_VALUES;
#else
constexpr int kValuesPerWriter = 200;
#endif
constexpr std::u16string_view kStressKey = u"SOFTWARE\\VelmoraTest\\Stress";

std::u16string ValueName(int writer, int index) {
  return os::Utf8ToUtf16("w" + std::to_string(writer) + "-" + std::to_string(index));
}

VELMORA_TEST_CHILD(hive_writer) {
  const int writer = std::stoi(arguments.at(0));
  for (int i = 0; i < kValuesPerWriter; ++i) {
    if (!RegistryWriteQword(kHkeyCurrentUser, kStressKey, ValueName(writer, i),
                            static_cast<std::uint64_t>(writer) * 1000 + i)) {
      return 1;
    }
  }
  return 0;
}

// Checks what a standard user may do: runs as "nobody" when started as root.
VELMORA_TEST_CHILD(machine_hive_as_user) {
  if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 10;
  if (RegistryReadString(kHkeyLocalMachine, u"SOFTWARE\\Quorlen\\Velmora", u"InstallPath", u"") !=
      u"/opt/Quorlen/Velmora") {
    return 11;
  }
  os::RegistryKey key;
  if (os::RegistryKey::Open(kHkeyLocalMachine, u"SOFTWARE\\Quorlen\\Velmora", os::kKeyWrite, key) !=
      os::kErrorAccessDenied) {
    return 12;
  }
  if (os::RegistryKey::Create(kHkeyLocalMachine, u"SOFTWARE\\Other", os::kKeyWrite, key) !=
      os::kErrorAccessDenied) {
    return 13;
  }
  if (RegistryWriteString(kHkeyLocalMachine, u"SOFTWARE\\Quorlen\\Velmora", u"InstallPath",
                          u"/x")) {
    return 14;
  }
  if (RegistryDeleteKeyTree(u"SOFTWARE\\Quorlen")) return 15;
  return 0;
}

std::string UserHive(const test_support::TempFolder& folder) {
  return folder.narrow() + "/user.reg";
}

// A fresh folder in memory where there is one: what the stress test checks is locking and
// renaming, not how fast the disk flushes, and 1,600 flushes to disk take seconds.
class MemoryFolder {
 public:
  MemoryFolder() {
    if (::access("/dev/shm", W_OK) == 0) {
      path_ = "/dev/shm/" + test_support::UniqueName("velmora-hive");
      fs::create_directory(path_);
    } else {
      fallback_.emplace();
      path_ = fallback_->narrow();
    }
  }
  ~MemoryFolder() {
    if (!fallback_) fs::remove_all(path_);
  }
  MemoryFolder(const MemoryFolder&) = delete;
  MemoryFolder& operator=(const MemoryFolder&) = delete;
  std::u16string path() const { return os::Utf8ToUtf16(path_); }
  std::string narrow() const { return path_; }

 private:
  std::string path_;
  std::optional<test_support::TempFolder> fallback_;
};

TEST(HiveFile, ConcurrentWritersLoseNothingAndReadersNeverSeeATornFile) {
  MemoryFolder folder;
  const os::ChildProcess::Environment environment{{u"VELMORA_REGISTRY_DIR", folder.path()}};
  std::vector<os::ChildProcess> writers;
  for (int i = 0; i < kWriters; ++i) {
    auto child = test_support::SpawnChild("hive_writer", {std::to_string(i)}, environment);
    ASSERT_TRUE(child.has_value());
    writers.push_back(std::move(*child));
  }

  // Read the file each time a writer renames a new version into place (several renames that
  // happen while a read is going on make one read): every version must parse, and the number of
  // values never goes down.
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, folder.narrow().c_str(), IN_MOVED_TO), 0);
  int reads = 0;
  std::size_t last_count = 0;
  bool running = true;
  while (running) {
    running = false;
    for (auto& writer : writers) running |= !writer.Wait(0).has_value();
    pollfd ready{watch, POLLIN, 0};
    if (::poll(&ready, 1, running ? 100 : 0) <= 0) continue;
    char events[4096];
    while (::read(watch, events, sizeof events) > 0) {
    }
    const auto hive = os::ParseRegText(
        test_support::ReadFileBytes(os::Utf8ToUtf16(folder.narrow() + "/user.reg")),
        u"HKEY_CURRENT_USER");
    ASSERT_TRUE(hive.has_value()) << "torn hive after " << reads << " reads";
    const auto* key = hive->Find(kStressKey);
    const std::size_t count = key == nullptr ? 0 : key->values.size();
    ASSERT_GE(count, last_count);
    last_count = count;
    ++reads;
  }
  ::close(watch);
  for (auto& writer : writers) EXPECT_EQ(writer.Wait(os::ChildProcess::kInfinite), 0u);
  EXPECT_GT(reads, 1);

  // Every value of every writer is there with its data.
  const auto hive =
      os::ParseRegText(test_support::ReadFileBytes(os::Utf8ToUtf16(folder.narrow() + "/user.reg")),
                       u"HKEY_CURRENT_USER");
  ASSERT_TRUE(hive.has_value());
  const auto* key = hive->Find(kStressKey);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->values.size(), static_cast<std::size_t>(kWriters * kValuesPerWriter));
  int found = 0;
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kValuesPerWriter; ++i) {
      const os::RegValue* value = os::RegHive::FindValue(*key, ValueName(w, i));
      const std::uint64_t expected = static_cast<std::uint64_t>(w) * 1000 + i;
      found += value != nullptr && value->type == os::kRegQword && value->data.size() == 8 &&
               std::equal(value->data.begin(), value->data.end(),
                          reinterpret_cast<const std::uint8_t*>(&expected));
    }
  }
  EXPECT_EQ(found, kWriters * kValuesPerWriter);
  // And the registry functions read them back.
  os::SetEnv(u"VELMORA_REGISTRY_DIR", folder.path());
  EXPECT_EQ(RegistryReadQword(kHkeyCurrentUser, kStressKey,
                              ValueName(kWriters - 1, kValuesPerWriter - 1)),
            static_cast<std::uint64_t>(kWriters - 1) * 1000 + kValuesPerWriter - 1);
  os::SetEnv(u"VELMORA_REGISTRY_DIR", u"");
  // Nothing is left over beside the hive and its lock.
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(folder.narrow())) {
    files.insert(entry.path().filename().string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"user.reg", "user.reg.lock"}));
}

TEST(HiveFile, UnparsableHiveReadsEmptyAndIsSetAsideByTheNextWrite) {
  test_support::TempFolder folder;
  os::SetEnv(u"VELMORA_REGISTRY_DIR", folder.path());
  const std::string damaged =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Key]\n\"Version\"=\"5.2";
  std::ofstream(UserHive(folder), std::ios::binary) << damaged;

  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, u"Key", u"Version", u"none"), u"none");
  os::RegistryKey key;
  EXPECT_EQ(os::RegistryKey::Open(kHkeyCurrentUser, u"Key", os::kKeyRead, key),
            os::kErrorFileNotFound);
  // Reading and failed lookups leave the file alone.
  EXPECT_EQ(test_support::ReadFileBytes(os::Utf8ToUtf16(UserHive(folder))), damaged);
  EXPECT_TRUE(RegistryDeleteValues(u"Key", {u"Version"}));
  EXPECT_EQ(test_support::ReadFileBytes(os::Utf8ToUtf16(UserHive(folder))), damaged);

  ASSERT_TRUE(RegistryWriteString(kHkeyCurrentUser, u"Key", u"Fresh", u"1"));
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, u"Key", u"Fresh", u""), u"1");
  EXPECT_EQ(RegistryReadString(kHkeyCurrentUser, u"Key", u"Version", u"none"), u"none");
  os::SetEnv(u"VELMORA_REGISTRY_DIR", u"");

  std::vector<std::string> aside;
  for (const auto& entry : fs::directory_iterator(folder.narrow())) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("user.reg.unparsable-", 0) == 0) aside.push_back(entry.path().string());
  }
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(test_support::ReadFileBytes(os::Utf8ToUtf16(aside[0])), damaged);
}

TEST(HiveFile, MachineHiveTakesNoChangesFromStandardUsers) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to own the machine hive";
  test_support::TempFolder folder;
  ::chmod(folder.narrow().c_str(), 0755);
  {
    const os::ChildProcess::Environment environment{{u"VELMORA_REGISTRY_DIR", folder.path()}};
    os::SetEnv(u"VELMORA_REGISTRY_DIR", folder.path());
    ASSERT_TRUE(RegistryWriteString(kHkeyLocalMachine, u"SOFTWARE\\Quorlen\\Velmora",
                                    u"InstallPath", u"/opt/Quorlen/Velmora"));
    os::SetEnv(u"VELMORA_REGISTRY_DIR", u"");
    struct stat status {};
    ASSERT_EQ(::stat((folder.narrow() + "/system.reg").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    auto child = test_support::SpawnChild("machine_hive_as_user", {}, environment);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(child->Wait(os::ChildProcess::kInfinite), 0u);
  }
}

TEST(HiveFile, DefaultLocationsFollowTheEnvironment) {
  test_support::TempFolder folder;
  const std::u16string config = folder.path() + u"/config";
  const auto saved_config = os::GetEnv(u"XDG_CONFIG_HOME");
  os::SetEnv(u"XDG_CONFIG_HOME", config);
  const auto saved = os::GetEnv(u"VELMORA_REGISTRY_DIR");
  os::SetEnv(u"VELMORA_REGISTRY_DIR", u"");
  const bool written = RegistryWriteString(kHkeyCurrentUser, u"Key", u"Name", u"value");
  os::SetEnv(u"XDG_CONFIG_HOME", saved_config.value_or(u""));
  os::SetEnv(u"VELMORA_REGISTRY_DIR", saved.value_or(u""));
  ASSERT_TRUE(written);
  const std::string hive = folder.narrow() + "/config/velmora/user.reg";
  EXPECT_NE(test_support::ReadFileBytes(os::Utf8ToUtf16(hive)).find("\"Name\"=\"value\""),
            std::string::npos);
  struct stat status {};
  ASSERT_EQ(::stat(hive.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

}  // namespace
