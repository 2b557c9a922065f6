// echolog_test.cc: the echolog32 program logic over the scripted fake.
#include "echolog/echolog.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "echolog/tests/fake_os.h"

namespace echolog {
namespace {

using Fake = FakeWindowsApi;

std::string StreamContents(std::FILE* stream) {
  std::fflush(stream);
  std::rewind(stream);
  std::string text;
  char buffer[256];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stream)) > 0;) text.append(buffer, n);
  return text;
}

std::string ReportLine(int code, const char* label, int line) {
  return "echolog32: Error " + std::to_string(code) + " from " + label + "     on line " +
         std::to_string(line) + "\n";
}

std::size_t Count(const std::vector<std::string>& calls, const std::string& name) {
  return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), name));
}

class EchoLogTest : public ::testing::Test {
 protected:
  // Runs echolog32 with args after the program name; returns the exit status.
  int Run(std::vector<std::string> args = {"prog", "a", "b"}) {
    args.insert(args.begin(), "echolog32");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    const int status = RunEchoLog(os, static_cast<int>(argv.size()), argv.data(), stream.get());
    out = StreamContents(stream.get());
    return status;
  }

  // Starts over with a fresh fake and stream, for a second run in one test.
  void Reset() {
    os = Fake{};
    stream.reset(std::tmpfile());
  }

  Fake os;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream{std::tmpfile(), &std::fclose};
  std::string out;
};

struct ErrorRow {
  const char* call;
  int nth;
  const char* label;
  int line;
  bool launches;  // the command is still started
};

class ErrorTableTest : public EchoLogTest, public ::testing::WithParamInterface<ErrorRow> {};

TEST_P(ErrorTableTest, ReportsOnceWithLabelLineAndCodeThenGoesOn) {
  const ErrorRow& row = GetParam();
  if (std::string(row.call) == "WriteFile") os.QueueRead("chunk");
  if (std::string(row.call) == "ReadFile") {
    os.QueueReadError(1234);
  } else {
    os.FailCall(row.call, row.nth, 1234);
  }
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(out, ReportLine(1234, row.label, row.line));
  EXPECT_EQ(Count(os.calls, "CreateProcessA"), row.launches ? 1u : 0u);
  EXPECT_EQ(Count(os.calls, "ReadFile") > 0, row.launches);
  EXPECT_TRUE(os.openHandles.empty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryPlaceOfFailure, ErrorTableTest,
    ::testing::Values(ErrorRow{"CreateFileA", 1, "CreateConsole", 92, true},
                      ErrorRow{"CreatePipe", 1, "CreatePipe", 107, false},
                      ErrorRow{"DuplicateHandle", 1, "DuplicateHandle", 123, false},
                      ErrorRow{"DuplicateHandle", 2, "DuplicateHandle", 148, false},
                      ErrorRow{"CreateProcessA", 1, "CreateProcess", 222, true},
                      // Closes: the original read end, thread, process, then the write ends.
                      ErrorRow{"CloseHandle", 4, "CloseHandle", 239, true},
                      ErrorRow{"CloseHandle", 5, "CloseHandle", 241, true},
                      ErrorRow{"ReadFile", 1, "ReadFile", 254, true},
                      ErrorRow{"WriteFile", 1, "WriteFile", 266, true},
                      ErrorRow{"WriteFile", 2, "WriteFile", 273, true}),
    [](const ::testing::TestParamInfo<ErrorRow>& row) {
      return std::string(row.param.label) + "Line" + std::to_string(row.param.line);
    });

TEST_F(EchoLogTest, InvalidStdOutputIsReportedWithTheCodeItsTypeQueryLeft) {
  os.FailCall("GetStdHandle", 1, 2);
  os.QueueRead("xy");
  ASSERT_EQ(Run(), 0);
  // Capture mode: the type of an invalid handle is unknown, so every chunk
  // also fails its write to standard output.
  EXPECT_EQ(out, ReportLine(6, "CreateFile", 84) + ReportLine(6, "WriteFile", 266));
  EXPECT_EQ(os.output[Fake::kConsole], "xy");
}

TEST_F(EchoLogTest, OnlyACharacterDeviceGivesConsoleMode) {
  for (Dword type : {kFileTypeUnknown, kFileTypeDisk, kFileTypeChar, kFileTypePipe}) {
    Reset();
    os.stdOutputType = type;
    os.QueueRead("a\nb");
    ASSERT_EQ(Run(), 0);
    const bool console = type == kFileTypeChar;
    EXPECT_EQ(out, console ? "a\nb" : "") << type;
    EXPECT_EQ(os.output[Fake::kStdOutput], console ? "" : "a\nb") << type;
    EXPECT_EQ(os.output[Fake::kConsole], console ? "" : "a\nb") << type;
  }
}

TEST_F(EchoLogTest, CopiesInChunksOfAtMost64BytesInOrder) {
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes += static_cast<char>(i);  // NUL bytes included
  os.QueueRead(bytes);
  os.QueueEmptyRead();
  os.QueueRead("!");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(os.output[Fake::kStdOutput], bytes + "!");
  EXPECT_EQ(os.output[Fake::kConsole], bytes + "!");
  EXPECT_GE(Count(os.calls, "WriteFile"), 2u * 3u);
  for (Dword size : os.readSizes) EXPECT_EQ(size, 64u);
  for (Dword size : os.writeSizes) EXPECT_TRUE(size > 0 && size <= 64) << size;
}

TEST_F(EchoLogTest, ConsoleModePrintsEachChunkUpToItsFirstNul) {
  os.stdOutputType = kFileTypeChar;
  os.QueueRead(std::string("ab\0cd", 5));
  os.QueueRead("ef");
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(out, "abef");
  EXPECT_EQ(Count(os.calls, "WriteFile"), 0u);
}

TEST_F(EchoLogTest, AFailedWriteDoesNotChangeTheOtherWrite) {
  os.QueueRead("one");
  os.FailCall("WriteFile", 1, 5);
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(os.output[Fake::kConsole], "one");

  Reset();
  os.QueueRead("two");
  os.FailCall("WriteFile", 2, 5);
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(os.output[Fake::kStdOutput], "two");
}

TEST_F(EchoLogTest, WithoutAConsoleEveryCapturedChunkBringsAWriteReport) {
  os.FailCall("CreateFileA", 1, 2);
  os.QueueRead(std::string(150, 'x'));
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(out, ReportLine(2, "CreateConsole", 92) + ReportLine(6, "WriteFile", 273) +
                     ReportLine(6, "WriteFile", 273) + ReportLine(6, "WriteFile", 273));
  EXPECT_EQ(os.output[Fake::kStdOutput], std::string(150, 'x'));
}

TEST_F(EchoLogTest, NoArgumentPrintsTheBannerAndStartsNothing) {
  EXPECT_EQ(Run({}), 1);
  EXPECT_EQ(out.rfind("ECHOLOG V1.2 for Windows NT\n", 0), 0u);
  EXPECT_NE(out.find("\nECHOLOG -- Redirect STDOUT to <file> and echo to screen.\n"
                     "SYNTAX: echolog32 <command> [ > <file>]\n"),
            std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);
  EXPECT_EQ(os.calls, std::vector<std::string>{"GetVersion"});
}

TEST_F(EchoLogTest, OutsideTheNtFamilyOnlyTheMessageBoxAppears) {
  os.version = 0x80000004;
  EXPECT_EQ(Run(), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(os.calls, (std::vector<std::string>{"GetVersion", "MessageBoxA"}));
  EXPECT_EQ(os.messageBoxes, std::vector<std::string>{
                                 "Error: Windows NT Required.|This application requires Windows "
                                 "NT.\nThis application will now terminate.|0"});
}

TEST_F(EchoLogTest, TheCommandGetsThePipeButNeverItsReadEnd) {
  ASSERT_EQ(Run({"prog", "two words"}), 0);
  EXPECT_EQ(os.commandLine, "prog.exe two words ");
  EXPECT_EQ(os.startup.dwFlags, kStartfUseShowWindow | kStartfUseStdHandles);
  EXPECT_EQ(os.startup.wShowWindow, 7);
  EXPECT_EQ(os.startup.hStdInput, kNullHandle);
  EXPECT_EQ(os.startup.hStdOutput, Fake::kPipeWrite);
  EXPECT_EQ(os.startup.hStdError, Fake::kFirstDuplicate + 1);
  // The inheritable read end is swapped for a private duplicate before launch.
  EXPECT_EQ(os.duplicateInherit, (std::vector<bool>{false, true}));
  const auto launch = std::find(os.calls.begin(), os.calls.end(), "CreateProcessA");
  EXPECT_EQ(std::count(os.calls.begin(), launch, "CloseHandle"), 1);
}

TEST_F(EchoLogTest, LongCommandLinesAreBuiltInFullUpToTheSystemLimit) {
  // "prog.exe ", the argument and its blank fill the limit but for the NUL.
  std::string longest(kMaxCommandLine - 1 - 10, 'a');
  ASSERT_EQ(Run({"prog", longest}), 0);
  EXPECT_EQ(os.commandLine, "prog.exe " + longest + " ");

  Reset();
  ASSERT_EQ(Run({"prog", longest + "a"}), 0);
  EXPECT_EQ(out, ReportLine(206, "CreateProcess", 222));
  EXPECT_EQ(Count(os.calls, "CreateProcessA"), 0u);
  EXPECT_TRUE(os.openHandles.empty());
}

TEST_F(EchoLogTest, EndlessReadErrorsAreGivenUpAfterABoundedNumber) {
  os.FailEveryRead(33);
  ASSERT_EQ(Run(), 0);
  const std::string line = ReportLine(33, "ReadFile", 254);
  std::string expected;
  for (int i = 0; i < 16; ++i) expected += line;
  EXPECT_EQ(out, expected);
  EXPECT_TRUE(os.openHandles.empty());
}

TEST_F(EchoLogTest, ReportsAreFlushedBeforeStandardOutputIsClosed) {
  os.FailCall("CreateFileA", 1, 2);
  long flushedAtClose = -1;
  // The descriptor's offset counts only what has left the stream's buffer.
  os.onCloseStdOutput = [&] { flushedAtClose = lseek(fileno(stream.get()), 0, SEEK_CUR); };
  ASSERT_EQ(Run(), 0);
  EXPECT_EQ(flushedAtClose, static_cast<long>(ReportLine(2, "CreateConsole", 92).size()));
}

}  // namespace
}  // namespace echolog
