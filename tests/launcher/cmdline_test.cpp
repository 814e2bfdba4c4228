#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/launcher/emulator_requests.h"
#include "launcher/src/cmdline/cmdline.h"
#include "launcher/src/cmdline/option_sets.h"
#include "os/text.h"
#include "test_support.h"

namespace {

using Args = std::vector<std::u16string>;

std::string Narrow(std::u16string_view text) {
  return os::Utf16ToUtf8(text);
}

// What a narrow stream's default extraction makes of ASCII text: the rule the readers follow.
template <typename T>
std::optional<T> StreamReads(const std::string& text) {
  std::istringstream stream(text);
  T value{};
  if (!(stream >> value) || !stream.eof()) return std::nullopt;
  return value;
}

TEST(NumberReader, ReadsIntsAndBoolsByTheStreamRules) {
  const struct {
    std::u16string text;
    std::optional<std::int32_t> as_int;
    std::optional<bool> as_bool;
  } cases[] = {
      {u"0", 0, false},
      {u"1", 1, true},
      {u"42", 42, std::nullopt},
      {u"-17", -17, std::nullopt},
      {u"+5", 5, std::nullopt},
      {u"+1", 1, true},
      {u"-0", 0, false},
      {u"-1", -1, std::nullopt},
      {u"007", 7, std::nullopt},
      {u"001", 1, true},
      {u"  \t\n\v\f\r3", 3, std::nullopt},
      {u" 1", 1, true},
      {u"1 ", std::nullopt, std::nullopt},
      {u"12a", std::nullopt, std::nullopt},
      {u"true", std::nullopt, std::nullopt},
      {u"", std::nullopt, std::nullopt},
      {u"   ", std::nullopt, std::nullopt},
      {u"+", std::nullopt, std::nullopt},
      {u"-", std::nullopt, std::nullopt},
      {u"- 1", std::nullopt, std::nullopt},
      {u"+-1", std::nullopt, std::nullopt},
      {u"0x10", std::nullopt, std::nullopt},
      {u"1.0", std::nullopt, std::nullopt},
      {u"1,000", std::nullopt, std::nullopt},
      {u"2147483647", INT_MAX, std::nullopt},
      {u"-2147483648", INT_MIN, std::nullopt},
      {u"2147483648", std::nullopt, std::nullopt},
      {u"-2147483649", std::nullopt, std::nullopt},
      {u"18446744073709551617", std::nullopt, std::nullopt},
      {u"00000000000000000000000000001", 1, true},
      {u"\u00a01", std::nullopt, std::nullopt},  // only ASCII blanks are skipped
      {u"\uff11", std::nullopt, std::nullopt},   // only ASCII digits count
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cmdline::read_int32(c.text), c.as_int) << Narrow(c.text);
    EXPECT_EQ(cmdline::read_bool(c.text), c.as_bool) << Narrow(c.text);
  }
}

// The readers against the standard library's own extraction, on random ASCII text.
TEST(NumberReader, AgreesWithStreamExtraction) {
  std::mt19937 random(11);
  const char alphabet[] = {' ', '\t', '\n', '+', '-', '0', '1', '2', '9', '9', 'a', 'x'};
  std::vector<std::string> texts = {
      "2147483647",          "2147483648",           "-2147483648",
      "-2147483649",         "4294967297",           "9223372036854775807",
      "9223372036854775808", "18446744073709551615", "18446744073709551616"};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int length = static_cast<int>(random() % 8);
    for (int k = 0; k < length; ++k) text.push_back(alphabet[random() % sizeof alphabet]);
    texts.push_back(text);
  }
  for (const auto& text : texts) {
    const std::u16string wide(text.begin(), text.end());
    ASSERT_EQ(cmdline::read_int32(wide), StreamReads<int>(text)) << '"' << text << '"';
    ASSERT_EQ(cmdline::read_bool(wide), StreamReads<bool>(text)) << '"' << text << '"';
  }
}

TEST(NumberReader, WritesDecimalText) {
  EXPECT_EQ(cmdline::to_text(0), u"0");
  EXPECT_EQ(cmdline::to_text(-12), u"-12");
  EXPECT_EQ(cmdline::to_text(INT_MIN), u"-2147483648");
  EXPECT_EQ(cmdline::to_text(INT_MAX), u"2147483647");
}

// A parser with one option of each kind, none required, so a case shows only its own problems:
// alpha (-a) and beta (text), quit (-q, bool), from (int), silent (-s, without value).
cmdline::parser RuleParser() {
  cmdline::parser p;
  p.declare_option<std::u16string>(u"alpha", u'a', false, u"", u"");
  p.declare_option<std::u16string>(u"beta", 0, false, u"", u"");
  p.declare_option<bool>(u"quit", u'q', false, u"", false);
  p.declare_option<std::int32_t>(u"from", 0, false, u"", 0);
  p.declare_flag(u"silent", u"", u's');
  return p;
}

// The options a parse gave, in name order: "name=value", or the bare name for a flag.
std::u16string GivenOptions(const cmdline::parser& p) {
  std::u16string out;
  const auto add = [&](std::u16string item) {
    if (!out.empty()) out += u" ";
    out += item;
  };
  if (p.is_given(u"alpha")) add(u"alpha=" + *p.value_of<std::u16string>(u"alpha"));
  if (p.is_given(u"beta")) add(u"beta=" + *p.value_of<std::u16string>(u"beta"));
  if (p.is_given(u"from")) add(u"from=" + cmdline::to_text(*p.value_of<std::int32_t>(u"from")));
  if (p.is_given(u"quit")) add(u"quit=" + cmdline::to_text(*p.value_of<bool>(u"quit")));
  if (p.is_given(u"silent")) add(u"silent");
  return out;
}

TEST(Parser, FollowsItsRules) {
  const struct {
    Args args;  // after the program
    std::u16string given;
    Args leftovers;
    Args problems;
  } cases[] = {
      {{u"--alpha", u"x"}, u"alpha=x", {}, {}},
      {{u"--alpha=x"}, u"alpha=x", {}, {}},
      {{u"--alpha="}, u"alpha=", {}, {}},
      {{u"--alpha=x=y"}, u"alpha=x=y", {}, {}},
      {{u"--alpha", u""}, u"alpha=", {}, {}},
      {{u"--alpha", u"--beta"}, u"alpha=--beta", {}, {}},
      {{u"--alpha", u"x", u"--alpha=y"}, u"alpha=y", {}, {}},
      {{u"--beta", u"b", u"--alpha"}, u"beta=b", {}, {u"option needs value: --alpha"}},
      {{u"--nope", u"plain"}, u"", {u"plain"}, {u"undefined option: --nope"}},
      {{u"--nope=1"}, u"", {}, {u"undefined option: --nope"}},
      {{u"--Alpha", u"x"}, u"", {u"x"}, {u"undefined option: --Alpha"}},
      {{u"--"}, u"", {}, {u"undefined option: --"}},
      {{u"--=v"}, u"", {}, {u"undefined option: --"}},
      {{u"-", u"plain", u"other"}, u"", {u"plain", u"other"}, {}},
      {{u"--quit", u"1"}, u"quit=1", {}, {}},
      {{u"--quit=0"}, u"quit=0", {}, {}},
      {{u"--quit", u" 1"}, u"quit=1", {}, {}},
      {{u"--quit", u"true"}, u"", {}, {u"option value is invalid: --quit=true"}},
      {{u"--quit", u"1 "}, u"", {}, {u"option value is invalid: --quit=1 "}},
      {{u"--quit", u"2"}, u"", {}, {u"option value is invalid: --quit=2"}},
      {{u"--from", u"-12"}, u"from=-12", {}, {}},
      {{u"--from=12a"}, u"", {}, {u"option value is invalid: --from=12a"}},
      {{u"--from", u"2147483648"}, u"", {}, {u"option value is invalid: --from=2147483648"}},
      {{u"--from", u"x", u"--from", u"7"}, u"from=7", {}, {u"option value is invalid: --from=x"}},
      {{u"--silent"}, u"silent", {}, {}},
      {{u"--silent", u"x"}, u"silent", {u"x"}, {}},
      {{u"--silent="}, u"", {}, {u"option value is invalid: --silent="}},
      {{u"--silent=1"}, u"", {}, {u"option value is invalid: --silent=1"}},
      {{u"-a", u"x"}, u"alpha=x", {}, {}},
      {{u"-a"}, u"", {}, {u"option needs value: --alpha"}},
      {{u"-sa", u"v"}, u"alpha=v silent", {}, {}},
      {{u"-qs"}, u"silent", {}, {u"option needs value: --quit"}},
      {{u"-s", u"x"}, u"silent", {u"x"}, {}},
      {{u"-q", u"7"}, u"", {}, {u"option value is invalid: --quit=7"}},
      {{u"-zs"}, u"silent", {}, {u"undefined short option: -z"}},
      {{u"-sz", u"x"}, u"silent", {u"x"}, {u"undefined short option: -z"}},
      {{u"plain", u"-a", u"--silent"}, u"alpha=--silent", {u"plain"}, {}},
  };
  for (const auto& c : cases) {
    cmdline::parser p = RuleParser();
    Args argv{u"prog"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string title;
    for (const auto& a : c.args) title += "[" + Narrow(a) + "]";
    SCOPED_TRACE(title);
    EXPECT_EQ(p.parse_arguments(argv), c.problems.empty());
    EXPECT_EQ(Narrow(GivenOptions(p)), Narrow(c.given));
    EXPECT_EQ(p.leftovers(), c.leftovers);
    EXPECT_EQ(p.problems(), c.problems);
  }
}

TEST(Parser, RequiredOptionsMissingAreReportedInNameOrder) {
  cmdline::parser p;
  DeclareDispatchOptions(p);
  EXPECT_FALSE(p.parse_arguments(Args{u"prog", u"--launch-pkg-name", u"com.a"}));
  EXPECT_EQ(p.problems(),
            (Args{u"need option: --app-launch-info", u"need option: --context-menu-search",
                  u"need option: --context-menu-uninstall", u"need option: --install-app-info",
                  u"need option: --local-install", u"need option: --pseudo-protocol"}));
  EXPECT_EQ(p.value_of<std::u16string>(u"launch-pkg-name"), u"com.a");
  EXPECT_EQ(p.value_of<std::u16string>(u"local-install"), u"");

  cmdline::parser all;
  DeclareDispatchOptions(all);
  EXPECT_TRUE(all.parse_arguments(Args{u"prog", u"--local-install=a", u"--pseudo-protocol", u"b",
                                       u"--context-menu-search=c", u"--context-menu-uninstall=d",
                                       u"--launch-pkg-name=e", u"--install-app-info=f",
                                       u"--app-launch-info=g"}));
  EXPECT_TRUE(all.problems().empty());
}

TEST(Parser, NeedsAtLeastTheProgram) {
  cmdline::parser p = RuleParser();
  EXPECT_FALSE(p.parse_arguments(0, nullptr));
  EXPECT_EQ(p.problems(), Args{u"argument number must be longer than 0"});
}

TEST(Parser, SharedShortLetterStopsTheParseBeforeAnyArgument) {
  cmdline::parser p;
  p.declare_option<std::u16string>(u"one", u'x', false, u"", u"");
  p.declare_flag(u"two", u"", u'x');
  EXPECT_FALSE(p.parse_arguments(Args{u"prog", u"--one=1", u"plain"}));
  EXPECT_EQ(p.problems(), Args{u"short option 'x' is ambiguous"});
  EXPECT_FALSE(p.is_given(u"one"));
  EXPECT_TRUE(p.leftovers().empty());
}

TEST(Parser, AnswersForUndeclaredNamesAndOtherTypesAreEmpty) {
  cmdline::parser p = RuleParser();
  p.parse_arguments(Args{u"prog", u"--from=3", u"--nope"});
  const Args problems = p.problems();
  EXPECT_FALSE(p.is_given(u"never-declared"));
  EXPECT_EQ(p.value_of<std::u16string>(u"never-declared"), std::nullopt);
  EXPECT_EQ(p.value_of<std::u16string>(u"from"), std::nullopt);
  EXPECT_EQ(p.value_of<bool>(u"silent"), std::nullopt);
  EXPECT_EQ(p.value_of<std::int32_t>(u"from"), 3);
  EXPECT_EQ(p.value_of<bool>(u"quit"), false);  // the default when not given
  EXPECT_EQ(p.problems(), problems);            // asking records nothing
}

TEST(Parser, RedeclaringANameChangesNothing) {
  cmdline::parser p;
  EXPECT_TRUE(p.declare_option<std::int32_t>(u"from", u"", 5));
  EXPECT_FALSE(p.declare_option<std::u16string>(u"from", u"", u"x"));
  EXPECT_FALSE(p.declare_flag(u"from", u""));
  EXPECT_EQ(p.declaration_order().size(), 1u);
  EXPECT_EQ(p.value_of<std::int32_t>(u"from"), 5);
  EXPECT_EQ(p.value_of<std::u16string>(u"from"), std::nullopt);
}

TEST(Parser, LaterParsesKeepWhatEarlierOnesGave) {
  cmdline::parser p = RuleParser();
  p.parse_arguments(Args{u"first", u"--alpha=x", u"stray", u"--nope"});
  p.declare_option<std::u16string>(u"late", u"", u"");
  EXPECT_TRUE(p.parse_arguments(Args{u"second", u"--late", u"y"}));
  EXPECT_EQ(p.program_name(), u"first");
  EXPECT_TRUE(p.leftovers().empty());
  EXPECT_EQ(p.value_of<std::u16string>(u"alpha"), u"x");
  EXPECT_EQ(p.value_of<std::u16string>(u"late"), u"y");
}

TEST(Parser, OptionsDescribeThemselves) {
  cmdline::parser p;
  p.declare_option<std::int32_t>(u"count", 0, false, u"how many", 7);
  p.declare_option<bool>(u"quit", 0, false, u"", true);
  p.declare_option<std::u16string>(u"name", u"the name", u"dflt");
  p.declare_flag(u"silent", u"quietly");
  const auto& order = p.declaration_order();
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0]->long_name(), u"count");
  EXPECT_EQ(order[0]->help_text(), u"how many (int [=7])");
  EXPECT_EQ(order[0]->brief_text(), u"--count=int");
  EXPECT_EQ(order[1]->help_text(), u" (bool [=1])");
  EXPECT_EQ(order[2]->help_text(), u"the name (string)");  // required: no default shown
  EXPECT_EQ(order[2]->brief_text(), u"--name=string");
  EXPECT_TRUE(order[2]->is_required());
  EXPECT_FALSE(order[2]->is_satisfied());
  EXPECT_EQ(order[3]->help_text(), u"quietly");
  EXPECT_EQ(order[3]->brief_text(), u"--silent");
  EXPECT_TRUE(order[3]->is_satisfied());
  EXPECT_FALSE(order[3]->takes_value());
  EXPECT_FALSE(order[3]->assign(u"x"));
}

TEST(OptionSets, EmulatorRequestSetReadsItsTypes) {
  cmdline::parser p;
  DeclareEmulatorRequestOptions(p);
  EXPECT_EQ(p.declaration_order().size(), 14u);
  EXPECT_TRUE(p.parse_arguments(
      Args{u"prog", u"--launch-pkg-name=a", u"--app-launch-info={}", u"--from", u"5",
           u"--launch-deep-link=d", u"--launch-extra-data={}", u"--from-source=s",
           u"--install-app-info={}", u"--quit", u"1", u"--oem=o", u"--oem-start-vm={}",
           u"--oem-stop-vm={}", u"--install-pkg-name=p", u"--install-file-path=f",
           u"--launch-tv-series=t"}));
  EXPECT_EQ(p.value_of<std::int32_t>(u"from"), 5);
  EXPECT_EQ(p.value_of<bool>(u"quit"), true);
  EXPECT_EQ(p.value_of<std::u16string>(u"install-file-path"), u"f");
}

// "silent" takes no value in the client forward set but needs one in the dispatch's second parse.
TEST(OptionSets, SilentIsAFlagOnlyForTheClient) {
  const Args argv{u"prog", u"--silent", u"--from", u"9"};
  cmdline::parser& client = ParseClientForwardOptions(argv);
  EXPECT_TRUE(client.is_given(u"silent"));
  EXPECT_EQ(client.value_of<std::u16string>(u"from"), u"9");
  // The process-wide parser is declared again on every use; the repeats change nothing.
  EXPECT_EQ(&ParseClientForwardOptions(argv), &client);
  EXPECT_EQ(client.declaration_order().size(), 3u);

  cmdline::parser dispatch;
  DeclareDispatchOptions(dispatch);
  DeclareDispatchRestartOptions(dispatch);
  dispatch.parse_arguments(argv);
  EXPECT_TRUE(dispatch.is_given(u"silent"));
  EXPECT_EQ(dispatch.value_of<std::u16string>(u"silent"), u"--from");
  EXPECT_FALSE(dispatch.is_given(u"from"));
  EXPECT_EQ(dispatch.leftovers(), Args{u"9"});
}

// The stop-VM check reads the process's own command line, so it runs in a child given the
// arguments under test.
VELMORA_TEST_CHILD(stop_vm_check) {
  return IsStopVmRequested() ? 1 : 0;
}

TEST(OptionSets, StopVmIsRequestedOnlyWithANonEmptyValue) {
  const struct {
    std::vector<std::string> arguments;
    std::uint32_t expected;
  } cases[] = {
      {{"--oem-stop-vm", "{\"oem_name\":\"x\"}"}, 1},
      {{"--oem-stop-vm="}, 0},
      {{"--oem-stop-vm", ""}, 0},
      {{"--oem-stop-vm"}, 0},
      {{"--oem-start-vm=x"}, 0},
  };
  for (const auto& c : cases) {
    auto child = test_support::SpawnChild("stop_vm_check", c.arguments);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(child->Wait(os::ChildProcess::kInfinite), c.expected) << c.arguments[0];
  }
}

}  // namespace
