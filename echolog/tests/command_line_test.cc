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
      {{"prog", "two words", ""}, "prog.exe two words  "},  // no quoting
  };
  for (const auto& c : cases) EXPECT_EQ(BuildCommandLine(c.args), c.line) << c.line;
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
