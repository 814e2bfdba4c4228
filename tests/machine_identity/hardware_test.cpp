#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "base/machine_identity/hardware_identifiers.h"
#include "os/hardware.h"

namespace {

using base::tolq_guid::ChoosePrimaryMac;
using base::tolq_guid::MacText;
using base::tolq_guid::SelectAdapterMac;

constexpr os::MacAddress kVirtualMac = {0x00, 0x15, 0x5D, 0x01, 0x02, 0x03};
constexpr os::MacAddress kPciMac = {0x3C, 0x7C, 0x3F, 0xAA, 0xBB, 0xCC};
constexpr os::MacAddress kWirelessMac = {0x8C, 0x16, 0x45, 0x11, 0x22, 0x33};
constexpr os::MacAddress kPppMac = {0x44, 0x45, 0x53, 0x54, 0x00, 0x00};
constexpr os::MacAddress kZero{};

os::NetworkAdapter Adapter(std::uint32_t type, os::MacAddress address, int priority) {
  return {"adapter", type, address, priority};
}

TEST(SelectAdapterMac, FollowsTypeAndPriorityRules) {
  struct Case {
    const char* name;
    std::vector<os::NetworkAdapter> adapters;
    os::MacAddress expected;
  };
  const Case cases[] = {
      {"virtual first, then wired PCI replaces it",
       {Adapter(os::kIfTypeEthernet, kVirtualMac, os::kAdapterUndetermined),
        Adapter(os::kIfTypeEthernet, kPciMac, os::kAdapterPciWired)},
       kPciMac},
      {"wireless after priority 3 cannot replace (type 71)",
       {Adapter(os::kIfTypeEthernet, kVirtualMac, os::kAdapterUndetermined),
        Adapter(os::kIfTypeWireless, kWirelessMac, os::kAdapterWireless)},
       kVirtualMac},
      {"PPP may replace",
       {Adapter(os::kIfTypeOther, kVirtualMac, os::kAdapterUndetermined),
        Adapter(os::kIfTypePpp, kPppMac, os::kAdapterOtherWired)},
       kPppMac},
      {"equal priority does not replace",
       {Adapter(os::kIfTypeEthernet, kPciMac, os::kAdapterPciWired),
        Adapter(os::kIfTypeEthernet, kVirtualMac, os::kAdapterPciWired)},
       kPciMac},
      {"worse priority does not replace",
       {Adapter(os::kIfTypeEthernet, kPciMac, os::kAdapterOtherWired),
        Adapter(os::kIfTypeEthernet, kVirtualMac, os::kAdapterUndetermined)},
       kPciMac},
      {"a zero pick is replaced by anything, even wireless",
       {Adapter(os::kIfTypeEthernet, kZero, os::kAdapterPciWired),
        Adapter(os::kIfTypeWireless, kWirelessMac, os::kAdapterWireless)},
       kWirelessMac},
      {"only the first pick is free of the type rule",
       {Adapter(os::kIfTypeWireless, kWirelessMac, os::kAdapterWireless),
        Adapter(os::kIfTypeEthernet, kPciMac, os::kAdapterPciWired),
        Adapter(os::kIfTypeEthernet, kVirtualMac, os::kAdapterPciWired)},
       kPciMac},
      {"no adapters", {}, kZero},
  };
  for (const auto& c : cases) EXPECT_EQ(SelectAdapterMac(c.adapters), c.expected) << c.name;
}

os::MacAddress NoNetbios() {
  return {};
}
os::MacAddress NetbiosAnswers() {
  return {0x02, 0x00, 0x4C, 0x4F, 0x4F, 0x50};
}
os::MacAddress NetbiosMustNotRun() {
  ADD_FAILURE() << "NetBIOS asked although the adapter list gave an address";
  return {};
}

TEST(ChoosePrimaryMac, FallsBackFromListToNetbiosToConstant) {
  const std::vector<os::NetworkAdapter> list = {Adapter(os::kIfTypeEthernet, kPciMac, 0)};
  EXPECT_EQ(ChoosePrimaryMac(list, &NetbiosMustNotRun), kPciMac);

  const std::vector<os::NetworkAdapter> zero_list = {Adapter(os::kIfTypeEthernet, kZero, 0)};
  EXPECT_EQ(ChoosePrimaryMac(zero_list, &NetbiosAnswers), NetbiosAnswers());
  EXPECT_EQ(ChoosePrimaryMac(std::nullopt, &NetbiosAnswers), NetbiosAnswers());

  const auto fallback = ChoosePrimaryMac(std::nullopt, &NoNetbios);
  EXPECT_EQ(fallback, base::tolq_guid::kFallbackMac);
  EXPECT_EQ(MacText(fallback), "1a2b3c4d5e6f");
  EXPECT_EQ(MacText(ChoosePrimaryMac(std::vector<os::NetworkAdapter>{}, &NoNetbios)),
            "1a2b3c4d5e6f");
}

TEST(GetPrimaryMacAddress, AlwaysYieldsANonZeroAddress) {
  std::array<std::uint8_t, 6> mac{};
  EXPECT_TRUE(base::tolq_guid::GetPrimaryMacAddress(mac));
  EXPECT_FALSE(os::IsAllZero(mac));
  EXPECT_EQ(MacText(mac).size(), 12u);
}

TEST(AdapterPriority, ConnectionKeyAndSysfsRules) {
  EXPECT_EQ(os::ConnectionPriority(1, "PCI\\VEN_8086&DEV_15B8"), os::kAdapterPciWired);
  EXPECT_EQ(os::ConnectionPriority(1, "pci\\VEN_8086"), os::kAdapterOtherWired);  // exact case
  EXPECT_EQ(os::ConnectionPriority(1, "USB\\VID_0B95"), os::kAdapterOtherWired);
  EXPECT_EQ(os::ConnectionPriority(1, "PC"), os::kAdapterOtherWired);
  EXPECT_EQ(os::ConnectionPriority(2, "PCI\\VEN_8086"), os::kAdapterWireless);
  EXPECT_EQ(os::ConnectionPriority(0, "PCI\\VEN_8086"), os::kAdapterUndetermined);
  EXPECT_EQ(os::ConnectionPriority(7, ""), os::kAdapterUndetermined);

  struct Case {
    std::uint32_t arphrd;
    bool wireless;
    const char* bus;
    std::uint32_t if_type;
    int priority;
  };
  const Case cases[] = {
      {1, false, "pci", os::kIfTypeEthernet, os::kAdapterPciWired},
      {1, false, "usb", os::kIfTypeEthernet, os::kAdapterOtherWired},
      {1, false, "", os::kIfTypeEthernet, os::kAdapterUndetermined},
      {1, true, "pci", os::kIfTypeWireless, os::kAdapterWireless},
      {512, false, "", os::kIfTypePpp, os::kAdapterUndetermined},
      {776, false, "", os::kIfTypeOther, os::kAdapterUndetermined},
  };
  for (const auto& c : cases) {
    const auto kind = os::ClassifySysfsAdapter(c.arphrd, c.wireless, c.bus);
    EXPECT_EQ(kind.if_type, c.if_type) << c.arphrd << " " << c.bus;
    EXPECT_EQ(kind.priority, c.priority) << c.arphrd << " " << c.bus;
  }
}

TEST(ParseColonMac, ReadsSysfsAddresses) {
  EXPECT_EQ(os::ParseColonMac("3c:7c:3f:AA:bb:cc"), kPciMac);
  EXPECT_EQ(os::ParseColonMac("0a:0b"), (os::MacAddress{0x0A, 0x0B, 0, 0, 0, 0}));
  EXPECT_EQ(os::ParseColonMac("3c:7c:3f:aa:bb:cc:dd:ee"), kPciMac);  // longer: first six
  EXPECT_FALSE(os::ParseColonMac(""));
  EXPECT_FALSE(os::ParseColonMac("3c-7c-3f-aa-bb-cc"));
  EXPECT_FALSE(os::ParseColonMac("3c:7c:"));
  EXPECT_FALSE(os::ParseColonMac("3g:00"));
}

// Writes text into identify words the way a drive does: the first character in the high byte.
void PutIdentifyText(std::array<std::uint8_t, 512>& identify, std::size_t first_word,
                     const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t word = first_word + i / 2;
    identify[2 * word + (i % 2 == 0 ? 1 : 0)] = static_cast<std::uint8_t>(text[i]);
  }
}

TEST(DecodeIdentifyStrings, SwapsWordBytesAndTrimsOnTheRightOnly) {
  std::array<std::uint8_t, 512> identify{};
  PutIdentifyText(identify, 10, "WD-WCC4N1234567     ");  // 20 characters, right padding
  PutIdentifyText(identify, 23, "82.00A82");
  PutIdentifyText(identify, 27, std::string("  WDC WD10EZEX-08WN4A0") + std::string(18, ' '));
  const auto strings = os::DecodeIdentifyStrings(identify);
  EXPECT_EQ(strings.serial, "WD-WCC4N1234567");
  EXPECT_EQ(strings.firmware, "82.00A82");
  EXPECT_EQ(strings.model, "  WDC WD10EZEX-08WN4A0");  // left padding stays

  // Zero bytes are the device's bytes and stay; only spaces are trimmed.
  std::array<std::uint8_t, 512> zeros{};
  PutIdentifyText(zeros, 10, "S1");
  const auto with_zeros = os::DecodeIdentifyStrings(zeros);
  EXPECT_EQ(with_zeros.serial, std::string("S1") + std::string(18, '\0'));
  EXPECT_EQ(with_zeros.firmware, std::string(8, '\0'));

  EXPECT_EQ(os::DecodeIdentifyStrings(std::span(identify).first(511)).serial, "");
}

// A STORAGE_DEVICE_DESCRIPTOR with the given strings at fixed places.
class Descriptor {
 public:
  Descriptor() : bytes_(2048, 0) {}
  void Put(std::size_t offset_field, std::int32_t offset, const std::string& text) {
    std::memcpy(bytes_.data() + offset_field, &offset, 4);  // little-endian host
    if (offset > 0) std::memcpy(bytes_.data() + offset, text.data(), text.size());
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

TEST(DecodeDescriptorString, HexadecimalTextPairSwappingAndTrimming) {
  struct Case {
    const char* name;
    std::string text;
    bool swap;
    std::string expected;
  };
  const Case cases[] = {
      {"00123 as hexadecimal text", "3030313233", true, "0021"},
      {"00123 as hexadecimal text, not swapped", "3030313233", false, "00123"},
      {"4142 is hexadecimal", "4142", true, "BA"},
      {"upper-case hex digits", "4A4B", false, "JK"},
      {"XY12 is not hexadecimal", "XY12", true, "YX21"},
      {"unpaired last character dropped", "41424", false, "AB"},
      {"whitespace counts as a zero digit", "4 41", false, "@A"},
      {"a zero byte ends the decoded text", "41004243", false, "A"},
      {"non-printable byte abandons the hex attempt", "0141", false, "0141"},
      {"raw text trimmed on both sides", "  SN 12  ", false, "SN 12"},
      {"raw text with a control character",
       "AB\x01"
       "CD",
       false, ""},
      {"serial with an odd length", "ABCDE", true, "BADC"},
      {"swapping moves blanks before trimming", " 1234 ", true, "1 32 4"},
      {"empty text", "", true, ""},
  };
  for (const auto& c : cases) {
    Descriptor d;
    d.Put(24, 100, c.text);
    EXPECT_EQ(os::DecodeDescriptorString(d.bytes(), 100, c.swap), c.expected) << c.name;
  }
  Descriptor d;
  d.Put(24, 100, "ABCD");
  EXPECT_EQ(os::DecodeDescriptorString(d.bytes(), 0, false), "");
  EXPECT_EQ(os::DecodeDescriptorString(d.bytes(), -4, false), "");
  EXPECT_EQ(os::DecodeDescriptorString(d.bytes(), 2048, false), "");
  // Text running to the end of the buffer without a terminator stops there.
  std::vector<std::uint8_t> tail(8, 'Q');
  EXPECT_EQ(os::DecodeDescriptorString(tail, 5, false), "QQQ");
}

TEST(DecodeDeviceDescriptor, ReadsTheThreeStringsAndTestsTheSerial) {
  Descriptor d;
  d.Put(16, 200, "Samsung SSD 870");
  d.Put(20, 300, "SVT01B6Q");
  d.Put(24, 400, "3253334e4a4d30");  // hexadecimal text of "2S3NJM0"
  auto strings = os::DecodeDeviceDescriptor(d.bytes());
  ASSERT_TRUE(strings);
  EXPECT_EQ(strings->model, "Samsung SSD 870");
  EXPECT_EQ(strings->firmware, "SVT01B6Q");
  EXPECT_EQ(strings->serial, "S2N3MJ");

  Descriptor no_serial;
  no_serial.Put(16, 200, "Model");
  no_serial.Put(24, 0, "");
  EXPECT_FALSE(os::DecodeDeviceDescriptor(no_serial.bytes()));

  Descriptor punctuation;
  punctuation.Put(24, 400, "-_-_");
  EXPECT_FALSE(os::DecodeDeviceDescriptor(punctuation.bytes()));

  // Only the twentieth character is a letter or digit.
  Descriptor twentieth;
  twentieth.Put(24, 400, "--------------------X-");  // swapped: the X lands at index 21
  EXPECT_FALSE(os::DecodeDeviceDescriptor(twentieth.bytes()));
  Descriptor at_nineteen;
  at_nineteen.Put(24, 400, "------------------X-");
  ASSERT_TRUE(os::DecodeDeviceDescriptor(at_nineteen.bytes()));  // swapped: X at index 19
}

TEST(DiskRequestBlocks, AreByteExact) {
  const auto master = os::SmartIdentifyCommand(0, 0x01);
  std::array<std::uint8_t, 32> expected{};
  expected[1] = 0x02;  // buffer size 512
  expected[5] = 1;
  expected[9] = 0xA0;
  expected[10] = 0xEC;
  EXPECT_EQ(master, expected);

  // Device map bit 4 shifted by the drive number selects identify packet device.
  const auto slave = os::SmartIdentifyCommand(1, 0x20);
  expected[9] = 0xB0;
  expected[10] = 0xA1;
  expected[12] = 1;
  EXPECT_EQ(slave, expected);
  EXPECT_EQ(os::SmartIdentifyCommand(3, 0x10)[10], 0xEC);

  const auto miniport = os::MiniportIdentifyRequest(1);
  std::array<std::uint8_t, os::kMiniportBlockSize> block{};
  const std::uint8_t header[28] = {28,  0,   0,    0,    'S',  'C',  'S',  'I',  'D',  'I',
                                   'S', 'K', 0x10, 0x27, 0,    0,    0x01, 0x05, 0x1B, 0,
                                   0,   0,   0,    0,    0x11, 0x02, 0,    0};
  std::memcpy(block.data(), header, sizeof header);
  block[38] = 0xEC;
  block[40] = 1;
  EXPECT_EQ(miniport, block);
}

TEST(CpuBrand, RunsToTheFirstZeroAndKeepsLeadingSpaces) {
  std::array<std::uint8_t, 48> registers{};
  const std::string brand = "       Intel(R) Core(TM) i7-8700 CPU @ 3.20GHz";
  std::memcpy(registers.data(), brand.data(), brand.size());
  EXPECT_EQ(os::BrandStringFromCpuid(registers), brand);

  registers.fill('A');
  EXPECT_EQ(os::BrandStringFromCpuid(registers), std::string(48, 'A'));

  registers[0] = 0;
  EXPECT_EQ(os::BrandStringFromCpuid(registers), "");

  const std::string here = base::tolq_guid::CpuBrandString();
  EXPECT_LE(here.size(), 48u);
  EXPECT_EQ(here.find('\0'), std::string::npos);
}

TEST(DiskIdentity, ReaderLeavesEmptyStringsWhenNothingAnswers) {
  base::tolq_guid::DiskIdentity identity{"stale", "stale", "stale", true};
  const bool read = base::tolq_guid::ReadDiskIdentity(identity);
  EXPECT_EQ(identity.read, read);
  if (!read) {
    EXPECT_EQ(identity.serial, "");
    EXPECT_EQ(identity.model, "");
    EXPECT_EQ(identity.firmware, "");
  }
}

}  // namespace
