// end_to_end_win32_test.cc: how echolog32 is run on Windows for the
// end-to-end tests.
//
// echolog32 is started without a console, its standard output a file (or the
// pipe of a reader that goes away early), its standard error a file of its
// own and its standard input a pipe that stays open.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "echolog/command_line.h"
#include "echolog/tests/end_to_end.h"

namespace echolog {
namespace {

// A Unix path from the build works under wine once it names its drive.
std::string WindowsPath(std::string path) {
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES && path.rfind("/", 0) == 0) {
    path = "Z:" + path;
  }
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

// An inheritable write handle to a new temporary file, whose name goes to path.
HANDLE CreateTemporaryFile(char (&path)[MAX_PATH]) {
  char directory[MAX_PATH];
  GetTempPathA(MAX_PATH, directory);
  GetTempFileNameA(directory, "elg", 0, path);
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The file's bytes; the file is deleted.
std::string TakeFile(const char* path) {
  std::string text;
  {
    std::ifstream saved(path, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(saved), {});
  }
  DeleteFileA(path);
  return text;
}

// Takes kEarlyReaderBytes from the pipe, or what comes before the process
// ends or the deadline passes, and closes the pipe.
std::string ReadEarlyAndLeave(HANDLE pipe, HANDLE process,
                              std::chrono::steady_clock::time_point deadline) {
  std::string text;
  while (text.size() < kEarlyReaderBytes && std::chrono::steady_clock::now() < deadline) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) break;
    if (available == 0) {
      if (WaitForSingleObject(process, 20) == WAIT_OBJECT_0) break;
      continue;
    }
    char buffer[512];
    DWORD count = 0;
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(
        {sizeof buffer, available, kEarlyReaderBytes - text.size()}));
    if (!ReadFile(pipe, buffer, wanted, &count, nullptr)) break;
    text.append(buffer, count);
  }
  CloseHandle(pipe);
  return text;
}

// Waits until deadline for the started process; true when it ended.
bool Finish(const PROCESS_INFORMATION& process, Outcome& outcome,
            std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  DWORD status = 99;
  if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(std::max<long long>(
                                                 left.count(), 0))) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 99);
    ADD_FAILURE() << "echolog32 did not end within a minute";
  } else if (GetExitCodeProcess(process.hProcess, &status)) {
    outcome.finished = true;
    outcome.status = status;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return outcome.finished;
}

// True when every write handle of pipe is closed within timeoutMs.
bool BrokenWithin(HANDLE pipe, int timeoutMs) {
  for (int waited = 0; waited <= timeoutMs; waited += 20) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
      return GetLastError() == ERROR_BROKEN_PIPE;
    }
    Sleep(20);
  }
  return false;
}

}  // namespace

std::string ChildPath() { return WindowsPath(ECHOLOG_TEST_CHILD_PATH); }

Outcome RunEchoLog32(const std::vector<std::string>& args, Output kind, bool) {
  Outcome outcome;
  char path[MAX_PATH];
  char errorPath[MAX_PATH];
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE file = CreateTemporaryFile(path);
  HANDLE errorFile = CreateTemporaryFile(errorPath);
  HANDLE inputRead = nullptr;
  HANDLE inputWrite = nullptr;
  HANDLE readerRead = nullptr;
  HANDLE readerWrite = nullptr;
  // echolog32 and the command inherit the lifeline's write end: once both
  // have ended the pipe is broken.
  HANDLE lifelineRead = nullptr;
  HANDLE lifelineWrite = nullptr;
  if (file == INVALID_HANDLE_VALUE || errorFile == INVALID_HANDLE_VALUE ||
      !CreatePipe(&inputRead, &inputWrite, &inheritable, 0) ||
      !CreatePipe(&readerRead, &readerWrite, &inheritable, 0) ||
      !CreatePipe(&lifelineRead, &lifelineWrite, &inheritable, 0)) {
    ADD_FAILURE() << "no output file or pipe";
    return outcome;
  }
  SetHandleInformation(readerRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(lifelineRead, HANDLE_FLAG_INHERIT, 0);
  // Appended piece by piece: "\"" + std::string trips a false -Wrestrict of g++ 12.
  std::string line(1, '"');
  line += WindowsPath(ECHOLOG32_PATH);
  line += '"';
  for (const std::string& arg : args) {
    line += ' ';
    line += QuoteWord(arg);
  }
  const HANDLE output = kind == Output::kEarlyReader ? readerWrite : file;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputRead;
  startup.hStdOutput = output;
  startup.hStdError = errorFile;
  PROCESS_INFORMATION process{};
  // A minute: under wine the first start of a process can take many seconds
  // on a loaded machine.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::string text;
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << line;
    CloseHandle(readerRead);
  } else {
    CloseHandle(readerWrite);
    CloseHandle(lifelineWrite);
    readerWrite = lifelineWrite = nullptr;
    auto readerGone = std::chrono::steady_clock::now();
    if (kind == Output::kEarlyReader) {
      text = ReadEarlyAndLeave(readerRead, process.hProcess, deadline);
      readerGone = std::chrono::steady_clock::now();
    } else {
      CloseHandle(readerRead);
    }
    if (Finish(process, outcome, deadline) && kind == Output::kEarlyReader) {
      outcome.secondsAfterReader =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - readerGone).count();
    }
    outcome.commandEnded = BrokenWithin(lifelineRead, 5000);
  }
  for (HANDLE handle : {file, errorFile, inputRead, inputWrite, readerWrite, lifelineRead,
                        lifelineWrite}) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  const std::string saved = TakeFile(path);
  if (kind != Output::kEarlyReader) text = saved;
  // Standard error is a text stream: its lines end in CR LF.
  for (const char c : TakeFile(errorPath)) {
    if (c != '\r') outcome.errors += c;
  }
  TakeApart(text, outcome);
  return outcome;
}

}  // namespace echolog
