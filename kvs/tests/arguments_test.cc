// arguments_test.cc: how kvs splits its command line.
#include "kvs/arguments.h"

#include <gtest/gtest.h>

namespace kvs_tool {
namespace {

TEST(ArgumentsTest, SplitsCommandOperandsAndOptions) {
  const struct {
    std::vector<const char*> argv;
    bool ok;
    const char* command;
    std::vector<std::string> operands, options;
    bool help, version;
  } cases[] = {
      {{"kvs"}, false, "", {}, {}, false, false},
      {{"kvs", "--help"}, true, "", {}, {"--help"}, true, false},
      {{"kvs", "--version"}, true, "", {}, {"--version"}, false, true},
      {{"kvs", "get", "s.kvs", "k"}, true, "get", {"s.kvs", "k"}, {}, false, false},
      {{"kvs", "dump", "--free", "s.kvs"}, true, "dump", {"s.kvs"}, {"--free"}, false, false},
      {{"kvs", "get", "--help"}, true, "get", {}, {"--help"}, true, false},
      {{"kvs", "get", "--version"}, true, "get", {}, {"--version"}, false, false},
      {{"kvs", "get", "s.kvs", "--", "--k", "-"}, true, "get", {"s.kvs", "--k", "-"}, {}, false,
       false},
      {{"kvs", "list", "s.kvs", "-x"}, true, "list", {"s.kvs", "-x"}, {}, false, false},
      {{"kvs", "list", "-h"}, true, "list", {}, {"--help"}, true, false},
      {{"kvs", "-h"}, true, "", {}, {"--help"}, true, false},
      {{"kvs", "list", "s.kvs", "-0", "--", "-0"}, true, "list", {"s.kvs", "-0"}, {"-0"}, false,
       false},
      {{"kvs", "get", "--wait", "5", "s.kvs", "k"}, true, "get", {"s.kvs", "k"}, {"--wait"}, false,
       false},
      {{"kvs", "import", "s.kvs", "--format=tsv", "--format", "cdb"}, true, "import", {"s.kvs"},
       {"--format", "--format"}, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv.size() > 1 ? c.argv[1] : "(none)");
    Arguments parsed;
    std::string error;
    ASSERT_EQ(c.ok, ParseArguments(static_cast<int>(c.argv.size()), c.argv.data(), &parsed, &error));
    if (!c.ok) {
      EXPECT_EQ("no command given", error);
      continue;
    }
    EXPECT_EQ(c.command, parsed.command);
    EXPECT_EQ(c.operands, parsed.operands);
    EXPECT_EQ(c.options, parsed.options);
    EXPECT_EQ(c.help, parsed.help);
    EXPECT_EQ(c.version, parsed.version);
  }
}

TEST(ArgumentsTest, OptionValues) {
  const char* const argv[] = {"kvs", "import", "s.kvs", "--format=tsv", "--wait", "3",
                              "--format", "cdb"};
  Arguments parsed;
  std::string error;
  ASSERT_TRUE(ParseArguments(8, argv, &parsed, &error));
  EXPECT_EQ("cdb", *parsed.Value("--format"));  // the last one given
  EXPECT_EQ("3", *parsed.Value("--wait"));
  EXPECT_EQ(nullptr, parsed.Value("--text"));
  const char* const missing[] = {"kvs", "get", "s.kvs", "k", "--wait"};
  EXPECT_FALSE(ParseArguments(5, missing, &parsed, &error));
  EXPECT_EQ("option --wait needs a value", error);
}

}  // namespace
}  // namespace kvs_tool
