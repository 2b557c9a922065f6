// command_line_test.cc: building the command line and splitting it into words.
#include "echolog/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace echolog {
namespace {

std::string Build(std::vector<const char*> args) { return BuildCommandLine(args); }

TEST(BuildCommandLineTest, AppendsExeOnlyWhenThereIsNoDotAnywhere) {
  EXPECT_EQ(Build({"prog"}), "prog.exe ");
  EXPECT_EQ(Build({"prog.com"}), "prog.com ");
  EXPECT_EQ(Build({"..\\tools\\prog"}), "..\\tools\\prog ");
  EXPECT_EQ(Build({"dir.d/prog"}), "dir.d/prog ");
}

TEST(BuildCommandLineTest, FollowsEveryWordWithOneBlankAndNoQuoting) {
  EXPECT_EQ(Build({"prog", "a", "b"}), "prog.exe a b ");
  EXPECT_EQ(Build({"prog", "two words", ""}), "prog.exe two words  ");
  EXPECT_EQ(SplitCommandLine(Build({"prog", "two words"})),
            (std::vector<std::string>{"prog.exe", "two", "words"}));
}

TEST(BuildCommandLineTest, BuildsLongLinesInFull) {
  std::vector<const char*> args{"prog"};
  const std::string word(100, 'w');
  for (int i = 0; i < 50; ++i) args.push_back(word.c_str());
  EXPECT_EQ(Build(args).size(), std::string("prog.exe ").size() + 50 * 101);
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
