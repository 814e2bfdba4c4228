#pragma once

// How the machine GUID and its profile relate to the hardware: whether a stored profile may be
// reused, what the GUID is derived from, and what the profile holds. No I/O here.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/machine_identity/hardware_identifiers.h"

namespace base::tolq_guid {

using GuidBytes = std::array<std::uint8_t, 16>;

// The values of section "Profile" of the identity profile as read back (at most 32 characters
// each, missing ones empty; config5 0 when missing).
struct StoredProfile {
  std::string config1;       // the GUID as 32 hexadecimal digits
  std::string config2;       // MAC hash
  std::string config3;       // disk hash, or empty
  std::string config4;       // processor hash, or empty
  std::int32_t config5 = 0;  // non-zero for the current format
};

// The hashes of what the hardware readers gave now; an unavailable source has an empty hash.
struct HardwareHashes {
  std::string mac;
  std::string disk;
  std::string cpu;
  bool disk_read = false;
  bool cpu_read = false;
};

struct ProfileVerdict {
  bool reuse = false;   // the stored GUID (in `guid`) stays
  bool legacy = false;  // no reuse, and the processor brand joins the seed
  GuidBytes guid{};
};

// Decides about a profile that existed: the stored GUID is reused while the processor hash and
// either the MAC or the disk hash still match and no more sources are available now than were
// stored; an old-format profile of a machine with a processor brand but no disk identity is
// derived anew with the brand in the seed.
ProfileVerdict JudgeStoredProfile(const StoredProfile& stored, const HardwareHashes& now);

// The text the GUID is the MD5 digest of: MAC text, then serial, model and firmware when the
// disk was read, then the processor brand for a legacy profile.
std::string GuidSeed(std::string_view mac_text, const DiskIdentity& disk, std::string_view cpu,
                     bool legacy);

// Two lower-case hexadecimal digits per byte, in order.
std::string GuidHex(const GuidBytes& guid);

// Reads 32 hexadecimal digits two at a time; a pair that does not start with a hexadecimal digit
// repeats the previous byte (the first such pair gives 0).
GuidBytes ParseGuidHex(std::string_view text);

// The whole profile: the "[Profile]" line and config1 to config5, each ended by CR LF.
std::string ProfileText(const GuidBytes& guid, const HardwareHashes& hashes);

}  // namespace base::tolq_guid
