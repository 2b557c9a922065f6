// command_line_test.cc: building the command line and splitting it into words.
#include "echolog/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace echolog {
namespace {

TEST(BuildCommandLineTest, AppendsExeOnlyWithoutADotAndFollowsEveryWordWithABlank) {
  const struct {
    std::vector<const char*> args;
    std::string line;
  } cases[] = {
      {{"prog"}, "prog.exe "},
      {{"prog.com"}, "prog.com "},
      {{"..\\tools\\prog"}, "..\\tools\\prog "},
      {{"dir.d/prog"}, "dir.d/prog "},
      {{"prog", "a", "b"}, "prog.exe a b "},
      {{"prog", "a\\b", "c\\"}, "prog.exe a\\b c\\ "},  // nothing to quote: as ever
      {{"prog", "two words", ""}, "prog.exe \"two words\" \"\" "},
      {{"my prog", "x"}, "\"my prog.exe\" x "},
  };
  for (const auto& c : cases) EXPECT_EQ(BuildCommandLine(c.args), c.line) << c.line;
}

TEST(BuildCommandLineTest, QuotesWordsSoThatTheSplitGivesThemBackWhole) {
  const struct {
    const char* word;
    const char* quoted;
  } cases[] = {
      {"plain", "plain"},
      {"a\\b\\", "a\\b\\"},
      {"", "\"\""},
      {"two words", "\"two words\""},
      {"tab\there", "\"tab\there\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"a\\\"b", "\"a\\\\\\\"b\""},  // a\"b: 2n+1 backslashes before the quote
      {"dir\\ x\\", "\"dir\\ x\\\\\""},  // doubled before the closing quote
      {"C:\\a b\\c", "\"C:\\a b\\c\""},  // other backslashes stay single
      {"\"", "\"\\\"\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QuoteWord(c.word), c.quoted) << c.word;
    const std::vector<const char*> args{"p.exe", c.word, "last"};
    EXPECT_EQ(SplitCommandLine(BuildCommandLine(args)),
              (std::vector<std::string>{"p.exe", c.word, "last"}))
        << c.word;
  }
}

TEST(SplitCommandLineTest, FollowsTheWindowsRules) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"", {}},
      {"  \t ", {}},
      {"prog.exe a b ", {"prog.exe", "a", "b"}},
      {"\"C:\\Program Files\\p.exe\" x", {"C:\\Program Files\\p.exe", "x"}},
      {"C:\\dir\\p\\\"q x", {"C:\\dir\\p\\q x"}},  // no escapes in the program word
      {"p \"a b\" c\"d e\"f", {"p", "a b", "cd ef"}},
      {"p a\\\\b a\\\\\\\"b a\\\\\"b c\"", {"p", "a\\\\b", "a\\\"b", "a\\b c"}},
      {"p \"\" \"a\"\"b\"", {"p", "", "a\"b"}},
      {"p \"unterminated arg", {"p", "unterminated arg"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
}

}  // namespace
}  // namespace echolog
