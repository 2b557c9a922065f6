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
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "echolog/tests/expected_output.h"
#include "echolog/tests/fake_os.h"

namespace echolog {
namespace {

using Fake = FakeWindowsApi;

std::string Repeat(const std::string& text, int times) {
  std::string all;
  while (times-- > 0) all += text;
  return all;
}

std::size_t Count(const std::vector<std::string>& calls, const std::string& name) {
  return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), name));
}

class EchoLogTest : public ::testing::Test {
 protected:
  // Runs echolog32 with args after the program name, on a fresh fake and
  // stream prepared by setup; returns the exit status.
  int Run(std::vector<std::string> args = {"prog", "a", "b"},
          const std::function<void(Fake&)>& setup = {}) {
    os = Fake{};
    stream.reset(std::tmpfile());
    errorStream.reset(std::tmpfile());
    if (setup) setup(os);
    args.insert(args.begin(), "echolog32");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    const int status = RunEchoLog(os, static_cast<int>(argv.size()), argv.data(), stream.get(),
                                  errorStream.get());
    errors.assign(256, '\0');
    std::rewind(errorStream.get());
    errors.resize(std::fread(errors.data(), 1, errors.size(), errorStream.get()));
    std::fflush(stream.get());
    std::fseek(stream.get(), 0, SEEK_END);  // the file may also have been written past the stream
    out.assign(static_cast<std::size_t>(std::ftell(stream.get())), '\0');
    std::rewind(stream.get());
    out.resize(std::fread(out.data(), 1, out.size(), stream.get()));
    return status;
  }

  Fake os;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream{nullptr, &std::fclose};
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> errorStream{nullptr, &std::fclose};
  std::string out;
  std::string errors;  // what reached standard error
};

// What one run prints through the stream and writes to the standard output
// handle and to the console handle, for every place a call can fail and for
// each kind of standard output.
struct Scenario {
  const char* name;
  std::function<void(Fake&)> setup;
  std::string out, file = "", console = "";
  bool launches = true;
  int status = 0;
};

// Standard output of the given type, reads delivering reads, and the nth
// call of fail failing with code.
std::function<void(Fake&)> Script(Dword type, std::vector<std::string> reads,
                                  const char* fail = "", int nth = 1, Dword code = 1234) {
  return [=](Fake& os) {
    os.stdOutputType = type;
    for (const std::string& read : reads) os.QueueRead(read);
    os.FailCall(fail, nth, code);
  };
}

// A failing write gets one line to write, and the other write of that line
// still goes out; other failures get a read of 0 bytes.
Scenario Failing(const char* call, int nth, const char* label, int line, bool launches = true) {
  const bool write = std::string(call) == "WriteFile";
  const bool started = launches && std::string(call) != "CreateProcessA";
  return {label, Script(kFileTypeDisk, {write ? "line\n" : ""}, call, nth),
          ReportLine(1234, label, line), write && nth == 2 ? "line\n" : "",
          write && nth == 1 ? "line\n" : "", launches, started ? 0 : kStatusNotStarted};
}

TEST_F(EchoLogTest, EachFailureIsReportedOnceAndTheRunGoesOn) {
  const std::string x150(150, 'x');
  const Scenario scenarios[] = {
      Failing("CreatePipe", 1, "CreatePipe", 107, false),
      Failing("DuplicateHandle", 1, "DuplicateHandle", 123, false),
      Failing("DuplicateHandle", 2, "DuplicateHandle", 148, false),
      Failing("CreateProcessA", 1, "CreateProcess", 222),
      // Closes: the original read end, thread, then the write ends.
      Failing("CloseHandle", 3, "CloseHandle", 239),
      Failing("CloseHandle", 4, "CloseHandle", 241),
      Failing("ReadFile", 1, "ReadFile", 254),
      Failing("WriteFile", 1, "WriteFile", 266),
      Failing("WriteFile", 2, "WriteFile", 273),
      // The type of an invalid handle is asked before the report, which so
      // carries the code of the type query; it means capture mode.
      {"invalid standard output", Script(kFileTypeDisk, {"xy"}, "GetStdHandle", 1, 2),
       ReportLine(6, "CreateFile", 84) + ReportLine(6, "WriteFile", 266), "", "xy"},
      // Capture mode without a console: see WithoutAConsoleTheCapture...
      {"no console in console mode", Script(kFileTypeChar, {"ab"}, "CreateFileA", 1, 2),
       ReportLine(2, "CreateConsole", 92) + "ab"},
      {"the command cannot be waited for",
       Script(kFileTypeDisk, {"ab\n"}, "WaitForSingleObject", 1, 6),
       ReportLine(6, "WaitForSingleObject", 280), "ab\n", "ab\n", true, kStatusUnknown},
      {"the command's status cannot be had",
       Script(kFileTypeDisk, {"ab\n"}, "GetExitCodeProcess", 1, 5),
       ReportLine(5, "GetExitCodeProcess", 282), "ab\n", "ab\n", true, kStatusUnknown},
      {"endless read errors are given up",
       [](Fake& fake) {
         for (int i = 0; i < 20; ++i) fake.QueueRead("", 33);
       },
       Repeat(ReportLine(33, "ReadFile", 254), 16)},
      {"character device: text up to each chunk's NUL",
       Script(kFileTypeChar, {std::string("a\nb\0cd", 6), "ef"}), "a\nbef"},
      {"unknown type", Script(kFileTypeUnknown, {"a\nb"}), "", "a\nb", "a\nb"},
      {"pipe type", Script(kFileTypePipe, {"a\nb"}), "", "a\nb", "a\nb"},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    EXPECT_EQ(Run({"prog", "a", "b"}, scenario.setup), scenario.status);
    EXPECT_EQ(out, scenario.out);
    EXPECT_EQ(os.output[Fake::kStdOutput], scenario.file);
    EXPECT_EQ(os.output[Fake::kConsole], scenario.console);
    EXPECT_EQ(Count(os.calls, "CreateProcessA"), scenario.launches ? 1u : 0u);
    EXPECT_EQ(Count(os.calls, "ReadFile") > 0, scenario.launches);
    EXPECT_TRUE(os.openHandles.empty());
    EXPECT_EQ(errors, "");
  }
}

// In capture mode a missing console only means no echo: the capture gets
// the command's bytes alone, and standard error tells of it once.
TEST_F(EchoLogTest, WithoutAConsoleTheCaptureGetsOnlyTheCommandsBytes) {
  const std::string x150(150, 'x');
  EXPECT_EQ(Run({"prog"}, Script(kFileTypeDisk, {x150, "\n"}, "CreateFileA", 1, 55)), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(os.output[Fake::kStdOutput], x150 + "\n");
  EXPECT_EQ(Count(os.calls, "WriteFile"), 4u);  // none to the console
  EXPECT_EQ(errors, "echolog32: no console (error 55): the output is captured without echo\n");
}

// The command's exit status is echolog32's, learnt once the pipe has broken
// and the read end is closed, so that a command still writing cannot block
// the wait; a command that is never started gives 127.
TEST_F(EchoLogTest, TheExitStatusIsTheCommands) {
  const struct {
    Dword code;
    const char* fail;
    int status;
  } cases[] = {
      {3, "", 3},
      {137, "", 137},
      {0xC0000005, "", static_cast<int>(0xC0000005)},
      {0, "CreatePipe", kStatusNotStarted},
      {0, "DuplicateHandle", kStatusNotStarted},
      {0, "CreateProcessA", kStatusNotStarted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(Run({"prog"},
                  [&](Fake& fake) {
                    fake.exitCode = c.code;
                    fake.FailCall(c.fail, 1, 2);
                  }),
              c.status);
    EXPECT_EQ(os.waited, (c.status == kStatusNotStarted ? std::vector<Handle>{}
                                                        : std::vector<Handle>{50}));
    EXPECT_EQ(os.openAtWait.count(Fake::kFirstDuplicate), 0u);  // the private read end
    EXPECT_TRUE(os.openHandles.empty());
  }
}

// Capture mode with the standard output handle writing into the stream's own
// file, as on a real system, so that out shows where the reports fall among
// the captured bytes.
TEST_F(EchoLogTest, AFailedOutputIsReportedOnceOnALineOfItsOwn) {
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    const char* fail;
    int nth;
    Dword code;
    std::string out, console;
    std::size_t readCalls, writeCalls;
  };
  const Case cases[] = {
      // No console write is tried, so only the command's bytes follow.
      {"console cannot be opened", {"a\n", "b"}, "CreateFileA", 1, 2, "a\nb", "", 3, 2},
      // The second chunk's console write fails: echo stops, and the report
      // waits for the end of the line the chunk left open.
      {"console fails later", {"one\n", "tw", "o\nthree"}, "WriteFile", 4, 31,
       "one\ntwo\n" + ReportLine(31, "WriteFile", 273) + "three", "one\n", 4, 6},
      // The failed chunk still reaches the console; the third is never read.
      {"broken pipe", {"a\n", "b\n", "c\n"}, "WriteFile", 3, 232,
       "a\n" + ReportLine(232, "WriteFile", 266), "a\nb\n", 2, 4},
      // Held to the end, the report starts a line of its own.
      {"no space", {"a\nb", "cd", "e"}, "WriteFile", 3, 112,
       "a\nb\n" + ReportLine(112, "WriteFile", 266), "a\nbcd", 2, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Run({"prog"},
                  [&](Fake& fake) {
                    Script(kFileTypeDisk, c.reads, c.fail, c.nth, c.code)(fake);
                    fake.onWriteStdOutput = [this](const char* bytes, Dword size) {
                      auto n = write(fileno(stream.get()), bytes, size);
                      EXPECT_EQ(n, static_cast<decltype(n)>(size));
                    };
                  }),
              0);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(os.output[Fake::kConsole], c.console);
    EXPECT_EQ(Count(os.calls, "ReadFile"), c.readCalls);
    EXPECT_EQ(Count(os.calls, "WriteFile"), c.writeCalls);
    EXPECT_TRUE(os.openHandles.empty());  // the read end included
  }
}

TEST_F(EchoLogTest, CopiesInChunksOfAtMost64BytesInOrder) {
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes += static_cast<char>(i);  // NUL bytes included
  ASSERT_EQ(Run({"prog"}, Script(kFileTypeDisk, {bytes, "", "!"})), 0);
  EXPECT_EQ(os.output[Fake::kStdOutput], bytes + "!");
  EXPECT_EQ(os.output[Fake::kConsole], bytes + "!");
  for (Dword size : os.writeSizes) EXPECT_TRUE(size > 0 && size <= 64) << size;
}

TEST_F(EchoLogTest, StartUpChecksEndWithStatusOne) {
  EXPECT_EQ(Run({}), 1);
  EXPECT_EQ(out, "ECHOLOG V1.2 for Windows NT\nCopyright (c) the kvstools developers.\n"
                 "ECHOLOG -- Redirect STDOUT to <file> and echo to screen.\n"
                 "SYNTAX: echolog32 <command> [ > <file>]\n");
  EXPECT_EQ(os.calls, std::vector<std::string>{"GetVersion"});
  // Outside the NT family only the message box appears, arguments or not.
  EXPECT_EQ(Run({"prog"}, [](Fake& fake) { fake.version = 0x80000004; }), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(os.calls, (std::vector<std::string>{"GetVersion", "MessageBoxA"}));
  EXPECT_EQ(os.messageBoxes, std::vector<std::string>{
                                 "Error: Windows NT Required.|This application requires Windows "
                                 "NT.\nThis application will now terminate.|0"});
}

TEST_F(EchoLogTest, TheCommandGetsItsLineAndThePipeButNeverItsReadEnd) {
  ASSERT_EQ(Run({"prog", "two words"}), 0);
  EXPECT_EQ(os.commandLine, "prog.exe \"two words\" ");
  EXPECT_EQ(os.words, (std::vector<std::string>{"prog", "two words"}));
  EXPECT_EQ(os.startup.dwFlags, kStartfUseShowWindow | kStartfUseStdHandles);
  EXPECT_EQ(os.startup.wShowWindow, 7);
  EXPECT_EQ(os.startup.hStdInput, kNullHandle);
  EXPECT_EQ(os.startup.hStdOutput, Fake::kPipeWrite);
  EXPECT_EQ(os.startup.hStdError, Fake::kFirstDuplicate + 1);
  // The inheritable read end is swapped for a private duplicate before launch.
  EXPECT_EQ(os.duplicateInherit, (std::vector<bool>{false, true}));
  const auto launch = std::find(os.calls.begin(), os.calls.end(), "CreateProcessA");
  EXPECT_EQ(std::count(os.calls.begin(), launch, "CloseHandle"), 1);

  // Long lines are built in full up to the system's limit.
  // "prog.exe ", the argument and its blank fill the limit but for the NUL.
  const std::string longest(kMaxCommandLine - 1 - 10, 'a');
  ASSERT_EQ(Run({"prog", longest}), 0);
  EXPECT_EQ(os.commandLine, "prog.exe " + longest + " ");
  ASSERT_EQ(Run({"prog", longest + "a"}), kStatusNotStarted);
  EXPECT_EQ(out, ReportLine(206, "CreateProcess", 222));
  EXPECT_EQ(Count(os.calls, "CreateProcessA"), 0u);
  EXPECT_TRUE(os.openHandles.empty());
}

TEST_F(EchoLogTest, ReportsAreFlushedBeforeStandardOutputIsClosed) {
  long flushedAtClose = -1;
  // The descriptor's offset counts only what has left the stream's buffer.
  ASSERT_EQ(Run({"prog"},
                [&](Fake& fake) {
                  fake.FailCall("WaitForSingleObject", 1, 2);
                  fake.onCloseStdOutput = [&] {
                    flushedAtClose = lseek(fileno(stream.get()), 0, SEEK_CUR);
                  };
                }),
            kStatusUnknown);
  EXPECT_EQ(flushedAtClose, static_cast<long>(ReportLine(2, "WaitForSingleObject", 280).size()));
}

}  // namespace
}  // namespace echolog
