#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "object_test_support.h"
#include "os/named_objects.h"
#include "os/text.h"
#include "transport/shm.h"
#include "transport_test_support.h"

namespace {

using test_support::kChildWaitMs;
using transport_test::CapturedReports;
namespace shm = transport::shm;

[[maybe_unused]] auto* const kObjects =
    ::testing::AddGlobalTestEnvironment(new test_support::FreshObjectFolder);

std::uint32_t Read(const shm::handle& segment) {
  std::uint32_t value = 0;
  std::memcpy(&value, segment.get(), sizeof(value));
  return value;
}

void Write(const shm::handle& segment, std::uint32_t value) {
  std::memcpy(segment.get(), &value, sizeof(value));
}

bool SegmentExists(const std::string& name, bool global) {
  return os::FileMapping::Open(os::Utf8ToUtf16(shm::segment_name(name, global))).ok();
}

// Acquires the local 4-byte segment <name>; exit code 0 when it holds <expected>, which it then
// replaces with <next>.
VELMORA_TEST_CHILD(check_segment) {
  shm::handle segment;
  if (!segment.acquire(arguments.at(0), 4, false)) return 2;
  if (Read(segment) != std::stoul(arguments.at(1))) return 1;
  Write(segment, static_cast<std::uint32_t>(std::stoul(arguments.at(2))));
  return 0;
}

TEST(SharedSegment, NamesCarryTheNamespaceAndTheTransportPrefix) {
  EXPECT_EQ(shm::segment_name("__AC_CONN__VelLauncher", true),
            "Global\\__IPC_SHM____AC_CONN__VelLauncher");
  EXPECT_EQ(shm::segment_name("_cond_shm_x", false), "Local\\__IPC_SHM___cond_shm_x");
}

TEST(SharedSegment, IsSharedWhileHeldAndZeroAgainAfterTheLastHolder) {
  const std::string name = test_support::UniqueName("seg");
  shm::handle segment;
  ASSERT_TRUE(segment.acquire(name, 4, false));
  EXPECT_EQ(Read(segment), 0u);
  Write(segment, 0x5EED);

  auto child = test_support::SpawnChild("check_segment", {name, std::to_string(0x5EED), "77"});
  ASSERT_TRUE(child);
  EXPECT_EQ(child->Wait(kChildWaitMs), 0u) << "the second process sees the first one's value";
  EXPECT_EQ(Read(segment), 77u) << "and the first sees the second's";

  segment.release();
  EXPECT_EQ(segment.get(), nullptr);
  EXPECT_EQ(segment.size(), 0u);
  EXPECT_EQ(segment.name(), "");
  EXPECT_FALSE(SegmentExists(name, false));
  auto later = test_support::SpawnChild("check_segment", {name, "0", "1"});
  ASSERT_TRUE(later);
  EXPECT_EQ(later->Wait(kChildWaitMs), 0u) << "a segment nobody held any more starts at zero";
}

TEST(SharedSegment, GlobalAndLocalSegmentsOfOneNameDiffer) {
  const std::string name = test_support::UniqueName("ns");
  shm::handle global, local;
  ASSERT_TRUE(global.acquire(name, 4));  // a handle is global unless told otherwise
  EXPECT_TRUE(global.global());
  ASSERT_TRUE(local.acquire(name, 4, false));
  Write(global, 1);
  Write(local, 2);
  EXPECT_EQ(Read(global), 1u);
  EXPECT_EQ(Read(local), 2u);
  EXPECT_TRUE(SegmentExists(name, true));
  EXPECT_TRUE(SegmentExists(name, false));
}

TEST(SharedSegment, ReportsWholePagesAndKeepsTheCreatorsSize) {
  const std::string name = test_support::UniqueName("size");
  shm::handle small;
  ASSERT_TRUE(small.acquire(name, 4, false));
  EXPECT_EQ(small.size(), 4096u);
  EXPECT_EQ(small.name(), name);

  shm::handle larger;
  ASSERT_TRUE(larger.acquire(name, 3 * 4096, false));
  EXPECT_EQ(larger.size(), 4096u) << "the existing segment keeps its size";

  shm::handle ring;
  ASSERT_TRUE(ring.acquire(test_support::UniqueName("ring"), 24832, false));
  EXPECT_EQ(ring.size(), 28672u);
}

TEST(SharedSegment, AcquireReleasesTheHeldSegmentFirstEvenWhenItFails) {
  CapturedReports reports;
  const std::string name = test_support::UniqueName("swap");
  shm::handle segment;
  ASSERT_TRUE(segment.acquire(name, 4, false));
  ASSERT_FALSE(segment.acquire("", 4, false));
  EXPECT_EQ(segment.get(), nullptr);
  EXPECT_FALSE(SegmentExists(name, false));
  const auto texts = reports.texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], "fail acquire: name is empty\n");
}

TEST(SharedSegment, RecordOperationsReportInvalidRecords) {
  CapturedReports reports;
  EXPECT_EQ(shm::get_mem(nullptr), nullptr);
  EXPECT_EQ(shm::release(nullptr), -1);
  const auto reported = reports.take();
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(reported[0].text, "fail get_mem: invalid id (null)\n");
  EXPECT_EQ(reported[0].level, transport::log::kFailure);
  EXPECT_EQ(reported[0].module, "transport/utility/log");
  EXPECT_EQ(reported[1].text, "fail release: invalid id (null)\n");

  // A record never mapped: the view is reported missing, the mapping is still closed.
  const std::string name = test_support::UniqueName("unmapped");
  auto record = shm::acquire(name, 4, false);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->size, 4u);
  EXPECT_TRUE(SegmentExists(name, false));
  EXPECT_EQ(shm::release(std::move(record)), 0);
  EXPECT_FALSE(SegmentExists(name, false));
  const auto texts = reports.texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("fail release: invalid id (mem = ", 0), 0u) << texts[0];
  EXPECT_TRUE(texts[0].ends_with(", size = 4)\n")) << texts[0];
}

TEST(SharedSegment, GetMemMapsOnceAndReportsThePageSize) {
  auto record = shm::acquire(test_support::UniqueName("once"), 4, false);
  ASSERT_TRUE(record);
  std::size_t size = 0;
  void* first = shm::get_mem(record.get(), &size);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(size, 4096u);
  EXPECT_EQ(shm::get_mem(record.get()), first);
  EXPECT_EQ(shm::release(std::move(record)), 0);
}

TEST(DiagnosticHook, CutsLongTextsAndGoesBackToTheDefault) {
  const auto default_hook = transport::log::get_hook();
  ASSERT_NE(default_hook, nullptr);
  {
    CapturedReports reports;
    EXPECT_NE(transport::log::get_hook(), default_hook);
    const std::string long_text(3000, 'x');
    const int line = __LINE__ + 1;
    TRANSPORT_REPORT(transport::log::kNotice, "%s", long_text.c_str());
    const auto reported = reports.take();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].text, std::string(2047, 'x'));
    EXPECT_EQ(reported[0].level, transport::log::kNotice);
    EXPECT_EQ(reported[0].line, line);
  }
  EXPECT_EQ(transport::log::get_hook(), default_hook);
  default_hook(transport::log::kFailure, transport::log::kModule, 1, "discarded");
}

}  // namespace
