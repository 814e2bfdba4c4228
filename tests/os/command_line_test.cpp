#include <gtest/gtest.h>

#include <random>

#include "os/command_line.h"
#include "os/paths.h"

namespace {

using Args = std::vector<std::u16string>;

struct SplitCase {
  std::u16string line;
  Args expected;
};

// The documented CommandLineToArgvW rules. On the Windows build the same table is checked
// against the real function.
const SplitCase kSplitCases[] = {
    {u"prog", {u"prog"}},
    {u"prog a b", {u"prog", u"a", u"b"}},
    {u"prog  a\t\tb  ", {u"prog", u"a", u"b"}},
    {u"\"C:\\Program Files\\x.exe\" a", {u"C:\\Program Files\\x.exe", u"a"}},
    {u"C:\\dir\\x.exe\" a", {u"C:\\dir\\x.exe\"", u"a"}},
    {u"prog \"a b\" c", {u"prog", u"a b", u"c"}},
    {u"prog \"\"", {u"prog", u""}},
    {u"prog \"\" \"\"", {u"prog", u"", u""}},
    {u"prog a\\\\b", {u"prog", u"a\\\\b"}},
    {u"prog a\\\"b", {u"prog", u"a\"b"}},
    {u"prog a\\\\\"b c\"", {u"prog", u"a\\b c"}},
    {u"prog a\\\\\\\"b", {u"prog", u"a\\\"b"}},
    {u"prog \"a\\\\\"", {u"prog", u"a\\"}},
    {u"prog \"C:\\dir\\\\\" x", {u"prog", u"C:\\dir\\", u"x"}},
    {u"prog \"unterminated arg", {u"prog", u"unterminated arg"}},
    {u"prog a\"b c\"d", {u"prog", u"ab cd"}},
    {u"prog \"a\"\"b\"", {u"prog", u"a\"b"}},
    {u"prog \"a\"\"b c\" d", {u"prog", u"a\"b", u"c d"}},
    {u"prog \"a\"\"\"b\" c", {u"prog", u"a\"b", u"c"}},
    {u"prog a\"\"\"b c", {u"prog", u"a\"b", u"c"}},
    {u"prog \"\"\"\"\"\" x", {u"prog", u"\"\"", u"x"}},
    {u"\"a b\"c d", {u"a b", u"c", u"d"}},
    {u" prog a", {u"", u"prog", u"a"}},
    {u"prog --x=\"velmora://a?b=\\\"c\\\"\"", {u"prog", u"--x=velmora://a?b=\"c\""}},
    {u"prog a\nb", {u"prog", u"a\nb"}},
};

TEST(SplitWindowsCommandLine, FollowsTheDocumentedRules) {
  for (const auto& c : kSplitCases) {
    EXPECT_EQ(os::SplitWindowsCommandLine(c.line), c.expected) << std::string(c.line.begin(), c.line.end());
  }
}

TEST(CommandLineToArgv, BackendAgreesWithTheTable) {
  for (const auto& c : kSplitCases) {
    EXPECT_EQ(os::CommandLineToArgv(c.line), c.expected) << std::string(c.line.begin(), c.line.end());
  }
}

TEST(CommandLineToArgv, EmptyLineGivesTheModulePath) {
  EXPECT_EQ(os::CommandLineToArgv(u""), Args{os::ModulePath()});
}

TEST(QuoteWindowsArgument, QuotesOnlyWhereNeeded) {
  const struct {
    std::u16string argument;
    std::u16string quoted;
  } cases[] = {
      {u"plain", u"plain"},
      {u"", u"\"\""},
      {u"a b", u"\"a b\""},
      {u"C:\\dir\\", u"C:\\dir\\"},
      {u"C:\\my dir\\", u"\"C:\\my dir\\\\\""},
      {u"say \"hi\"", u"\"say \\\"hi\\\"\""},
      {u"a\\\"b", u"\"a\\\\\\\"b\""},
  };
  for (const auto& c : cases) EXPECT_EQ(os::QuoteWindowsArgument(c.argument), c.quoted);
}

// Joining then splitting gives the arguments back, through the backend's splitter (the real
// CommandLineToArgvW on Windows).
TEST(JoinWindowsCommandLine, RoundTripsThroughTheSplitter) {
  std::mt19937 random(42);
  const char16_t alphabet[] = {u'a', u' ', u'\t', u'"', u'\\', u'=', u'-', u'x'};
  for (int round = 0; round < 3000; ++round) {
    Args arguments{u"prog"};
    const int count = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < count; ++i) {
      std::u16string argument;
      const int length = static_cast<int>(random() % 7);
      for (int k = 0; k < length; ++k) argument.push_back(alphabet[random() % 8]);
      arguments.push_back(argument);
    }
    const auto line = os::JoinWindowsCommandLine(arguments);
    ASSERT_EQ(os::SplitWindowsCommandLine(line), arguments);
    ASSERT_EQ(os::CommandLineToArgv(line), arguments);
  }
}

// Random lines, not just well-formed ones: the portable splitter must match the backend.
TEST(SplitWindowsCommandLine, AgreesWithTheBackendOnRandomLines) {
  std::mt19937 random(7);
  const char16_t alphabet[] = {u'a', u' ', u'\t', u'"', u'\\', u'b'};
  for (int round = 0; round < 5000; ++round) {
    std::u16string line = u"p";
    const int length = static_cast<int>(random() % 12);
    for (int k = 0; k < length; ++k) line.push_back(alphabet[random() % 6]);
    ASSERT_EQ(os::SplitWindowsCommandLine(line), os::CommandLineToArgv(line))
        << std::string(line.begin(), line.end());
  }
}

}  // namespace
