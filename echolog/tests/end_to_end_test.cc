// end_to_end_test.cc: echolog32 running real commands, the cases every
// system shares.
#include "echolog/tests/end_to_end.h"

#include <gtest/gtest.h>

#include "echolog/tests/expected_output.h"

namespace echolog {
namespace {

TEST(EndToEndTest, WithoutAConsoleTheFileGetsEveryByteAndNothingElse) {
  const Outcome run = RunEchoLog32({ChildPath(), "mixed"}, Output::kFile, false);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.text, MixedOutput());
  EXPECT_EQ(run.errors, NoConsoleLine());
}

// The command writes lines for ever; the reader takes its bytes and goes away.
// echolog32 ends at once and, closing the pipe, ends the command as well.
TEST(EndToEndTest, AReaderThatGoesAwayEndsTheRunAndTheCommand) {
  const Outcome run = RunEchoLog32({ChildPath(), "endless"}, Output::kEarlyReader, false);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, kBrokenPipeStatus);
  EXPECT_LT(run.secondsAfterReader, kPromptEndSeconds);
  EXPECT_TRUE(run.commandEnded);
  EXPECT_EQ(run.reports, std::vector<std::string>{});
  std::string lines;
  while (lines.size() < run.bytes.size()) lines += "y\n";
  EXPECT_EQ(run.bytes, lines.substr(0, run.bytes.size()));
  EXPECT_EQ(run.text, run.bytes);
}

TEST(EndToEndTest, MissingProgramIsReportedOnceAndEndsWithStatus127) {
  const Outcome run = RunEchoLog32({"no-such-program"}, Output::kFile, false);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 127u);
  EXPECT_EQ(run.bytes, "");
  EXPECT_EQ(run.reports, std::vector<std::string>{ReportLine(2, "CreateProcess", 222)});
}

TEST(EndToEndTest, TheCommandsStatusIsPassedOnAndItsArgumentsArriveWhole) {
  Outcome run = RunEchoLog32({ChildPath(), "exit7"});
  EXPECT_EQ(run.status, 7u);
  EXPECT_EQ(run.bytes, "bye");
  // The command's standard input is not ours (a pipe that never ends).
  run = RunEchoLog32({ChildPath(), "stdin"});
  EXPECT_EQ(run.bytes, kChildInput);
  run = RunEchoLog32({ChildPath(), "args", "two words", "", "say \"hi\"", "a\\b\\", "tab\t"});
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.bytes, "two words||say \"hi\"|a\\b\\|tab\t|");
}

}  // namespace
}  // namespace echolog
