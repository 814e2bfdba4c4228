#include <gtest/gtest.h>

#include <string>

#include "base/machine_identity/machine_guid_rules.h"

namespace {

using namespace base::tolq_guid;

constexpr char kStoredGuid[] = "00112233445566778899aabbccddeeff";

HardwareHashes Now(std::string mac, std::string disk, std::string cpu) {
  HardwareHashes now;
  now.disk_read = !disk.empty();
  now.cpu_read = !cpu.empty();
  now.mac = std::move(mac);
  now.disk = std::move(disk);
  now.cpu = std::move(cpu);
  return now;
}

TEST(JudgeStoredProfile, IdentityMatrix) {
  struct Case {
    const char* name;
    StoredProfile stored;
    HardwareHashes now;
    bool reuse;
    bool legacy;
  };
  const Case cases[] = {
      {"same hardware", {kStoredGuid, "m1", "d1", "c1", 1}, Now("m1", "d1", "c1"), true, false},
      {"disk replaced: MAC and processor still match",
       {kStoredGuid, "m1", "d1", "c1", 1},
       Now("m1", "d2", "c1"),
       true,
       false},
      {"network card replaced: disk and processor still match",
       {kStoredGuid, "m1", "d1", "c1", 1},
       Now("m2", "d1", "c1"),
       true,
       false},
      {"MAC and disk both changed",
       {kStoredGuid, "m1", "d1", "c1", 1},
       Now("m2", "d2", "c1"),
       false,
       false},
      {"processor changed",
       {kStoredGuid, "m1", "d1", "c1", 1},
       Now("m1", "d1", "c2"),
       false,
       false},
      {"disk no longer readable (2 available, 3 stored)",
       {kStoredGuid, "m1", "d1", "c1", 1},
       Now("m1", "", "c1"),
       true,
       false},
      {"disk readable on a profile without it (3 available, 2 stored)",
       {kStoredGuid, "m1", "", "c1", 1},
       Now("m1", "d1", "c1"),
       false,
       false},
      {"hashes compare without regard to case",
       {kStoredGuid, "ABCDEF", "d1", "C1", 1},
       Now("abcdef", "x", "c1"),
       true,
       false},
      {"no processor brand then and now: empty equals empty",
       {kStoredGuid, "m1", "d1", "", 1},
       Now("m1", "d1", ""),
       true,
       false},
      {"only the MAC, then and now",
       {kStoredGuid, "m1", "", "", 1},
       Now("m1", "", ""),
       true,
       false},
      {"old format, processor brand, no disk: derived anew with the brand",
       {kStoredGuid, "m1", "", "c1", 0},
       Now("m1", "", "c1"),
       false,
       true},
      {"old format with MAC and disk stored is reused",
       {kStoredGuid, "m1", "d1", "c1", 0},
       Now("m1", "", "c1"),
       true,
       false},
      {"old format, all three sources now",
       {kStoredGuid, "m1", "", "c1", 0},
       Now("m1", "d1", "c1"),
       false,
       false},
      {"old format without processor brand now",
       {kStoredGuid, "m1", "", "", 0},
       Now("m1", "", ""),
       true,
       false},
      {"stored GUID of the wrong length",
       {"0011", "m1", "d1", "c1", 1},
       Now("m1", "d1", "c1"),
       false,
       false},
      {"wrong length on an old-format profile stays clear of the legacy rule",
       {"0011", "m1", "", "c1", 0},
       Now("m1", "", "c1"),
       false,
       false},
  };
  for (const auto& c : cases) {
    const auto verdict = JudgeStoredProfile(c.stored, c.now);
    EXPECT_EQ(verdict.reuse, c.reuse) << c.name;
    EXPECT_EQ(verdict.legacy, c.legacy) << c.name;
    if (verdict.reuse) {
      EXPECT_EQ(GuidHex(verdict.guid), kStoredGuid) << c.name;
    }
  }
}

TEST(GuidSeed, MacThenDiskThenLegacyBrand) {
  DiskIdentity disk{"SER", std::string("MOD\0EL", 6), "FW", true};
  EXPECT_EQ(GuidSeed("1a2b3c4d5e6f", disk, "CPU", false),
            std::string("1a2b3c4d5e6fSERMOD\0ELFW", 23));
  EXPECT_EQ(GuidSeed("1a2b3c4d5e6f", disk, "CPU", true),
            std::string("1a2b3c4d5e6fSERMOD\0ELFWCPU", 26));
  disk.read = false;
  EXPECT_EQ(GuidSeed("1a2b3c4d5e6f", disk, "CPU", true), "1a2b3c4d5e6fCPU");
  EXPECT_EQ(GuidSeed("1a2b3c4d5e6f", disk, "CPU", false), "1a2b3c4d5e6f");
}

TEST(GuidHex, ParsesAndRendersPairs) {
  EXPECT_EQ(GuidHex(ParseGuidHex(kStoredGuid)), kStoredGuid);
  EXPECT_EQ(GuidHex(ParseGuidHex("00112233445566778899AABBCCDDEEFF")), kStoredGuid);
  // A pair not starting with a digit repeats the previous byte; a digit alone counts alone.
  EXPECT_EQ(GuidHex(ParseGuidHex("zz11zz3g445566778899aabbccddee-f")),
            "0011110344556677889"
            "9aabbccddeeee");
}

TEST(ProfileText, SixLinesWithCrLf) {
  GuidBytes guid{};
  for (std::size_t i = 0; i < guid.size(); ++i) guid[i] = static_cast<std::uint8_t>(i * 17);
  HardwareHashes hashes = Now("aaaa", "", "cccc");
  EXPECT_EQ(ProfileText(guid, hashes),
            "[Profile]\r\nconfig1=00112233445566778899aabbccddeeff\r\nconfig2=aaaa\r\n"
            "config3=\r\nconfig4=cccc\r\nconfig5=1\r\n");
}

}  // namespace
