#pragma once

// The machine identity: a 16-byte GUID derived from the hardware, shown as 32 lower-case
// hexadecimal digits, kept in the registry ("TolqGuid"), in the identity profile
// "GlobalMgr.db" with hashes of the hardware it came from, and in a block shared by every running
// instance of the same executable, so the hardware is examined once while instances run.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/machine_identity/hardware_identifiers.h"
#include "base/machine_identity/machine_guid_rules.h"

namespace base::tolq_guid {

// 32 bytes shared by the instances, zero-filled for the first.
struct MachineGuidBlock {
  std::uint32_t state;  // kGuidNotComputed, kGuidComputing or kGuidReady
  std::uint8_t reserved[12];
  std::uint8_t guid[16];
};
static_assert(sizeof(MachineGuidBlock) == 32);
static_assert(offsetof(MachineGuidBlock, state) == 0);
static_assert(offsetof(MachineGuidBlock, reserved) == 4);
static_assert(offsetof(MachineGuidBlock, guid) == 16);

inline constexpr std::uint32_t kGuidNotComputed = 0;
inline constexpr std::uint32_t kGuidComputing = 255;
inline constexpr std::uint32_t kGuidReady = 1;

// Where the identity comes from. Tests replace the hardware and the folder of the profile.
struct IdentityEnvironment {
  bool (*is_nt_platform)() = nullptr;
  bool (*primary_mac)(std::span<std::uint8_t, 6> mac) = nullptr;
  bool (*disk_identity)(DiskIdentity& identity) = nullptr;
  std::string (*cpu_brand)() = nullptr;
  std::optional<std::string> (*app_data_folder)() = nullptr;
  // How long an instance waits for another one that is computing the GUID before it derives
  // the GUID on its own without sharing it.
  std::uint32_t compute_wait_ms = 60'000;
};

// The system's hardware readers and application-data folder.
IdentityEnvironment SystemIdentityEnvironment();

// Replaces the environment for the rest of the process; call before the first identity call.
void SetIdentityEnvironmentForTesting(const IdentityEnvironment& environment);

// The machine identity, computed on the first call in the process and cached.
std::string GetTolqGuid();

// The identity kept in the registry (HKLM first, then HKCU, copied to HKLM), created from
// MachineGuidHex and stored in both hives when absent. Any non-empty stored text is taken as is.
std::string ReadOrCreateTolqGuid();

// The 32 digits of the GUID in the shared block, computed first when no instance has done so.
std::string MachineGuidHex();

// Derives the GUID from the hardware, reusing the profile's GUID while the hardware still
// matches it, and rewrites the profile when it derived a new one.
GuidBytes ComputeMachineGuid();

// MD5 digest (RFC 1321) of the bytes, as 32 lower-case hexadecimal digits.
std::string Md5HexLower(std::string_view text);

// The name of the shared block of the executable at `executable_path` (the name of its
// computation lock adds a suffix). Same path, same block; case does not matter, as on Windows.
std::u16string MachineGuidBlockName(std::u16string_view executable_path);

// Works the shared block; its only virtual operation is the destructor.
class CSeqIDGenerator {
 public:
  CSeqIDGenerator() = default;
  virtual ~CSeqIDGenerator() = default;
  CSeqIDGenerator(const CSeqIDGenerator&) = delete;
  CSeqIDGenerator& operator=(const CSeqIDGenerator&) = delete;

  std::string MachineGuidHex();
};

}  // namespace base::tolq_guid
