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

}  // namespace
}  // namespace kvs_tool
