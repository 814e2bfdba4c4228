// Process utilities against real processes: copies of this test program running under chosen
// executable names, and programs started through the shell that report what they received.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "base/process_utils.h"
#include "base/trace_id.h"
#include "os/clock.h"
#include "os/command_line.h"
#include "os/paths.h"
#include "os/process.h"
#include "os/process_info.h"
#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::u16string>;

// Runs until it is killed.
VELMORA_TEST_CHILD(idle) {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

VELMORA_TEST_CHILD(exit_now) {
  return 0;
}

std::string HexText(std::u16string_view text) {
  std::string hex;
  for (const unsigned char c : os::Utf16ToUtf8(text)) {
    static constexpr char kDigits[] = "0123456789abcdef";
    hex.push_back(kDigits[c >> 4]);
    hex.push_back(kDigits[c & 15]);
  }
  return hex;
}

std::u16string FromHexText(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return os::Utf8ToUtf16(bytes);
}

// Writes its working folder and its arguments, as the system's command-line splitter gives
// them, one hex-encoded line each, to the file named by its first argument. The file appears
// whole (renamed into place).
VELMORA_TEST_CHILD(record_argv) {
  const std::string out = arguments.at(0);
  {
    std::ofstream file(fs::u8path(out + ".tmp"), std::ios::binary);
    file << HexText(fs::current_path().u16string()) << "\n";
    for (const auto& argument : os::CommandLineToArgv(os::ProcessCommandLine())) {
      file << HexText(argument) << "\n";
    }
  }
  std::error_code ignored;
  fs::rename(fs::u8path(out + ".tmp"), fs::u8path(out), ignored);
  return 0;
}

// A program started through the shell is not ours to wait for: its report file is awaited.
std::optional<std::vector<std::u16string>> AwaitReport(const std::u16string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (os::StatusOf(path) != os::PathKind::kOther) {
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::vector<std::u16string> lines;
  std::ifstream in(fs::path(path), std::ios::binary);
  for (std::string line; std::getline(in, line);) lines.push_back(FromHexText(line));
  return lines;
}

// Copies of this program under the given file names, each in a folder of its own (file names
// that differ only in case would be one file where the file system ignores case).
class NamedHelpers {
 public:
  std::uint32_t Start(const std::u16string& file_name) {
    const std::u16string folder =
        os::PathJoin(temp_.path(), os::Utf8ToUtf16(std::to_string(children_.size())));
    os::CreateDirectories(folder);
    const std::u16string program = os::PathJoin(folder, file_name);
    fs::copy_file(fs::path(os::ModulePath()), fs::path(program));
    auto child = os::ChildProcess::Spawn(program, {u"--velmora-child=idle"});
    if (!child) return 0;
    children_.push_back(std::move(*child));
    return children_.back().Id();
  }

 private:
  test_support::TempFolder temp_;
  std::vector<os::ChildProcess> children_;  // killed before the folder goes
};

TEST(ProcessUtils, FindsProcessesByExecutableName) {
  NamedHelpers helpers;
  const std::u16string unique =
      os::Utf8ToUtf16(test_support::UniqueName("Velmora-Helper") + ".exe");
  std::u16string upper_unique = unique;
  for (char16_t& c : upper_unique) {
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  }
  const std::uint32_t worker1 = helpers.Start(u"vmwp.exe");
  const std::uint32_t worker2 = helpers.Start(u"vmwp.exe");
  const std::uint32_t shouting = helpers.Start(u"VMWP.EXE");
  const std::uint32_t mine1 = helpers.Start(unique);
  const std::uint32_t mine2 = helpers.Start(upper_unique);
  ASSERT_TRUE(worker1 && worker2 && shouting && mine1 && mine2);

  // Exact and case-sensitive: both vmwp.exe, not VMWP.EXE (other vmwp.exe may run as well).
  const auto workers = FindHyperVWorkerProcesses();
  EXPECT_NE(std::find(workers.begin(), workers.end(), worker1), workers.end());
  EXPECT_NE(std::find(workers.begin(), workers.end(), worker2), workers.end());
  EXPECT_EQ(std::find(workers.begin(), workers.end(), shouting), workers.end());
  const auto snapshot = os::SnapshotProcesses();
  auto position = [&](std::uint32_t id) {
    return std::find_if(snapshot.begin(), snapshot.end(),
                        [id](const auto& p) { return p.id == id; }) -
           snapshot.begin();
  };
  EXPECT_EQ(std::find(workers.begin(), workers.end(), worker1) <
                std::find(workers.begin(), workers.end(), worker2),
            position(worker1) < position(worker2));

  // Without regard to case: the first of the two in the snapshot, whichever spelling it has.
  const std::uint32_t first = position(mine1) < position(mine2) ? mine1 : mine2;
  EXPECT_EQ(FindProcessIdByName(unique), first);
  EXPECT_EQ(FindProcessIdByName(upper_unique), first);
  const std::uint32_t any_worker = FindProcessIdByName(u"vmwp.exe");
  EXPECT_NE(any_worker, 0u);
  EXPECT_EQ(FindProcessIdByName(u"Velmora-No-Such-Process.exe"), 0u);
}

TEST(ProcessUtils, ReadsTheOwnerOfARunningProcessOnly) {
  std::u16string own_user, own_domain;
  ASSERT_EQ(GetProcessOwner(os::CurrentProcessId(), own_user, own_domain), kSOk);
  EXPECT_FALSE(own_user.empty());
  EXPECT_FALSE(own_domain.empty());

  auto running = test_support::SpawnChild("idle");
  ASSERT_TRUE(running.has_value());
  std::u16string user, domain;
  EXPECT_EQ(GetProcessOwner(running->Id(), user, domain), kSOk);
  EXPECT_EQ(user, own_user);
  EXPECT_EQ(domain, own_domain);

  const auto privilege_before = os::OwnPrivilegeEnabled(u"SeDebugPrivilege");
  std::uint32_t gone = 0;
  {
    auto exited = test_support::SpawnChild("exit_now");
    ASSERT_TRUE(exited.has_value());
    gone = exited->Id();
    ASSERT_EQ(exited->Wait(os::ChildProcess::kInfinite), 0u);
  }  // the last handle to it closes here
  // Wine lets a process that just ended be opened for a moment longer; it must fail soon.
  std::u16string kept_user = u"kept", kept_domain;
  HResult result = kSOk;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((result = GetProcessOwner(gone, kept_user, kept_domain)) == kSOk &&
         std::chrono::steady_clock::now() < deadline) {
    kept_user = u"kept";
    kept_domain.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(result, kEFail);
  EXPECT_EQ(kept_user, u"kept");
  EXPECT_EQ(kept_domain, u"");
  EXPECT_EQ(os::OwnPrivilegeEnabled(u"SeDebugPrivilege"), privilege_before);
}

struct ShellCase {
  std::u16string parameters;
  Args expected;
};

// The started program's arguments after --velmora-child=record_argv and the report path.
Args ReceivedArguments(const std::vector<std::u16string>& report) {
  return report.size() < 4 ? Args{} : Args(report.begin() + 4, report.end());
}

TEST(ShellExecuteOpen, PassesParametersByTheWindowsRules) {
  test_support::TempFolder temp;
  const ShellCase cases[] = {
      {u"plain \"two words\" \"\" tail", {u"plain", u"two words", u"", u"tail"}},
      {u"a\\\\b a\\\"b \"c:\\dir\\\\\" end\\ \"x\"\"y\"",
       {u"a\\\\b", u"a\"b", u"c:\\dir\\", u"end\\", u"x\"y"}},
      // A doubled quote in a quoted part is a quote and ends the part: the next quote opens one.
      {u"\"x\"\"y\" z", {u"x\"y z"}},
      {u"  spaced\t\ttabs  \"\"  ", {u"spaced", u"tabs", u""}},
      {u"--url=\"velmora://x?a=1&b=\\\"q\\\"\"", {u"--url=velmora://x?a=1&b=\"q\""}},
      {u"", {}},
  };
  int index = 0;
  for (const auto& c : cases) {
    const std::u16string report =
        os::PathJoin(temp.path(), os::Utf8ToUtf16("report" + std::to_string(index++)));
    const std::u16string parameters = u"--velmora-child=record_argv " +
                                      os::QuoteWindowsArgument(report) +
                                      (c.parameters.empty() ? u"" : u" " + c.parameters);
    ASSERT_EQ(ShellExecuteOpen(os::ModulePath(), parameters, temp.path()), 0u);
    const auto lines = AwaitReport(report);
    ASSERT_TRUE(lines.has_value()) << "no report from the started program";
    ASSERT_GE(lines->size(), 4u);
    EXPECT_TRUE(fs::equivalent(fs::path((*lines)[0]), fs::path(temp.path())));
    EXPECT_EQ((*lines)[2], u"--velmora-child=record_argv");
    EXPECT_EQ(ReceivedArguments(*lines), c.expected) << os::Utf16ToUtf8(c.parameters);
  }
}

TEST(ShellExecuteOpen, ReportsMissingFilesAndStartsNothingWithoutAName) {
  EXPECT_EQ(ShellExecuteOpen(u"", u"--anything", u""), 2u);
  const std::u16string missing = os::ModulePath() + u".missing.exe";
  EXPECT_EQ(ShellExecuteOpen(missing, u"", u""), 2u);
}

TEST(Elevation, TypeAgreesWithElevation) {
  const std::uint32_t type = ProcessElevationType();
  EXPECT_GE(type, 1u);
  EXPECT_LE(type, 3u);
  if (type == 2) {
    EXPECT_TRUE(IsProcessElevated());
  }
  if (type == 3) {
    EXPECT_FALSE(IsProcessElevated());
  }
}

TEST(TraceId, MillisecondsUnderscoreAndTenLowerCaseLetters) {
  const std::int64_t before = os::WallClockTicks() / 10'000;
  const std::string id = NewTraceId();
  const std::int64_t after = os::WallClockTicks() / 10'000;
  const std::size_t underscore = id.find('_');
  ASSERT_NE(underscore, std::string::npos);
  ASSERT_EQ(id.size(), underscore + 11);
  const std::string digits = id.substr(0, underscore);
  ASSERT_TRUE(
      !digits.empty() && digits[0] != '0' &&
      std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }));
  const std::int64_t stamp = std::stoll(digits);
  EXPECT_GE(stamp, before);
  EXPECT_LE(stamp, after);

  // Ids of one moment differ in their letters, which cover the alphabet and nothing else.
  std::set<std::string> ids;
  std::set<char> letters;
  for (int i = 0; i < 2000; ++i) {
    const std::string next = NewTraceId();
    ids.insert(next.substr(next.find('_') + 1));
    for (const char c : next.substr(next.find('_') + 1)) {
      ASSERT_TRUE(c >= 'a' && c <= 'z') << next;
      letters.insert(c);
    }
  }
  EXPECT_EQ(ids.size(), 2000u);
  EXPECT_EQ(letters.size(), 26u);
}

TEST(ProcessStartTime, IsFixedAndPrecedesTheFirstCall) {
  const std::uint64_t now = static_cast<std::uint64_t>(os::WallClockTicks() / 10'000);
  const std::uint64_t start = ProcessStartTimeMs();
  EXPECT_NE(start, 0u);
  EXPECT_LE(start, now);
  // This test program started moments ago, not hours.
  EXPECT_GT(start + 10 * 60 * 1000, now);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ProcessStartTimeMs(), start);
}

}  // namespace
