// What the Linux backend adds to the shell's "open": a session of its own, the working folder,
// errno mapped to the Windows errors, and the elevation of root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/process_utils.h"
#include "os/paths.h"
#include "os/text.h"
#include "test_support.h"

namespace {

std::string AwaitFile(const std::string& path) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (::access(path.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return test_support::ReadFileBytes(os::Utf8ToUtf16(path));
}

TEST(ShellOpenPosix, StartsInItsOwnSessionAndFolder) {
  test_support::TempFolder temp;
  // $$ is the shell itself: its process id, its session id (field 6 of its stat) and its folder.
  const std::u16string script =
      u"-c \"echo $$ $(cut -d' ' -f6 /proc/$$/stat) $(pwd) > report.tmp && mv report.tmp report\"";
  ASSERT_EQ(ShellExecuteOpen(u"sh", script, temp.path()), 0u);
  std::istringstream report(AwaitFile(temp.narrow() + "/report"));
  long pid = 0, session = 0;
  std::string folder;
  ASSERT_TRUE(report >> pid >> session >> folder);
  EXPECT_EQ(pid, session);
  EXPECT_NE(session, static_cast<long>(::getsid(0)));
  EXPECT_EQ(folder, temp.narrow());
}

TEST(ShellOpenPosix, MapsStartFailuresToWindowsErrors) {
  test_support::TempFolder temp;
  const std::string not_executable = temp.narrow() + "/data.exe";
  std::ofstream(not_executable) << "data";
  const std::string bad_format = temp.narrow() + "/bad.exe";
  std::ofstream(bad_format) << "\x01\x02 not a program";
  ::chmod(bad_format.c_str(), 0755);

  EXPECT_EQ(ShellExecuteOpen(os::Utf8ToUtf16(bad_format), u"", u""), 193u);
  EXPECT_EQ(ShellExecuteOpen(u"velmora-no-such-program", u"", u""), 2u);
  EXPECT_EQ(ShellExecuteOpen(u"sh", u"-c true", temp.path() + u"/missing-folder"), 2u);
  // Without an execute bit nobody, root included, may run it.
  EXPECT_EQ(ShellExecuteOpen(os::Utf8ToUtf16(not_executable), u"", u""), 5u);
}

TEST(ElevationPosix, RootIsFullyElevated) {
  EXPECT_EQ(IsProcessElevated(), ::geteuid() == 0);
  if (::geteuid() == 0) {
    EXPECT_EQ(ProcessElevationType(), 2u);
  }
}

}  // namespace
