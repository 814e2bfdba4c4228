#pragma once

// The three hardware facts the machine GUID is derived from: the address of the preferred network
// adapter, the identity of the first readable disk and the processor brand.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/hardware_decoding.h"

namespace base::tolq_guid {

struct DiskIdentity {
  std::string serial;
  std::string model;
  std::string firmware;
  bool read = false;
};

// The MAC used when no adapter and no NetBIOS adapter yields one.
inline constexpr os::MacAddress kFallbackMac = {0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F};

// Fills `mac` (zero-filled by the caller) with the preferred adapter's address: from the adapter
// list, else from NetBIOS, else kFallbackMac. Always succeeds.
bool GetPrimaryMacAddress(std::span<std::uint8_t, 6> mac);

// The same choice over given answers, so the rule can be exercised without the hardware.
os::MacAddress ChoosePrimaryMac(const std::optional<std::vector<os::NetworkAdapter>>& adapters,
                                os::MacAddress (*netbios)());

// The adapter list's pick: the first adapter is taken while the pick is all zero, then an
// Ethernet or PPP adapter replaces it when its priority is strictly better. All zero when the
// list holds no address.
os::MacAddress SelectAdapterMac(const std::vector<os::NetworkAdapter>& adapters);

// 12 lower-case hexadecimal digits, no separators.
std::string MacText(std::span<const std::uint8_t, 6> mac);

// Serial, model and firmware of the first disk that answers; false (and empty strings) when
// none does.
bool ReadDiskIdentity(DiskIdentity& identity);

// The processor brand string, at most 48 characters, possibly empty.
std::string CpuBrandString();

}  // namespace base::tolq_guid
