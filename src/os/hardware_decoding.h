#pragma once

// Turning raw device answers into the strings the machine identity is built from. No OS involved:
// the Windows backend feeds it what DeviceIoControl returns, the Linux backend what SG_IO and
// sysfs give, and the tests feed it byte fixtures.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace os {

using MacAddress = std::array<std::uint8_t, 6>;

// Interface types as the adapter list reports them (IF_TYPE_*).
inline constexpr std::uint32_t kIfTypeOther = 1;
inline constexpr std::uint32_t kIfTypeEthernet = 6;
inline constexpr std::uint32_t kIfTypePpp = 23;
inline constexpr std::uint32_t kIfTypeWireless = 71;

// Adapter priorities, lower is better.
inline constexpr int kAdapterPciWired = 0;
inline constexpr int kAdapterWireless = 1;
inline constexpr int kAdapterOtherWired = 2;
inline constexpr int kAdapterUndetermined = 3;

// One entry of the adapter list, in the order the system lists them.
struct NetworkAdapter {
  std::string name;
  std::uint32_t type = kIfTypeOther;
  MacAddress address{};
  int priority = kAdapterUndetermined;
};

// Priority from an adapter's network-class "Connection" key, when both its "MediaSubType" and
// its "PnpInstanceID" could be read: wired (1) on a bus whose instance id starts with "PCI"
// (exact case) is 0, other wired is 2, wireless (2) is 1, anything else 3.
int ConnectionPriority(std::uint32_t media_subtype, std::string_view pnp_instance_id);

// What /sys/class/net says about an interface, turned into the adapter list's vocabulary.
// `arphrd_type` is the interface's "type" file; `bus` the subsystem of its device ("pci",
// "usb", ...; empty for a virtual interface). A virtio device counts as being on the bus of its
// transport, which the caller passes.
struct SysfsAdapterClass {
  std::uint32_t if_type;
  int priority;
};
SysfsAdapterClass ClassifySysfsAdapter(std::uint32_t arphrd_type, bool wireless,
                                       std::string_view bus);

// "aa:bb:cc:dd:ee:ff" (any number of bytes) into the first six bytes; shorter addresses stay
// zero-padded. Nothing when the text is not a colon-separated hexadecimal address.
std::optional<MacAddress> ParseColonMac(std::string_view text);

bool IsAllZero(const MacAddress& mac);

// Serial number, model and firmware revision of one disk, as the device reports them (zero bytes
// included).
struct DiskStrings {
  std::string serial;
  std::string model;
  std::string firmware;
};

// ATA IDENTIFY data is 256 little-endian words.
inline constexpr std::size_t kIdentifySize = 512;

// Serial from words 10-19, firmware from 23-26, model from 27-46; each word gives its high byte
// first. Only trailing spaces are removed. `identify` shorter than 512 bytes gives empty strings.
DiskStrings DecodeIdentifyStrings(std::span<const std::uint8_t> identify);

// One string of a storage device descriptor at `offset` (a descriptor's offset fields are
// read as signed): hexadecimal text decoded when it is entirely that and printable, else the
// printable text itself; the serial has each pair of characters swapped; blanks trimmed on both
// sides. Offsets at or beyond the end of `descriptor` give an empty string.
std::string DecodeDescriptorString(std::span<const std::uint8_t> descriptor, std::int64_t offset,
                                   bool swap_pairs);

// Model, firmware and serial of a STORAGE_DEVICE_DESCRIPTOR. Nothing unless the serial's first
// or twentieth character is a letter or a digit.
std::optional<DiskStrings> DecodeDeviceDescriptor(std::span<const std::uint8_t> descriptor);

// --- Request blocks of the disk methods (byte-exact, little-endian) ---

// The 32-byte SMART command block that asks drive `drive` to identify itself, with the command
// chosen from the IDE device map of SMART_GET_VERSION: packet identify (0xA1) when bit 4 of
// (map >> drive) is set, else identify device (0xEC).
std::array<std::uint8_t, 32> SmartIdentifyCommand(int drive, std::uint8_t ide_device_map);

// The SCSI miniport identify request: 28-byte SRB_IO_CONTROL header, then the command block for
// `target`. 557 bytes, of which the first 60 are sent.
inline constexpr std::size_t kMiniportBlockSize = 557;
inline constexpr std::size_t kMiniportSendSize = 60;
inline constexpr std::size_t kMiniportIdentifyOffset = 28 + 16;
std::array<std::uint8_t, kMiniportBlockSize> MiniportIdentifyRequest(std::uint8_t target);

// The first 32-bit little-endian word of a buffer (the size field of the SMART answer header).
std::uint32_t LeadingWord(std::span<const std::uint8_t> bytes);

// --- Processor ---

// The processor brand from the 48 bytes of CPUID leaves 0x80000002-0x80000004 (EAX, EBX, ECX,
// EDX of each side by side): up to the first zero byte, leading blanks kept.
std::string BrandStringFromCpuid(std::span<const std::uint8_t, 48> registers);

// Runs those CPUID leaves on this processor. All zero when the processor lacks them.
std::array<std::uint8_t, 48> CpuidBrandRegisters();

}  // namespace os
