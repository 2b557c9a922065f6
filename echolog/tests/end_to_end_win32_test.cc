// end_to_end_win32_test.cc: echolog32 running real commands on Windows.
//
// echolog32 is started without a console, its standard output a file and its
// standard input a pipe that stays open, so that every chunk it captures also
// brings a report of the failed console write.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "echolog/tests/child_output.h"

namespace echolog {
namespace {

struct Outcome {
  bool finished = false;
  DWORD status = 0;
  std::string file;
};

// A Unix path from the build works under wine once it names its drive.
std::string WindowsPath(std::string path) {
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES && path.rfind("/", 0) == 0) {
    path = "Z:" + path;
  }
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

std::string ReadWholeFile(const std::string& path) {
  std::string text;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return text;
  char buffer[512];
  DWORD count = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) text.append(buffer, count);
  CloseHandle(file);
  return text;
}

// Runs echolog32 with args and waits at most ten seconds for it.
Outcome RunEchoLog32(const std::vector<std::string>& args) {
  Outcome outcome;
  char directory[MAX_PATH];
  char path[MAX_PATH];
  GetTempPathA(MAX_PATH, directory);
  GetTempFileNameA(directory, "elg", 0, path);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE output = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE inputRead = nullptr;
  HANDLE inputWrite = nullptr;
  if (output == INVALID_HANDLE_VALUE || !CreatePipe(&inputRead, &inputWrite, &inheritable, 0)) {
    ADD_FAILURE() << "no output file or input pipe";
    return outcome;
  }
  // Appended piece by piece: "\"" + std::string trips a false -Wrestrict of g++ 12.
  std::string line(1, '"');
  line += WindowsPath(ECHOLOG32_PATH);
  line += '"';
  for (const std::string& arg : args) line += " " + arg;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputRead;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                     nullptr, &startup, &process)) {
    if (WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0) {
      outcome.finished = GetExitCodeProcess(process.hProcess, &outcome.status) != FALSE;
    } else {
      TerminateProcess(process.hProcess, 99);
      ADD_FAILURE() << "echolog32 did not end within ten seconds";
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  } else {
    ADD_FAILURE() << "cannot start " << line;
  }
  CloseHandle(output);
  CloseHandle(inputRead);
  CloseHandle(inputWrite);
  outcome.file = ReadWholeFile(path);
  DeleteFileA(path);
  return outcome;
}

// A run's output file taken apart: the stream's reports reach the file as
// they are made, between the captured bytes.
struct Captured {
  std::string bytes;                 // everything but the reports
  std::vector<std::string> reports;  // "label line" of each report
};

// Takes one report line, whatever its code, off the front of text.
bool TakeReport(std::string_view& text, std::vector<std::string>& reports) {
  static const std::regex report("^echolog32: Error -?[0-9]+ from ([A-Za-z]+)     on line ([0-9]+)\r\n");
  std::match_results<std::string_view::const_iterator> match;
  if (!std::regex_search(text.begin(), text.end(), match, report)) return false;
  reports.push_back(match[1].str() + " " + match[2].str());
  text.remove_prefix(static_cast<std::size_t>(match.length(0)));
  return true;
}

Captured TakeApart(std::string_view file) {
  Captured captured;
  while (!file.empty()) {
    if (TakeReport(file, captured.reports)) continue;
    captured.bytes += file.front();
    file.remove_prefix(1);
  }
  return captured;
}

const std::string kChild = WindowsPath(ECHOLOG_TEST_CHILD_PATH);

TEST(EndToEndTest, WithoutAConsoleTheFileGetsEveryByteAndEachChunkAReport) {
  const Outcome run = RunEchoLog32({kChild, "mixed"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0u);
  const Captured captured = TakeApart(run.file);
  EXPECT_EQ(captured.bytes, MixedOutput());
  ASSERT_FALSE(captured.reports.empty());
  EXPECT_EQ(captured.reports.front(), "CreateConsole 92");
  const auto chunks = std::count(captured.reports.begin(), captured.reports.end(), "WriteFile 273");
  EXPECT_EQ(static_cast<std::size_t>(chunks) + 1, captured.reports.size());
  EXPECT_GE(static_cast<std::size_t>(chunks), (MixedOutput().size() + 63) / 64);
}

TEST(EndToEndTest, MissingProgramIsReportedOnceAndEndsWithStatusZero) {
  const Outcome run = RunEchoLog32({"no-such-program"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0u);
  const Captured captured = TakeApart(run.file);
  EXPECT_EQ(captured.bytes, "");
  EXPECT_EQ(captured.reports, (std::vector<std::string>{"CreateConsole 92", "CreateProcess 222"}));
}

TEST(EndToEndTest, CommandStatusAndInputAreNotPassedOn) {
  Outcome run = RunEchoLog32({kChild, "exit7"});
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(TakeApart(run.file).bytes, "bye");
  // The command has no standard input: it never sees our open pipe.
  run = RunEchoLog32({kChild, "stdin"});
  ASSERT_TRUE(run.finished);
  EXPECT_NE(TakeApart(run.file).bytes, "data");
}

TEST(EndToEndTest, WordsAreSplitAtBlanks) {
  const Outcome run = RunEchoLog32({kChild, "args", "\"two words\""});
  EXPECT_EQ(TakeApart(run.file).bytes, "two|words|");
}

}  // namespace
}  // namespace echolog
