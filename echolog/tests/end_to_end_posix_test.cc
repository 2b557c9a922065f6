// end_to_end_posix_test.cc: echolog32 running real commands on POSIX systems.
//
// Each run gets a session of its own whose controlling terminal is a
// pseudo-terminal of the test (or no terminal at all), so what echolog32
// writes to "the console" is read back from the terminal's master side.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "echolog/tests/child_output.h"

namespace echolog {
namespace {

using Clock = std::chrono::steady_clock;

enum class Output { kFile, kTerminal, kNullDevice };

struct Outcome {
  bool finished = false;
  int status = -1;
  std::string file;      // what reached the redirected standard output
  std::string terminal;  // what reached the controlling terminal
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The test's own descriptors must not reach echolog32 or the command.
int CloseOnExec(int fd) {
  if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

// Reads whatever the terminal delivers within timeoutMs; false when nothing came.
bool ReadTerminal(int master, int timeoutMs, std::string& into) {
  pollfd ready{master, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) <= 0) return false;
  char buffer[512];
  const ssize_t n = read(master, buffer, sizeof buffer);
  if (n <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

[[noreturn]] void ExecInSession(const std::vector<std::string>& args, int terminal, int input,
                                int output) {
  setsid();
  if (terminal >= 0 && ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(126);
  dup2(input, 0);
  dup2(output, 1);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 2);
  std::vector<char*> argv{const_cast<char*>(ECHOLOG32_PATH)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

// Runs echolog32 with args, its standard input a pipe that stays open, and
// waits at most ten seconds for it.
Outcome RunEchoLog32(const std::vector<std::string>& args, Output output, bool withTerminal = true) {
  Outcome outcome;
  std::string path = testing::TempDir() + "echolog_out_XXXXXX";
  const Fd file(CloseOnExec(mkstemp(path.data())));
  const Fd master(CloseOnExec(posix_openpt(O_RDWR | O_NOCTTY)));
  if (file.get() < 0 || master.get() < 0 || grantpt(master.get()) != 0 ||
      unlockpt(master.get()) != 0) {
    ADD_FAILURE() << "no file or pseudo-terminal";
    return outcome;
  }
  const Fd slave(open(ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios raw{};
  tcgetattr(slave.get(), &raw);
  cfmakeraw(&raw);
  tcsetattr(slave.get(), TCSANOW, &raw);
  int input[2];
  if (pipe(input) != 0) return outcome;
  CloseOnExec(input[0]);
  CloseOnExec(input[1]);
  const Fd inputRead(input[0]), inputWrite(input[1]);
  const Fd null(open("/dev/null", O_WRONLY | O_CLOEXEC));

  const int target = output == Output::kFile ? file.get()
                     : output == Output::kTerminal ? slave.get() : null.get();
  const pid_t pid = fork();
  if (pid == 0) ExecInSession(args, withTerminal ? slave.get() : -1, inputRead.get(), target);

  const auto deadline = Clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "echolog32 did not end within ten seconds";
      return outcome;
    }
    ReadTerminal(master.get(), 20, outcome.terminal);
  }
  while (ReadTerminal(master.get(), 100, outcome.terminal)) {
  }
  outcome.finished = true;
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  lseek(file.get(), 0, SEEK_SET);
  outcome.file = ReadAll(file.get());
  unlink(path.c_str());
  return outcome;
}

std::string ReportLine(int code, const char* label, int line) {
  return "echolog32: Error " + std::to_string(code) + " from " + label + "     on line " +
         std::to_string(line) + "\n";
}

const std::string kChild = ECHOLOG_TEST_CHILD_PATH;

TEST(EndToEndTest, RedirectedOutputGetsEveryByteAndTheTerminalShowsThem) {
  const Outcome run = RunEchoLog32({kChild, "mixed"}, Output::kFile);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.file, MixedOutput());
  EXPECT_EQ(run.terminal, MixedOutput());
}

TEST(EndToEndTest, TerminalOutputIsPrintedOnceAndWordsAreSplitAtBlanks) {
  const Outcome run = RunEchoLog32({kChild, "args", "two words"}, Output::kTerminal);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.terminal, "two|words|");
}

TEST(EndToEndTest, NullDeviceOutputIsConsoleModeAndTheTerminalStaysSilent) {
  const Outcome run = RunEchoLog32({kChild, "mixed"}, Output::kNullDevice);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.terminal, "");
}

TEST(EndToEndTest, MissingProgramIsReportedOnceAndEndsWithStatusZero) {
  const Outcome run = RunEchoLog32({"/nonexistent-dir/prog"}, Output::kFile);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.file, ReportLine(2, "CreateProcess", 222));
  EXPECT_EQ(run.terminal, "");
}

TEST(EndToEndTest, CommandStatusInputAndLingeringWriters) {
  Outcome run = RunEchoLog32({kChild, "exit7"}, Output::kFile);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.file, "bye");
  // The command's standard input is not ours (a pipe that never ends).
  run = RunEchoLog32({kChild, "stdin"}, Output::kFile);
  EXPECT_EQ(run.file, "eof");
  // Copying lasts until the process the command left behind has written.
  run = RunEchoLog32({kChild, "background"}, Output::kFile);
  EXPECT_EQ(run.file, "earlylate");
}

TEST(EndToEndTest, WithoutATerminalEveryChunkBringsAConsoleWriteReport) {
  const Outcome run = RunEchoLog32({kChild, "mixed"}, Output::kFile, false);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0);
  const std::string bytes = MixedOutput();
  ASSERT_EQ(run.file.substr(0, bytes.size()), bytes);
  std::string reports = run.file.substr(bytes.size());
  const std::string console = ReportLine(55, "CreateConsole", 92);
  ASSERT_EQ(reports.substr(0, console.size()), console);
  reports.erase(0, console.size());
  const std::string write = ReportLine(6, "WriteFile", 273);
  std::size_t chunks = 0;
  for (; reports.substr(0, write.size()) == write; reports.erase(0, write.size())) ++chunks;
  EXPECT_EQ(reports, "");
  EXPECT_GE(chunks, (bytes.size() + 63) / 64);
}

}  // namespace
}  // namespace echolog
