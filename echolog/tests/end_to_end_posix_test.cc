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
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "echolog/tests/end_to_end.h"
#include "echolog/tests/expected_output.h"

namespace echolog {

namespace {

// The test's own descriptors: closed at the end, and never inherited unless
// added as inheritable.
struct Descriptors {
  std::vector<int> all;
  ~Descriptors() {
    for (int fd : all) close(fd);
  }
  int Add(int fd, bool inheritable = false) {
    if (fd >= 0 && (inheritable || fcntl(fd, F_SETFD, FD_CLOEXEC) == 0)) all.push_back(fd);
    return fd;
  }
  void Close(int fd) {
    const auto at = std::find(all.begin(), all.end(), fd);
    if (at == all.end()) return;
    close(fd);
    all.erase(at);
  }
};

// Reads whatever fd delivers within timeoutMs; false when nothing came.
bool ReadReady(int fd, int timeoutMs, std::string& into) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, timeoutMs) <= 0) return false;
  char buffer[512];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
  return n > 0;
}

// True when fd reads end of file within timeoutMs.
bool EndOfFileWithin(int fd, int timeoutMs) {
  pollfd ready{fd, POLLIN, 0};
  char byte = 0;
  return poll(&ready, 1, timeoutMs) > 0 && read(fd, &byte, 1) == 0;
}

[[noreturn]] void ExecInSession(const std::vector<std::string>& args, int terminal, int input,
                                int output, int error) {
  setsid();
  if (terminal >= 0 && ioctl(terminal, TIOCSCTTY, 0) != 0) _exit(126);
  dup2(input, 0);
  dup2(output, 1);
  dup2(error, 2);
  std::vector<char*> argv{const_cast<char*>(ECHOLOG32_PATH)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace

std::string ChildPath() { return ECHOLOG_TEST_CHILD_PATH; }

Outcome RunEchoLog32(const std::vector<std::string>& args, Output output, bool withConsole) {
  Outcome outcome;
  Descriptors fds;
  std::string path = testing::TempDir() + "echolog_out_XXXXXX";
  const int file = fds.Add(mkstemp(path.data()));
  unlink(path.c_str());
  std::string errorPath = testing::TempDir() + "echolog_err_XXXXXX";
  const int errorFile = fds.Add(mkstemp(errorPath.data()));
  unlink(errorPath.c_str());
  const int master = fds.Add(posix_openpt(O_RDWR | O_NOCTTY));
  int input[2] = {-1, -1};
  int reader[2] = {-1, -1};
  int lifeline[2] = {-1, -1};
  if (file < 0 || errorFile < 0 || master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
      pipe(input) != 0 || pipe(reader) != 0 || pipe(lifeline) != 0) {
    ADD_FAILURE() << "no file, pseudo-terminal or pipe";
    return outcome;
  }
  const int slave = fds.Add(open(ptsname(master), O_RDWR | O_NOCTTY));
  termios raw{};
  tcgetattr(slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);
  const int inputRead = fds.Add(input[0]);
  fds.Add(input[1]);
  int readerRead = fds.Add(reader[0]);
  const int readerWrite = fds.Add(reader[1]);
  // echolog32 and the command inherit the lifeline's write end: once both
  // have ended its read end reads end of file.
  const int lifelineRead = fds.Add(lifeline[0]);
  const int lifelineWrite = fds.Add(lifeline[1], true);
  int target = fds.Add(open("/dev/null", O_WRONLY));
  if (output == Output::kFile) target = file;
  if (output == Output::kTerminal) target = slave;
  if (output == Output::kEarlyReader) target = readerWrite;
  if (output == Output::kFullDevice) target = fds.Add(open("/dev/full", O_WRONLY));
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) ExecInSession(args, withConsole ? slave : -1, inputRead, target, errorFile);
  fds.Close(lifelineWrite);
  fds.Close(readerWrite);

  // The full device refuses every write from the start; the early reader
  // goes away once it has its bytes.
  auto readerGone = start;
  std::string text;
  const auto deadline = start + std::chrono::seconds(10);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "echolog32 did not end within ten seconds";
      return outcome;
    }
    if (output == Output::kEarlyReader && readerRead >= 0) {
      ReadReady(readerRead, 20, text);
      if (text.size() >= kEarlyReaderBytes) {
        text.resize(kEarlyReaderBytes);
        fds.Close(readerRead);
        readerRead = -1;
        readerGone = std::chrono::steady_clock::now();
      }
    }
    ReadReady(master, 20, outcome.terminal);
  }
  const auto ended = std::chrono::steady_clock::now();
  if (output == Output::kEarlyReader || output == Output::kFullDevice) {
    outcome.secondsAfterReader = std::chrono::duration<double>(ended - readerGone).count();
  }
  while (ReadReady(master, 100, outcome.terminal)) {
  }
  outcome.commandEnded = EndOfFileWithin(lifelineRead, 5000);
  outcome.finished = true;
  outcome.status = WIFEXITED(status) ? static_cast<unsigned>(WEXITSTATUS(status)) : 99u;
  outcome.errors.assign(static_cast<std::size_t>(lseek(errorFile, 0, SEEK_END)), '\0');
  if (pread(errorFile, outcome.errors.data(), outcome.errors.size(), 0) !=
      static_cast<ssize_t>(outcome.errors.size())) {
    ADD_FAILURE() << "cannot read the error file";
  }
  if (output != Output::kEarlyReader) {
    text.assign(static_cast<std::size_t>(lseek(file, 0, SEEK_END)), '\0');
    if (pread(file, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
      ADD_FAILURE() << "cannot read the output file";
    }
  }
  TakeApart(text, outcome);
  return outcome;
}

namespace {

TEST(EndToEndPosixTest, RedirectedOutputGetsEveryByteAndTheTerminalShowsThem) {
  const Outcome run = RunEchoLog32({ChildPath(), "mixed"});
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.bytes, MixedOutput());
  EXPECT_EQ(run.reports, std::vector<std::string>{});
  EXPECT_EQ(run.terminal, MixedOutput());
  EXPECT_EQ(run.errors, "");
}

// The command gets echolog32's arguments as they are, its program looked up
// along PATH without any ".exe", and its status comes back, 128 plus the
// signal's number for one ended by a signal.
TEST(EndToEndPosixTest, ShellCommandsRunWithTheirArgumentsAndStatus) {
  Outcome run = RunEchoLog32({"sh", "-c", "echo hi; exit 3"});
  EXPECT_EQ(run.bytes, "hi\n");
  EXPECT_EQ(run.status, 3u);
  run = RunEchoLog32({"sh", "-c", "kill -9 $$"});
  EXPECT_EQ(run.status, 137u);

  const std::string dir = testing::TempDir() + "echolog_path_" + std::to_string(getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const auto put = [&](const std::string& name, const std::string& text, mode_t mode) {
    const int fd = open((dir + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  };
  put("lines", "two words\ntwo\nwords\n", 0600);
  put("tool", "#!/bin/sh\necho plain\n", 0700);
  put("tool.exe", "#!/bin/sh\necho exe\n", 0700);
  run = RunEchoLog32({"grep", "two words", dir + "/lines"});
  EXPECT_EQ(run.bytes, "two words\n");
  EXPECT_EQ(run.status, 0u);
  const std::string path = getenv("PATH");
  setenv("PATH", (dir + ":" + path).c_str(), 1);
  run = RunEchoLog32({"tool"});
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(run.bytes, "plain\n");
  for (const char* name : {"lines", "tool", "tool.exe"}) unlink((dir + "/" + name).c_str());
  rmdir(dir.c_str());
}

TEST(EndToEndPosixTest, CharacterDevicesGiveConsoleMode) {
  Outcome run = RunEchoLog32({ChildPath(), "args", "a"}, Output::kTerminal);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.terminal, "a|");  // printed once, not also echoed
  run = RunEchoLog32({ChildPath(), "mixed"}, Output::kNullDevice);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, 0u);
  EXPECT_EQ(run.terminal, "");
}

// A character device: console mode, whose stream fails at its first write.
TEST(EndToEndPosixTest, AFullDeviceEndsTheRunAndTheCommand) {
  const Outcome run = RunEchoLog32({ChildPath(), "endless"}, Output::kFullDevice);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.status, kBrokenPipeStatus);
  EXPECT_LT(run.secondsAfterReader, kPromptEndSeconds);
  EXPECT_TRUE(run.commandEnded);
  EXPECT_EQ(run.terminal, "");
}

TEST(EndToEndPosixTest, CopyingLastsWhileALeftBehindProcessHoldsThePipe) {
  EXPECT_EQ(RunEchoLog32({ChildPath(), "background"}).bytes, "earlylate");
}

}  // namespace
}  // namespace echolog
