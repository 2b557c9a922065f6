// end_to_end_test.cc: echolog32 running real commands, the cases every
// system shares.
#include "echolog/tests/end_to_end.h"

#include <gtest/gtest.h>

#include "echolog/tests/expected_output.h"

namespace echolog {
namespace {

TEST(EndToEndTest, WithoutAConsoleTheFileGetsEveryByteAndEachChunkAReport) {
  const Outcome run = RunEchoLog32({ChildPath(), "mixed"}, Output::kFile, false);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.bytes, MixedOutput());
  ASSERT_FALSE(run.reports.empty());
  EXPECT_EQ(run.reports.front(), ReportLine(kNoConsoleError, "CreateConsole", 92));
  const std::vector<std::string> writes(run.reports.begin() + 1, run.reports.end());
  EXPECT_GE(writes.size(), (MixedOutput().size() + 63) / 64);
  EXPECT_EQ(writes, std::vector<std::string>(writes.size(), ReportLine(6, "WriteFile", 273)));
}

TEST(EndToEndTest, MissingProgramIsReportedOnceAndEndsWithStatusZero) {
  const Outcome run = RunEchoLog32({"no-such-program"}, Output::kFile, false);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.bytes, "");
  EXPECT_EQ(run.reports, (std::vector<std::string>{ReportLine(kNoConsoleError, "CreateConsole", 92),
                                                   ReportLine(2, "CreateProcess", 222)}));
}

TEST(EndToEndTest, CommandStatusAndInputAreNotPassedOnAndWordsSplitAtBlanks) {
  Outcome run = RunEchoLog32({ChildPath(), "exit7"});
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.bytes, "bye");
  // The command's standard input is not ours (a pipe that never ends).
  run = RunEchoLog32({ChildPath(), "stdin"});
  EXPECT_EQ(run.bytes, kChildInput);
  run = RunEchoLog32({ChildPath(), "args", "two words"});
  EXPECT_EQ(run.bytes, "two|words|");
}

}  // namespace
}  // namespace echolog
