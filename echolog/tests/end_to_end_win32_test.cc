// end_to_end_win32_test.cc: how echolog32 is run on Windows for the
// end-to-end tests.
//
// echolog32 is started without a console, its standard output a file and its
// standard input a pipe that stays open, so that every chunk it captures also
// brings a report of the failed console write.
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

// Waits at most a minute for the started process; true when it ended.
bool Finish(const PROCESS_INFORMATION& process, Outcome& outcome) {
  DWORD status = 99;
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
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

}  // namespace

std::string ChildPath() { return WindowsPath(ECHOLOG_TEST_CHILD_PATH); }

Outcome RunEchoLog32(const std::vector<std::string>& args, Output, bool) {
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
  for (const std::string& arg : args) {
    line += ' ';
    line += arg.find(' ') == std::string::npos ? arg : '"' + arg + '"';
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputRead;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "cannot start " << line;
  } else {
    Finish(process, outcome);
  }
  CloseHandle(output);
  CloseHandle(inputRead);
  CloseHandle(inputWrite);
  std::ifstream file(path, std::ios::binary);
  TakeApart(std::string(std::istreambuf_iterator<char>(file), {}), outcome);
  file.close();
  DeleteFileA(path);
  return outcome;
}

}  // namespace echolog
