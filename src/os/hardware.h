#pragma once

// The system's answers about the machine's hardware. Each reader examines what its platform
// offers and reports nothing on failure; the rules that decode raw answers are in
// hardware_decoding.h.

#include <optional>
#include <vector>

#include "os/hardware_decoding.h"

namespace os {

// The network adapters in list order, each with its priority: GetAdaptersInfo from
// iphlpapi.dll (loaded from the system folder for this call) and the network-class registry
// key. Nothing when the list cannot be had. On Linux, /sys/class/net by interface index, the
// loopback interface left out as GetAdaptersInfo leaves it out.
std::optional<std::vector<NetworkAdapter>> ReadNetworkAdapters();

// The first non-zero adapter address NetBIOS reports, walking its LAN adapters from last to
// first, or all zero. Linux has no NetBIOS: always all zero.
MacAddress ReadNetbiosAddress();

// Whether the system is of the Windows NT family (GetVersionExW). On Linux true, so the disk
// readers run there too.
bool IsNtPlatform();

// The identity of the first disk that answers. Windows tries, for device numbers 0 to 15 each:
// SMART identify by the device map, the SCSI miniport identify (targets 0 and 1), the storage
// device descriptor, and a plain SMART IDENTIFY DEVICE. Linux tries an ATA IDENTIFY through
// SG_IO on each disk of /sys/block, then the serial, model and revision that sysfs shows.
std::optional<DiskStrings> ReadFirstDiskIdentity();

}  // namespace os
