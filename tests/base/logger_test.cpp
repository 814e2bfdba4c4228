#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>

#include "base/logger.h"
#include "os/clock.h"
#include "os/paths.h"
#include "os/process_info.h"
#include "os/text.h"
#include "test_support.h"

namespace {

using test_support::ReadFileBytes;
using test_support::ScopedTempEnvironment;
using test_support::TempFolder;

constexpr std::string_view kRule = "=================================================================";

// 7 March (local time) 14:02:09.045 of the year the test runs in, as wall-clock ticks.
std::int64_t FixedTicks() {
  std::tm local{};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 7;
  local.tm_hour = 14;
  local.tm_min = 2;
  local.tm_sec = 9;
  local.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&local)) * 10'000'000 + 45 * 10'000 + 1234;
}

std::u16string LogPath(const TempFolder& temp, const char16_t* name) {
  return os::PathJoin(os::PathJoin(os::PathJoin(temp.path(), u"Quorlen"), u"Velmora"), name);
}

// The logger writes into <temp>/Quorlen/Velmora; each test gets its own temporary folder.
class LoggerTest : public ::testing::Test {
 protected:
  TempFolder temp_;
  ScopedTempEnvironment environment_{temp_.path()};
};

TEST(LoggerFormat, TimestampHasNoYearAndThreeDigitMilliseconds) {
  EXPECT_EQ(Logger::TimestampText(FixedTicks()), "[03-07 14:02:09.045] ");
}

TEST(LoggerFormat, CallSiteCarriesTheBareFunctionName) {
  EXPECT_STREQ(LogLocation::Current().function, "TestBody");
  EXPECT_STREQ([] { return LogLocation::Current().function; }(), "operator()");
}

TEST_F(LoggerTest, WritesBannersAndLinesInTheDocumentedFormat) {
  {
    Logger logger(Logger::Environment{[] { return FixedTicks(); }});
    logger.Log("before open", LogLocation::Current(), 1);
    logger.Open("unit", std::ios_base::app);
    logger.Log("value {} {} {} {}", LogLocation::Current(), 5132, 42, true,
               std::string("{braces}"), "c");
    logger.Close();
    logger.Log("after close", LogLocation::Current(), 1);
  }
  const std::string pid = std::to_string(os::CurrentProcessId());
  const std::string tid = std::to_string(os::CurrentThreadId());
  const std::string expected = std::string("\n\n") + std::string(kRule) + "\n[03-07 14:02:09.045] [" +
                               tid + "." + pid + "] log start\n" +
                               "[03-07 14:02:09.045] [5132." + pid + "][TestBody]: value 42 true " +
                               "{braces} c\n" + "[03-07 14:02:09.045] [" + tid + "." + pid +
                               "] log end\n" + std::string(kRule) + "\n";
  EXPECT_EQ(ReadFileBytes(LogPath(temp_, u"unit.log")), expected);
}

TEST_F(LoggerTest, SecondOpenChangesNothingAndRunsAppend) {
  const std::u16string path = LogPath(temp_, u"twice.log");
  for (int run = 0; run < 2; ++run) {
    Logger logger;
    logger.Open("twice", std::ios_base::app);
    logger.Open("other", std::ios_base::app);
    logger.Log("run {}", LogLocation::Current(), 1, run);
    logger.Close();
  }
  const std::string text = ReadFileBytes(path);
  EXPECT_EQ(os::StatusOf(LogPath(temp_, u"other.log")), os::PathKind::kMissing);
  std::size_t starts = 0;
  for (auto at = text.find("log start"); at != std::string::npos; at = text.find("log start", at + 1)) {
    ++starts;
  }
  EXPECT_EQ(starts, 2u);
  EXPECT_NE(text.find("run 0\n"), std::string::npos);
  EXPECT_NE(text.find("run 1\n"), std::string::npos);
  EXPECT_LT(text.find("run 0"), text.find("run 1"));
}

TEST_F(LoggerTest, ShortBatchReachesTheFileAfterTheBatchWait) {
  Logger logger(Logger::Environment{nullptr, std::chrono::milliseconds(20)});
  logger.Open("batch", std::ios_base::app);
  logger.Log("only line", LogLocation::Current(), 1);
  // Fewer than ten lines wait at most the batch wait; poll for them rather than sleep a fixed time.
  const std::u16string path = LogPath(temp_, u"batch.log");
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (text.find("only line") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    text = ReadFileBytes(path);
  }
  EXPECT_NE(text.find("only line\n"), std::string::npos);
  logger.Close();
}

TEST_F(LoggerTest, PlainFileWhereTheFolderShouldBeIsReplaced) {
  const std::u16string quorlen = os::PathJoin(temp_.path(), u"Quorlen");
  ASSERT_TRUE(os::CreateDirectories(quorlen));
  {
    os::AppendFile blocker;
    ASSERT_TRUE(blocker.Open(os::PathJoin(quorlen, u"Velmora"), os::AppendFile::Mode::kAppend));
    ASSERT_TRUE(blocker.Write("not a folder"));
  }
  Logger logger;
  logger.Open("replaced", std::ios_base::app);
  logger.Log("written", LogLocation::Current(), 1);
  logger.Close();
  EXPECT_NE(ReadFileBytes(LogPath(temp_, u"replaced.log")).find("written\n"), std::string::npos);
}

VELMORA_TEST_CHILD(AppendManyLines) {
  Logger& logger = Logger::Instance();
  logger.Open("shared", std::ios_base::app);
  for (int i = 0; i < 500; ++i) LOG("child {} line {}", arguments.at(0), i);
  logger.Close();
  return 0;
}

TEST_F(LoggerTest, TwoProcessesAppendToOneFile) {
  auto environment = ScopedTempEnvironment::For(temp_.path());
  auto first = test_support::SpawnChild("AppendManyLines", {"A"}, environment);
  auto second = test_support::SpawnChild("AppendManyLines", {"B"}, environment);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->Wait(60'000), 0u);
  EXPECT_EQ(second->Wait(60'000), 0u);
  const std::string text = ReadFileBytes(LogPath(temp_, u"shared.log"));
  const std::regex line(R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[\d+\.\d+\]\[AppendManyLines_ChildMain\]: child ([AB]) line (\d+))");
  int seen[2] = {0, 0};
  int next[2] = {0, 0};
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string one = text.substr(start, end - start);
    start = end + 1;
    std::smatch match;
    if (!std::regex_match(one, match, line)) continue;
    const int who = match[1] == "A" ? 0 : 1;
    EXPECT_EQ(std::stoi(match[2]), next[who]) << "lines of one process stay in order";
    next[who] = std::stoi(match[2]) + 1;
    ++seen[who];
  }
  EXPECT_EQ(seen[0], 500);
  EXPECT_EQ(seen[1], 500);
}

}  // namespace
