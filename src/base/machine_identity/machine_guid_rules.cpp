#include "base/machine_identity/machine_guid_rules.h"

namespace base::tolq_guid {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ProfileVerdict JudgeStoredProfile(const StoredProfile& stored, const HardwareHashes& now) {
  ProfileVerdict verdict;
  const bool match =
      EqualsIgnoringCase(stored.config4, now.cpu) &&
      (EqualsIgnoringCase(stored.config2, now.mac) || EqualsIgnoringCase(stored.config3, now.disk));
  if (stored.config1.size() != 32) return verdict;
  if (match) verdict.guid = ParseGuidHex(stored.config1);

  const int available = 1 + (now.disk_read ? 1 : 0) + (now.cpu_read ? 1 : 0);
  const int stored_count = (stored.config2.empty() ? 0 : 1) + (stored.config3.empty() ? 0 : 1) +
                           (stored.config4.empty() ? 0 : 1);
  const bool reuse = match && available <= stored_count;

  if (stored.config5 != 0 || !now.cpu_read ||
      (!stored.config2.empty() && !stored.config3.empty()) || available == 3 ||
      available < stored_count) {
    verdict.reuse = reuse;
    return verdict;
  }
  verdict.legacy = true;
  return verdict;
}

std::string GuidSeed(std::string_view mac_text, const DiskIdentity& disk, std::string_view cpu,
                     bool legacy) {
  std::string seed(mac_text);
  if (disk.read) {
    seed += disk.serial;
    seed += disk.model;
    seed += disk.firmware;
  }
  if (legacy) seed += cpu;
  return seed;
}

std::string GuidHex(const GuidBytes& guid) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : guid) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

GuidBytes ParseGuidHex(std::string_view text) {
  GuidBytes guid{};
  std::uint8_t previous = 0;
  for (std::size_t i = 0; i < guid.size() && 2 * i < text.size(); ++i) {
    const int high = HexDigit(text[2 * i]);
    if (high >= 0) {
      const int low = 2 * i + 1 < text.size() ? HexDigit(text[2 * i + 1]) : -1;
      previous = static_cast<std::uint8_t>(low >= 0 ? high * 16 + low : high);
    }
    guid[i] = previous;
  }
  return guid;
}

std::string ProfileText(const GuidBytes& guid, const HardwareHashes& hashes) {
  return "[Profile]\r\nconfig1=" + GuidHex(guid) + "\r\nconfig2=" + hashes.mac +
         "\r\nconfig3=" + hashes.disk + "\r\nconfig4=" + hashes.cpu + "\r\nconfig5=1\r\n";
}

}  // namespace base::tolq_guid
