#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "os/hardware.h"

namespace os {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kArphrdLoopback = 772;
constexpr std::size_t kDevicesPerMethod = 16;

std::optional<std::string> ReadSmallFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::string Trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return std::string(text);
}

std::optional<std::uint32_t> ReadNumber(const fs::path& path) {
  const auto text = ReadSmallFile(path);
  if (!text) return std::nullopt;
  const std::string trimmed = Trimmed(*text);
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(trimmed.data(), trimmed.data() + trimmed.size(), value);
  if (ec != std::errc() || end != trimmed.data() + trimmed.size()) return std::nullopt;
  return value;
}

// The bus a device sits on: the name its "subsystem" link points to.
std::string BusOf(const fs::path& device) {
  std::error_code ec;
  const fs::path subsystem = fs::canonical(device / "subsystem", ec);
  return ec ? std::string() : subsystem.filename().string();
}

// A virtio device is a function of its transport device; the system lists the transport's bus
// (a virtio network card on PCI is a PCI adapter to it).
std::string AdapterBus(const fs::path& interface) {
  std::error_code ec;
  const fs::path device = fs::canonical(interface / "device", ec);
  if (ec) return {};
  std::string bus = BusOf(device);
  if (bus == "virtio") bus = BusOf(device.parent_path());
  return bus;
}

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// Block devices backed by hardware, in name order, at most 16.
std::vector<std::string> PhysicalDisks() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
    const fs::path target = fs::canonical(entry.path(), ec);
    if (ec || target.string().find("/devices/virtual/") != std::string::npos) continue;
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  if (names.size() > kDevicesPerMethod) names.resize(kDevicesPerMethod);
  return names;
}

// ATA IDENTIFY DEVICE through the SCSI-to-ATA translation (ATA PASS-THROUGH (16), PIO in).
std::optional<DiskStrings> AtaIdentify(const std::string& disk) {
  const std::string path = "/dev/" + disk;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::array<std::uint8_t, kIdentifySize> identify{};
  std::array<std::uint8_t, 16> cdb{};
  cdb[0] = 0x85;    // ATA PASS-THROUGH (16)
  cdb[1] = 4 << 1;  // PIO data-in
  cdb[2] = 0x0E;    // from the device, length in blocks, taken from the sector count
  cdb[6] = 1;       // one sector
  cdb[14] = 0xEC;   // IDENTIFY DEVICE
  std::array<std::uint8_t, 32> sense{};
  sg_io_hdr_t request{};
  request.interface_id = 'S';
  request.dxfer_direction = SG_DXFER_FROM_DEV;
  request.cmd_len = static_cast<unsigned char>(cdb.size());
  request.mx_sb_len = static_cast<unsigned char>(sense.size());
  request.dxfer_len = static_cast<unsigned int>(identify.size());
  request.dxferp = identify.data();
  request.cmdp = cdb.data();
  request.sbp = sense.data();
  request.timeout = 10'000;
  const int rc = ::ioctl(fd, SG_IO, &request);
  ::close(fd);
  if (rc != 0 || request.status != 0 || request.host_status != 0 || request.driver_status != 0) {
    return std::nullopt;
  }
  if (identify[54] == 0) return std::nullopt;  // no model: nothing answered
  return DecodeIdentifyStrings(identify);
}

std::string SysfsText(const fs::path& path) {
  const auto text = ReadSmallFile(path);
  return text ? Trimmed(*text) : std::string();
}

std::optional<DiskStrings> SysfsIdentity(const std::string& disk) {
  const fs::path block = fs::path("/sys/block") / disk;
  const fs::path device = block / "device";
  DiskStrings strings;
  strings.serial = SysfsText(device / "serial");                             // NVMe
  if (strings.serial.empty()) strings.serial = SysfsText(block / "serial");  // virtio
  if (strings.serial.empty()) {
    // SCSI unit serial number page: the length at byte 3, the text from byte 4.
    if (const auto page = ReadSmallFile(device / "vpd_pg80"); page && page->size() > 4) {
      const std::size_t length =
          std::min<std::size_t>(static_cast<unsigned char>((*page)[3]), page->size() - 4);
      strings.serial = Trimmed(std::string_view(*page).substr(4, length));
    }
  }
  strings.model = SysfsText(device / "model");
  strings.firmware = SysfsText(device / "firmware_rev");
  if (strings.firmware.empty()) strings.firmware = SysfsText(device / "rev");

  const auto alnum = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  };
  const std::string& s = strings.serial;
  if (!(!s.empty() && alnum(s[0])) && !(s.size() > 19 && alnum(s[19]))) return std::nullopt;
  return strings;
}

}  // namespace

std::optional<std::vector<NetworkAdapter>> ReadNetworkAdapters() {
  std::error_code ec;
  fs::directory_iterator entries("/sys/class/net", ec);
  if (ec) return std::nullopt;
  std::vector<std::pair<std::uint32_t, NetworkAdapter>> indexed;
  for (const auto& entry : entries) {
    const fs::path interface = entry.path();
    const auto type = ReadNumber(interface / "type");
    if (!type || *type == kArphrdLoopback) continue;
    NetworkAdapter adapter;
    adapter.name = interface.filename().string();
    const bool wireless = Exists(interface / "wireless") || Exists(interface / "phy80211");
    const auto kind = ClassifySysfsAdapter(*type, wireless, AdapterBus(interface));
    adapter.type = kind.if_type;
    adapter.priority = kind.priority;
    if (const auto text = ReadSmallFile(interface / "address")) {
      adapter.address = ParseColonMac(Trimmed(*text)).value_or(MacAddress{});
    }
    indexed.emplace_back(ReadNumber(interface / "ifindex").value_or(0xFFFFFFFF),
                         std::move(adapter));
  }
  std::stable_sort(indexed.begin(), indexed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<NetworkAdapter> adapters;
  for (auto& [index, adapter] : indexed) adapters.push_back(std::move(adapter));
  return adapters;
}

MacAddress ReadNetbiosAddress() {
  return {};
}

bool IsNtPlatform() {
  return true;
}

std::optional<DiskStrings> ReadFirstDiskIdentity() {
  const auto disks = PhysicalDisks();
  for (const auto& disk : disks) {
    if (auto strings = AtaIdentify(disk)) return strings;
  }
  for (const auto& disk : disks) {
    if (auto strings = SysfsIdentity(disk)) return strings;
  }
  return std::nullopt;
}

}  // namespace os
