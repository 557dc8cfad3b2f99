#include "shell/CmdLineHelper.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using TArgs = std::vector<std::string>;

struct TSplitCase {
  const char* name;
  std::string line;
  TArgs expected;
};

void PrintTo(const TSplitCase& iCase, std::ostream* oStream) { *oStream << iCase.name; }

class CmdLineSplitTest : public testing::TestWithParam<TSplitCase> {};

TEST_P(CmdLineSplitTest, SplitsAsExpected) {
  EXPECT_EQ(CmdLineSplit(GetParam().line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tokenizer, CmdLineSplitTest,
    testing::Values(
        TSplitCase{"Empty", "", {}},
        TSplitCase{"OnlyBlanksAndControls", " \t\r\n\x01 ", {}},
        TSplitCase{"PlainWords", "lame -b 128", {"lame", "-b", "128"}},
        TSplitCase{"TabSeparates", "a\tb", {"a", "b"}},
        TSplitCase{"ControlCharacterSeparates", "a\x1f" "b", {"a", "b"}},
        TSplitCase{"QuotedPathWithSpace", "x -rootfolder \"/srv/my logs\"", {"x", "-rootfolder", "/srv/my logs"}},
        TSplitCase{"TwoBackslashesThenQuote", "a\\\\\"b c\"", {"a\\b c"}},
        TSplitCase{"OneBackslashEscapesQuote", "a\\\"b", {"a\"b"}},
        TSplitCase{"ThreeBackslashesThenQuote", "a\\\\\\\"b", {"a\\\"b"}},
        TSplitCase{"FourBackslashesThenQuoteToggles", "\\\\\\\\\"x y\"", {"\\\\x y"}},
        TSplitCase{"AdjacentQuotedParts", "\"a\"\"b\"", {"ab"}},
        TSplitCase{"BackslashesWithoutQuoteUnchanged", "C:\\dir\\ x", {"C:\\dir\\", "x"}},
        TSplitCase{"EscapedClosingQuoteKeepsQuoting", "\"C:\\dir\\\" next", {"C:\\dir\" next"}},
        TSplitCase{"TrailingBackslashRun", "a\\\\", {"a\\\\"}},
        TSplitCase{"EmptyQuotedArgument", "a \"\" b", {"a", "", "b"}},
        TSplitCase{"LoneQuoteRunsToEnd", "a \"b c", {"a", "b c"}},
        TSplitCase{"ControlInsideQuotesKept", "\"a\tb\"", {"a\tb"}},
        TSplitCase{"Utf8BytesAreNotBlanks", "caf\xC3\xA9 \xE2\x82\xAC", {"caf\xC3\xA9", "\xE2\x82\xAC"}}),
    [](const testing::TestParamInfo<TSplitCase>& info) { return std::string(info.param.name); });

TEST(CmdLineNextParam, MeasuresThenFillsAndLeavesCursorOnBlank) {
  const char* line = "  \"a b\"\\\"c  next";
  const char* cursor = line;
  size_t length = 99;
  ASSERT_TRUE(CmdLineNextParam(cursor, nullptr, &length));
  EXPECT_EQ(length, 5u);  // a, blank, b, quote, c
  EXPECT_EQ(*cursor, ' ');
  EXPECT_EQ(cursor, line + 10);

  const char* again = line;
  std::string arg(length, '#');
  ASSERT_TRUE(CmdLineNextParam(again, arg.data(), nullptr));
  EXPECT_EQ(arg, "a b\"c");
  EXPECT_EQ(again, cursor);

  ASSERT_TRUE(CmdLineNextParam(cursor, nullptr, nullptr));  // both outputs optional
  EXPECT_EQ(*cursor, '\0');
  EXPECT_FALSE(CmdLineNextParam(cursor, nullptr, &length));
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(*cursor, '\0');
}

TEST(CmdLineParams, CountAndIndexOverProcessArguments) {
  const char* argv[] = {"vantorel", "-rootfolder", "/tmp/x y", ""};
  CmdLineSetParams(4, argv);
  EXPECT_EQ(CmdLineParamCount(), 3);
  EXPECT_EQ(CmdLineParamStr(1), "-rootfolder");
  EXPECT_EQ(CmdLineParamStr(2), "/tmp/x y");  // already split by the system: kept as it is
  EXPECT_EQ(CmdLineParamStr(3), "");
  EXPECT_EQ(CmdLineParamStr(4), "");
  EXPECT_EQ(CmdLineParamStr(1000), "");

  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe));
  ASSERT_GT(n, 0);
  EXPECT_EQ(CmdLineParamStr(0), std::string(exe, static_cast<size_t>(n)));
  EXPECT_EQ(CmdLineParamStr(-3), CmdLineParamStr(0));

  const char* onlyName[] = {"vantorel"};
  CmdLineSetParams(1, onlyName);
  EXPECT_EQ(CmdLineParamCount(), 0);
  CmdLineSetParams(0, nullptr);
  EXPECT_EQ(CmdLineParamCount(), 0);
  EXPECT_EQ(CmdLineParamStr(1), "");
}

}  // namespace
