#include "base/machine_identity/hardware_identifiers.h"

#include <algorithm>

#include "os/hardware.h"

namespace base::tolq_guid {

os::MacAddress SelectAdapterMac(const std::vector<os::NetworkAdapter>& adapters) {
  os::MacAddress chosen{};
  int chosen_priority = os::kAdapterUndetermined;
  for (const auto& adapter : adapters) {
    const bool replaceable_type =
        adapter.type == os::kIfTypeEthernet || adapter.type == os::kIfTypePpp;
    if (os::IsAllZero(chosen) || (replaceable_type && adapter.priority < chosen_priority)) {
      chosen = adapter.address;
      chosen_priority = adapter.priority;
    }
  }
  return chosen;
}

os::MacAddress ChoosePrimaryMac(const std::optional<std::vector<os::NetworkAdapter>>& adapters,
                                os::MacAddress (*netbios)()) {
  if (adapters) {
    if (const auto mac = SelectAdapterMac(*adapters); !os::IsAllZero(mac)) return mac;
  }
  if (const auto mac = netbios(); !os::IsAllZero(mac)) return mac;
  return kFallbackMac;
}

bool GetPrimaryMacAddress(std::span<std::uint8_t, 6> mac) {
  const auto chosen = ChoosePrimaryMac(os::ReadNetworkAdapters(), &os::ReadNetbiosAddress);
  std::copy(chosen.begin(), chosen.end(), mac.begin());
  return true;
}

std::string MacText(std::span<const std::uint8_t, 6> mac) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : mac) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

bool ReadDiskIdentity(DiskIdentity& identity) {
  identity = DiskIdentity{};
  const auto strings = os::ReadFirstDiskIdentity();
  if (!strings) return false;
  identity.serial = strings->serial;
  identity.model = strings->model;
  identity.firmware = strings->firmware;
  identity.read = true;
  return true;
}

std::string CpuBrandString() {
  return os::BrandStringFromCpuid(os::CpuidBrandRegisters());
}

}  // namespace base::tolq_guid
