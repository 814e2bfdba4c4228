#include "os/hardware_decoding.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace os {
namespace {

// The C library's classes in the "C" locale, spelled out so no locale can change them.
bool IsPrintable(unsigned char c) {
  return c >= 0x20 && c <= 0x7E;
}
bool IsSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsAlnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::uint32_t WordAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (offset + 4 > bytes.size()) return 0;
  return static_cast<std::uint32_t>(bytes[offset]) |
         static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

void PutWord(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string IdentifyField(std::span<const std::uint8_t> identify, std::size_t first_word,
                          std::size_t last_word) {
  std::string text;
  for (std::size_t word = first_word; word <= last_word; ++word) {
    text.push_back(static_cast<char>(identify[2 * word + 1]));
    text.push_back(static_cast<char>(identify[2 * word]));
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// Up to the terminating zero or the end of the buffer, whichever comes first.
std::string_view TextAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
  const auto* begin = reinterpret_cast<const char*>(bytes.data()) + offset;
  const auto* end = reinterpret_cast<const char*>(bytes.data()) + bytes.size();
  return std::string_view(begin, static_cast<std::size_t>(std::find(begin, end, '\0') - begin));
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (IsSpace(c)) return 0;
  return -1;
}

// Some drivers report the serial as the hexadecimal text of its bytes.
std::optional<std::string> DecodeHexText(std::string_view text) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    const auto lower = [](char c) {
      const auto u = static_cast<unsigned char>(c);
      return static_cast<unsigned char>(u >= 'A' && u <= 'Z' ? u - 'A' + 'a' : u);
    };
    const int high = HexValue(lower(text[i]));
    const int low = HexValue(lower(text[i + 1]));
    if (high < 0 || low < 0) return std::nullopt;
    const auto byte = static_cast<unsigned char>(high * 16 + low);
    if (byte != 0 && !IsPrintable(byte)) return std::nullopt;
    bytes.push_back(static_cast<char>(byte));
  }
  return bytes;
}

// The descriptor's strings are C strings: whatever follows a zero byte is not part of them.
void CutAtZero(std::string& text) {
  const auto zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
}

}  // namespace

int ConnectionPriority(std::uint32_t media_subtype, std::string_view pnp_instance_id) {
  switch (media_subtype) {
    case 1:
      return pnp_instance_id.substr(0, 3) == "PCI" ? kAdapterPciWired : kAdapterOtherWired;
    case 2:
      return kAdapterWireless;
    default:
      return kAdapterUndetermined;
  }
}

SysfsAdapterClass ClassifySysfsAdapter(std::uint32_t arphrd_type, bool wireless,
                                       std::string_view bus) {
  constexpr std::uint32_t kArphrdEther = 1;
  constexpr std::uint32_t kArphrdPpp = 512;
  if (wireless) return {kIfTypeWireless, kAdapterWireless};
  if (arphrd_type == kArphrdPpp) return {kIfTypePpp, kAdapterUndetermined};
  if (arphrd_type != kArphrdEther) return {kIfTypeOther, kAdapterUndetermined};
  if (bus == "pci") return {kIfTypeEthernet, kAdapterPciWired};
  // A wired interface with no device behind it is virtual (bridge, veth, tunnel).
  if (bus.empty()) return {kIfTypeEthernet, kAdapterUndetermined};
  return {kIfTypeEthernet, kAdapterOtherWired};
}

std::optional<MacAddress> ParseColonMac(std::string_view text) {
  MacAddress mac{};
  std::size_t index = 0;
  std::size_t position = 0;
  const auto lower = [](char c) {
    return static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  };
  while (position < text.size()) {
    if (position + 2 > text.size()) return std::nullopt;
    const unsigned char high_char = lower(text[position]);
    const unsigned char low_char = lower(text[position + 1]);
    if (IsSpace(high_char) || IsSpace(low_char)) return std::nullopt;
    const int high = HexValue(high_char);
    const int low = HexValue(low_char);
    if (high < 0 || low < 0) return std::nullopt;
    if (index < mac.size()) mac[index] = static_cast<std::uint8_t>(high * 16 + low);
    ++index;
    position += 2;
    if (position == text.size()) break;
    if (text[position] != ':') return std::nullopt;
    ++position;
    if (position == text.size()) return std::nullopt;
  }
  if (index == 0) return std::nullopt;
  return mac;
}

bool IsAllZero(const MacAddress& mac) {
  return std::all_of(mac.begin(), mac.end(), [](std::uint8_t b) { return b == 0; });
}

DiskStrings DecodeIdentifyStrings(std::span<const std::uint8_t> identify) {
  if (identify.size() < kIdentifySize) return {};
  DiskStrings strings;
  strings.serial = IdentifyField(identify, 10, 19);
  strings.firmware = IdentifyField(identify, 23, 26);
  strings.model = IdentifyField(identify, 27, 46);
  return strings;
}

std::string DecodeDescriptorString(std::span<const std::uint8_t> descriptor, std::int64_t offset,
                                   bool swap_pairs) {
  if (offset <= 0 || static_cast<std::uint64_t>(offset) >= descriptor.size()) return {};
  const std::string_view raw = TextAt(descriptor, static_cast<std::size_t>(offset));

  std::string text;
  if (auto decoded = DecodeHexText(raw)) {
    text = std::move(*decoded);
  } else {
    // Not hexadecimal: the text as it stands, provided all of it is printable.
    const bool printable = std::all_of(
        raw.begin(), raw.end(), [](char c) { return IsPrintable(static_cast<unsigned char>(c)); });
    if (!printable) return {};
    text = std::string(raw);
  }
  CutAtZero(text);

  if (swap_pairs) {
    // The pair partner of an odd last character is the terminating zero, so it drops out.
    text.push_back('\0');
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) std::swap(text[i], text[i + 1]);
    CutAtZero(text);
  }

  const auto first = std::find_if(text.begin(), text.end(),
                                  [](char c) { return !IsSpace(static_cast<unsigned char>(c)); });
  const auto last = std::find_if(text.rbegin(), text.rend(), [](char c) {
                      return !IsSpace(static_cast<unsigned char>(c));
                    }).base();
  return first < last ? std::string(first, last) : std::string();
}

std::optional<DiskStrings> DecodeDeviceDescriptor(std::span<const std::uint8_t> descriptor) {
  // STORAGE_DEVICE_DESCRIPTOR: product id at 16, product revision at 20, serial number at 24.
  const auto offset = [&](std::size_t at) {
    return static_cast<std::int64_t>(static_cast<std::int32_t>(WordAt(descriptor, at)));
  };
  DiskStrings strings;
  strings.model = DecodeDescriptorString(descriptor, offset(16), false);
  strings.firmware = DecodeDescriptorString(descriptor, offset(20), false);
  strings.serial = DecodeDescriptorString(descriptor, offset(24), true);
  const std::string& s = strings.serial;
  const bool usable = (!s.empty() && IsAlnum(static_cast<unsigned char>(s[0]))) ||
                      (s.size() > 19 && IsAlnum(static_cast<unsigned char>(s[19])));
  if (!usable) return std::nullopt;
  return strings;
}

std::array<std::uint8_t, 32> SmartIdentifyCommand(int drive, std::uint8_t ide_device_map) {
  // SENDCMDINPARAMS (packed): buffer size at 0, IDE registers at 4 (features, sector count,
  // sector number, cylinder low, cylinder high, drive/head, command, reserved), drive number at 12.
  std::array<std::uint8_t, 32> block{};
  PutWord(block.data(), 512);
  block[5] = 1;
  block[9] = (drive & 1) != 0 ? 0xB0 : 0xA0;
  block[10] = ((ide_device_map >> drive) & 0x10) != 0 ? 0xA1 : 0xEC;
  block[12] = static_cast<std::uint8_t>(drive);
  return block;
}

std::array<std::uint8_t, kMiniportBlockSize> MiniportIdentifyRequest(std::uint8_t target) {
  std::array<std::uint8_t, kMiniportBlockSize> block{};
  // SRB_IO_CONTROL: header length, signature, time-out, control code, return code, length.
  PutWord(block.data(), 28);
  const char signature[] = "SCSIDISK";
  std::copy(signature, signature + 8, block.begin() + 4);
  PutWord(block.data() + 12, 10'000);
  PutWord(block.data() + 16, 0x1B0501);
  PutWord(block.data() + 24, 529);
  // The command block follows: command register and drive number.
  block[28 + 10] = 0xEC;
  block[28 + 12] = target;
  return block;
}

std::uint32_t LeadingWord(std::span<const std::uint8_t> bytes) {
  return WordAt(bytes, 0);
}

std::string BrandStringFromCpuid(std::span<const std::uint8_t, 48> registers) {
  const auto* begin = reinterpret_cast<const char*>(registers.data());
  return std::string(begin, static_cast<std::size_t>(std::find(begin, begin + 48, '\0') - begin));
}

std::array<std::uint8_t, 48> CpuidBrandRegisters() {
  std::array<std::uint8_t, 48> bytes{};
#if defined(__x86_64__) || defined(__i386__)
  for (unsigned leaf = 0; leaf < 3; ++leaf) {
    unsigned int regs[4] = {};
    if (__get_cpuid(0x80000002u + leaf, &regs[0], &regs[1], &regs[2], &regs[3]) == 0) return {};
    for (int r = 0; r < 4; ++r) PutWord(bytes.data() + leaf * 16 + r * 4, regs[r]);
  }
#endif
  return bytes;
}

}  // namespace os
