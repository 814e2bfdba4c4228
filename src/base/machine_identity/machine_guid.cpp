#include "base/machine_identity/machine_guid.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "base/registry.h"
#include "base/text_encoding.h"
#include "install/install_context.h"
#include "install/product.h"
#include "os/hardware.h"
#include "os/md5.h"
#include "os/named_objects.h"
#include "os/profile.h"

namespace base::tolq_guid {
namespace {

constexpr char kProfileSection[] = "Profile";
constexpr std::size_t kProfileValueLength = 32;
constexpr char16_t kRegistryValue[] = u"TolqGuid";

IdentityEnvironment& Environment() {
  static IdentityEnvironment* environment = new IdentityEnvironment(SystemIdentityEnvironment());
  return *environment;
}

bool SystemDiskIdentity(DiskIdentity& identity) {
  return ReadDiskIdentity(identity);
}

// The crypto library does not fail on a working system; if it ever did, the digest would be all
// zero rather than undefined.
GuidBytes Md5Digest(std::string_view text) {
  const auto digest = os::Md5(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  GuidBytes bytes{};
  if (digest) std::memcpy(bytes.data(), digest->data(), bytes.size());
  return bytes;
}

struct OpenedProfile {
  std::optional<os::SharedFile> file;
  bool existed = false;
  std::string path;
};

OpenedProfile OpenIdentityProfile() {
  const auto folder = Environment().app_data_folder();
  if (!folder) return {};
  // Another account's folder (access denied) is as good as an existing one: opening the file
  // decides.
  const auto usable = [](os::ErrorCode error) {
    return error == os::kErrorSuccess || error == os::kErrorAlreadyExists ||
           error == os::kErrorAccessDenied;
  };
  std::string path = os::NarrowPathJoin(*folder, "Quorlen");
  if (!usable(os::CreateNarrowDirectory(path))) return {};
  path = os::NarrowPathJoin(path, "RuruRedade");
  if (!usable(os::CreateNarrowDirectory(path))) return {};
  path = os::NarrowPathJoin(path, "GlobalMgr.db");

  OpenedProfile profile;
  profile.path = path;
  os::ErrorCode error = os::kErrorSuccess;
  profile.file = os::SharedFile::Open(path, os::SharedFile::Disposition::kOpenExisting, &error);
  if (profile.file) {
    profile.existed = true;
    return profile;
  }
  if (error != os::kErrorFileNotFound) return {};
  profile.file = os::SharedFile::Open(path, os::SharedFile::Disposition::kCreateAlways);
  return profile;
}

StoredProfile ReadStoredProfile(const std::string& path) {
  StoredProfile stored;
  stored.config1 = os::ReadProfileString(path, kProfileSection, "config1", kProfileValueLength);
  stored.config2 = os::ReadProfileString(path, kProfileSection, "config2", kProfileValueLength);
  stored.config3 = os::ReadProfileString(path, kProfileSection, "config3", kProfileValueLength);
  stored.config4 = os::ReadProfileString(path, kProfileSection, "config4", kProfileValueLength);
  stored.config5 = os::ReadProfileInt(path, kProfileSection, "config5", 0);
  return stored;
}

void RewriteProfile(os::SharedFile& file, const std::string& path, std::string_view text) {
  const bool truncated = file.TruncateAtStart();
  const auto size = file.Size();
  if (truncated && size && *size == 0) {
    file.Write(text);
    return;
  }
  // The file kept content it should have lost: start it afresh through a new handle.
  if (auto fresh = os::SharedFile::Open(path, os::SharedFile::Disposition::kCreateAlways)) {
    fresh->Write(text);
  }
}

std::u16string RegistryKey() {
  return InstallContext::Instance().RegistryKey(ComponentId::kClient);
}

}  // namespace

IdentityEnvironment SystemIdentityEnvironment() {
  IdentityEnvironment environment;
  environment.is_nt_platform = &os::IsNtPlatform;
  environment.primary_mac = &GetPrimaryMacAddress;
  environment.disk_identity = &SystemDiskIdentity;
  environment.cpu_brand = &CpuBrandString;
  environment.app_data_folder = &os::NarrowAppDataFolder;
  return environment;
}

void SetIdentityEnvironmentForTesting(const IdentityEnvironment& environment) {
  Environment() = environment;
}

std::string Md5HexLower(std::string_view text) {
  return GuidHex(Md5Digest(text));
}

GuidBytes ComputeMachineGuid() {
  const IdentityEnvironment& environment = Environment();
  std::array<std::uint8_t, 6> mac{};
  environment.primary_mac(mac);
  const std::string mac_text = MacText(mac);

  DiskIdentity disk;
  if (environment.is_nt_platform()) environment.disk_identity(disk);
  const std::string cpu = environment.cpu_brand();

  HardwareHashes hashes;
  hashes.disk_read = disk.read;
  hashes.cpu_read = !cpu.empty();
  hashes.mac = Md5HexLower(mac_text);
  if (hashes.disk_read) hashes.disk = Md5HexLower(disk.serial + disk.model + disk.firmware);
  if (hashes.cpu_read) hashes.cpu = Md5HexLower(cpu);

  OpenedProfile profile = OpenIdentityProfile();
  ProfileVerdict verdict;
  if (profile.file && profile.existed) {
    verdict = JudgeStoredProfile(ReadStoredProfile(profile.path), hashes);
    if (verdict.reuse) return verdict.guid;
  }
  const GuidBytes guid = Md5Digest(GuidSeed(mac_text, disk, cpu, verdict.legacy));
  if (profile.file) RewriteProfile(*profile.file, profile.path, ProfileText(guid, hashes));
  return guid;
}

std::u16string MachineGuidBlockName(std::u16string_view executable_path) {
  // FNV-1a over the lower-cased UTF-16 units: object names cannot hold the path itself.
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char16_t unit : executable_path) {
    if (unit >= u'A' && unit <= u'Z') unit = static_cast<char16_t>(unit - u'A' + u'a');
    for (int shift = 0; shift < 16; shift += 8) {
      hash ^= static_cast<std::uint8_t>(unit >> shift);
      hash *= 0x100000001b3ull;
    }
  }
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  std::u16string name = u"Local\\VelmoraMachineGuid_";
  for (int shift = 60; shift >= 0; shift -= 4) name.push_back(kDigits[(hash >> shift) & 0xF]);
  return name;
}

std::string CSeqIDGenerator::MachineGuidHex() {
  const std::u16string name = MachineGuidBlockName(ModulePath());
  auto mapping =
      os::FileMapping::Create(name, sizeof(MachineGuidBlock), os::ObjectSecurity::kDefault);
  if (!mapping.ok()) return GuidHex(ComputeMachineGuid());
  auto view = os::MappedView::Map(mapping.object);
  // The computing instance holds this lock from before it marks the block until it has
  // published, so a holder that finds the block marked knows its computer died.
  auto lock = os::NamedMutex::Create(name + u"_Computing", false, os::ObjectSecurity::kDefault);
  if (!view.ok() || !lock.ok()) return GuidHex(ComputeMachineGuid());

  auto* block = static_cast<MachineGuidBlock*>(view.object.data());
  std::atomic_ref<std::uint32_t> state(block->state);
  if (state.load(std::memory_order_acquire) != kGuidReady) {
    const auto waited = lock.object.Wait(Environment().compute_wait_ms);
    if (waited.status != os::WaitStatus::kSignaled && waited.status != os::WaitStatus::kAbandoned) {
      // The computing instance hangs: derive a copy of our own and leave the block to it.
      return GuidHex(ComputeMachineGuid());
    }
    std::uint32_t expected = kGuidNotComputed;
    if (state.compare_exchange_strong(expected, kGuidComputing, std::memory_order_acq_rel) ||
        expected == kGuidComputing) {
      // Not computed yet, or the instance that marked it died before publishing.
      const GuidBytes guid = ComputeMachineGuid();
      std::memcpy(block->guid, guid.data(), guid.size());
      state.exchange(kGuidReady, std::memory_order_acq_rel);
      lock.object.Release();
      return GuidHex(guid);
    }
    lock.object.Release();
  }
  GuidBytes guid{};
  std::memcpy(guid.data(), block->guid, guid.size());
  return GuidHex(guid);
}

std::string MachineGuidHex() {
  CSeqIDGenerator generator;
  return generator.MachineGuidHex();
}

std::string ReadOrCreateTolqGuid() {
  const std::u16string key = RegistryKey();
  std::string value = WideToUtf8(RegistryReadString(kHkeyLocalMachine, key, kRegistryValue, u""));
  if (!value.empty()) return value;
  value = WideToUtf8(RegistryReadString(kHkeyCurrentUser, key, kRegistryValue, u""));
  if (!value.empty()) {
    RegistryWriteString(kHkeyLocalMachine, key, kRegistryValue, Utf8ToWide(value));
    return value;
  }
  value = MachineGuidHex();
  RegistryWriteString(kHkeyLocalMachine, key, kRegistryValue, Utf8ToWide(value));
  RegistryWriteString(kHkeyCurrentUser, key, kRegistryValue, Utf8ToWide(value));
  return value;
}

std::string GetTolqGuid() {
  static std::mutex* mutex = new std::mutex;
  static std::string* cached = new std::string;
  std::lock_guard lock(*mutex);
  if (cached->empty()) *cached = ReadOrCreateTolqGuid();
  return *cached;
}

}  // namespace base::tolq_guid
