// echolog.cc: start-up checks, set-up, launch, copy loop and clean-up of
// echolog32, reaching the system only through WindowsApi.
#include "echolog/echolog.h"

#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "echolog/command_line.h"

namespace echolog {
namespace {

constexpr const char* kSourceName = "echolog32";
constexpr Dword kChunkSize = 64;
// A read error other than a broken pipe is retried; one that keeps coming
// back would otherwise spin for ever.
constexpr int kMaxConsecutiveReadFailures = 16;

// Where a system call failed: the label and line number of its report.
struct FailurePlace {
  const char* label;
  int line;
};
constexpr FailurePlace kStdOutputFailed{"CreateFile", 84};
constexpr FailurePlace kConsoleFailed{"CreateConsole", 92};
constexpr FailurePlace kPipeFailed{"CreatePipe", 107};
constexpr FailurePlace kReadEndDuplicateFailed{"DuplicateHandle", 123};
constexpr FailurePlace kWriteEndDuplicateFailed{"DuplicateHandle", 148};
constexpr FailurePlace kLaunchFailed{"CreateProcess", 222};
constexpr FailurePlace kCloseWriteEndFailed{"CloseHandle", 239};
constexpr FailurePlace kCloseErrorWriteFailed{"CloseHandle", 241};
constexpr FailurePlace kReadFailed{"ReadFile", 254};
constexpr FailurePlace kWriteStdOutputFailed{"WriteFile", 266};
constexpr FailurePlace kWriteConsoleFailed{"WriteFile", 273};
constexpr FailurePlace kWaitForCommandFailed{"WaitForSingleObject", 280};
constexpr FailurePlace kExitCodeFailed{"GetExitCodeProcess", 282};

bool IsHeld(Handle handle) { return handle != kNullHandle && handle != kInvalidHandle; }

class EchoLog {
 public:
  EchoLog(WindowsApi& os, std::FILE* out, std::FILE* err) : os_(os), out_(out), err_(err) {}

  int Run(std::span<const char* const> command) {
    if (!IsNtFamily()) {
      os_.MessageBoxA("This application requires Windows NT.\nThis application will now terminate.",
                      "Error: Windows NT Required.", kMbOk);
      return kStatusStartUp;
    }
    if (command.empty()) {
      PrintBanner();
      return kStatusStartUp;
    }
    OpenOutputs();
    int status = kStatusNotStarted;
    if (CreatePipeHandles()) {
      const bool started = Launch(command);
      CloseWriteEnds();
      CopyOutput();
      // A command still writing then meets a broken pipe instead of blocking
      // for ever while it is waited for.
      CloseIfHeld(pipeRead_);
      if (started) status = CommandStatus();
    }
    CloseAll();
    return status;
  }

 private:
  bool IsNtFamily() { return (os_.GetVersion() & 0x80000000u) == 0; }

  void PrintBanner() {
    std::fputs("ECHOLOG V1.2 for Windows NT\n", out_);
    std::fputs("Copyright (c) the kvstools developers.\n", out_);
    std::fputs("ECHOLOG -- Redirect STDOUT to <file> and echo to screen.\n", out_);
    std::fputs("SYNTAX: echolog32 <command> [ > <file>]\n", out_);
  }

  // One report line with the code GetLastError gives now.
  void Report(FailurePlace place) { ReportCode(os_.GetLastError(), place); }

  // In capture mode the chunks go straight to the standard output handle and
  // the reports through the stream, into the same destination. A report is
  // held until the captured bytes end a line, so that it never splits a line
  // of the command's output.
  void ReportCode(Dword code, FailurePlace place) {
    char line[160];
    std::snprintf(line, sizeof line, "%s: Error %d from %s     on line %d\n", kSourceName,
                  static_cast<int>(code), place.label, place.line);
    if (!echo_) {
      std::fputs(line, out_);
      return;
    }
    heldReports_ += line;
    ReleaseHeldReports();
  }

  void ReleaseHeldReports() {
    if (heldReports_.empty() || lineOpen_) return;
    std::fputs(heldReports_.c_str(), out_);
    std::fflush(out_);
    heldReports_.clear();
  }

  // Capture mode unless standard output is a character device. The type is
  // asked before the handle is tested, so an invalid handle means capture
  // mode and its report carries the code GetFileType left.
  void OpenOutputs() {
    stdOutput_ = os_.GetStdHandle(kStdOutputHandle);
    echo_ = os_.GetFileType(stdOutput_) != kFileTypeChar;
    if (stdOutput_ == kInvalidHandle) Report(kStdOutputFailed);
    console_ = os_.CreateFileA("CONOUT$", kGenericWrite, kFileShareRead, kCreateAlways,
                               kFileAttributeNormal);
    if (console_ == kInvalidHandle) {
      // Capturing without a console (a scheduled job, a service) is a normal
      // way to run: the capture gets only the command's bytes, and the
      // missing echo is told once where it does not mix with them.
      if (echo_) {
        std::fprintf(err_, "%s: no console (error %d): the output is captured without echo\n",
                     kSourceName, static_cast<int>(os_.GetLastError()));
      } else {
        Report(kConsoleFailed);
      }
    }
    consoleEcho_ = echo_ && IsHeld(console_);
  }

  // Creates the pipe, makes its read end private to this process and
  // duplicates the write end for the command's standard error. False when
  // the command cannot be given the pipe; whatever was created is then
  // released by CloseAll.
  bool CreatePipeHandles() {
    const SecurityAttributes inheritable{true};
    if (!os_.CreatePipe(&pipeRead_, &pipeWrite_, inheritable, 0)) {
      pipeRead_ = pipeWrite_ = kNullHandle;
      Report(kPipeFailed);
      return false;
    }
    const Handle self = os_.GetCurrentProcess();
    Handle privateRead = kNullHandle;
    if (!os_.DuplicateHandle(self, pipeRead_, self, &privateRead, 0, false,
                             kDuplicateSameAccess)) {
      Report(kReadEndDuplicateFailed);
      return false;
    }
    os_.CloseHandle(pipeRead_);
    pipeRead_ = privateRead;
    if (!os_.DuplicateHandle(self, pipeWrite_, self, &errorWrite_, 0, true,
                             kDuplicateSameAccess)) {
      errorWrite_ = kNullHandle;
      Report(kWriteEndDuplicateFailed);
      return false;
    }
    return true;
  }

  StartupInfo ChildStartupInfo() {
    StartupInfo own;
    os_.GetStartupInfoA(&own);
    StartupInfo child;
    child.dwFlags = kStartfUseShowWindow | kStartfUseStdHandles;
    child.wShowWindow = own.wShowWindow;
    child.hStdInput = kNullHandle;
    child.hStdOutput = pipeWrite_;
    child.hStdError = errorWrite_;
    return child;
  }

  // True when the command started; its process handle is then kept until
  // the command has been waited for.
  bool Launch(std::span<const char* const> command) {
    const StartupInfo startup = ChildStartupInfo();
    const std::string line = BuildCommandLine(command);
    if (line.size() >= kMaxCommandLine) {
      ReportCode(kErrorFilenameExcedRange, kLaunchFailed);
      return false;
    }
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    ProcessInformation process;
    if (!os_.CreateProcessA(buffer.data(), command, true, 0, startup, &process)) {
      Report(kLaunchFailed);
      return false;
    }
    os_.CloseHandle(process.hThread);
    process_ = process.hProcess;
    return true;
  }

  // After this only the command and whatever it passed the handles on to
  // can write to the pipe, so the pipe breaks when they are all done.
  void CloseWriteEnds() {
    if (!os_.CloseHandle(pipeWrite_)) Report(kCloseWriteEndFailed);
    pipeWrite_ = kNullHandle;
    if (!os_.CloseHandle(errorWrite_)) Report(kCloseErrorWriteFailed);
    errorWrite_ = kNullHandle;
  }

  void CopyOutput() {
    char chunk[kChunkSize];
    int failures = 0;
    while (failures < kMaxConsecutiveReadFailures) {
      Dword count = 0;
      if (!os_.ReadFile(pipeRead_, chunk, kChunkSize, &count)) {
        if (os_.GetLastError() == kErrorBrokenPipe) return;
        Report(kReadFailed);
        ++failures;
        continue;
      }
      failures = 0;
      if (count > 0 && !CopyChunk(chunk, std::min(count, kChunkSize))) return;
    }
  }

  // False once standard output has failed. Nothing more can be delivered
  // there, so the copy ends; closing the read end then lets the command meet
  // a broken pipe, as it would writing to that output itself.
  bool CopyChunk(const char* chunk, Dword count) {
    if (!echo_) {
      // Text output: a NUL byte ends the chunk's printing. The stream keeps
      // its error indicator once a write of its buffer has failed.
      std::fprintf(out_, "%.*s", static_cast<int>(count), chunk);
      if (!std::ferror(out_)) return true;
      Report(kWriteStdOutputFailed);
      return false;
    }
    const bool delivered = WriteCaptured(std::string_view(chunk, count));
    // The console shows the chunk whatever became of it on standard output.
    Dword written = 0;
    if (consoleEcho_ && !os_.WriteFile(console_, chunk, count, &written)) {
      Report(kWriteConsoleFailed);
      consoleEcho_ = false;  // reported once; the capture goes on without echo
    }
    return delivered;
  }

  // The command's exit status, once it has ended; kStatusUnknown, reported,
  // when the system cannot tell it.
  int CommandStatus() {
    Dword code = 0;
    int status = kStatusUnknown;
    if (os_.WaitForSingleObject(process_, kInfinite) != kWaitObject0) {
      Report(kWaitForCommandFailed);
    } else if (!os_.GetExitCodeProcess(process_, &code)) {
      Report(kExitCodeFailed);
    } else {
      status = static_cast<int>(code);
    }
    CloseIfHeld(process_);
    return status;
  }

  // Writes bytes unchanged to the standard output handle. While reports are
  // held the bytes are written up to the end of their first line, and the
  // reports follow there.
  bool WriteCaptured(std::string_view bytes) {
    while (!bytes.empty()) {
      std::size_t size = bytes.size();
      const std::size_t lineEnd = bytes.find('\n');
      if (!heldReports_.empty() && lineEnd != std::string_view::npos) size = lineEnd + 1;
      Dword written = 0;
      const bool ok = os_.WriteFile(stdOutput_, bytes.data(), static_cast<Dword>(size), &written);
      if (written > 0) lineOpen_ = bytes[std::min<std::size_t>(written, size) - 1] != '\n';
      if (!ok) {
        Report(kWriteStdOutputFailed);
        return false;
      }
      bytes.remove_prefix(size);
      ReleaseHeldReports();
    }
    return true;
  }

  // Results are not examined: nothing is left to do about a failed close.
  // Reports still held or buffered go out before standard output closes;
  // held ones after the command's last line, ended first if it is open.
  void CloseAll() {
    CloseIfHeld(console_);
    if (!heldReports_.empty() && lineOpen_) {
      std::fputc('\n', out_);
      lineOpen_ = false;
    }
    ReleaseHeldReports();
    std::fflush(out_);
    CloseIfHeld(stdOutput_);
    CloseIfHeld(pipeRead_);
    CloseIfHeld(pipeWrite_);
    CloseIfHeld(errorWrite_);
    CloseIfHeld(process_);
  }

  void CloseIfHeld(Handle& handle) {
    if (IsHeld(handle)) os_.CloseHandle(handle);
    handle = kNullHandle;
  }

  WindowsApi& os_;
  std::FILE* out_;
  std::FILE* err_;
  bool echo_ = false;         // capture mode
  bool consoleEcho_ = false;  // capture mode with a console that still takes the chunks
  bool lineOpen_ = false;     // the bytes on standard output end inside a line
  std::string heldReports_;   // capture mode: reports waiting for a line end
  Handle stdOutput_ = kNullHandle;
  Handle console_ = kNullHandle;
  Handle pipeRead_ = kNullHandle;
  Handle pipeWrite_ = kNullHandle;
  Handle errorWrite_ = kNullHandle;  // the command's standard error
  Handle process_ = kNullHandle;     // the command, until it is waited for
};

}  // namespace

int RunEchoLog(WindowsApi& os, int argc, const char* const* argv, std::FILE* out,
               std::FILE* err) {
  std::span<const char* const> command;
  if (argc > 1) command = std::span<const char* const>(argv + 1, static_cast<std::size_t>(argc - 1));
  return EchoLog(os, out, err).Run(command);
}

}  // namespace echolog
