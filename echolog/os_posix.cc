// os_posix.cc: WindowsApi on Linux and macOS, a small layer of our own.
//
// Handles are file descriptors plus one, so that 0 stays the null handle and
// -1 the invalid one; process and thread handles are entries of a table.
// Every descriptor this layer opens is close-on-exec, whatever inherit flag
// the caller passes: of them a started command gets only the ones placed on
// its standard handles, so the pipe's read end never reaches it. "CONOUT$" is
// the controlling terminal. A command is started from its words, unchanged,
// as execvp would start it; the Windows command line is not used.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <span>
#include <vector>

#include "echolog/os_interface.h"

extern char** environ;

namespace echolog {
namespace {

constexpr Handle kCurrentProcess = -1;  // a pseudo handle, as on Windows
constexpr Handle kFirstProcessHandle = Handle{1} << 30;
constexpr Dword kStdInputHandle = static_cast<Dword>(-10);
constexpr Dword kStdErrorHandle = static_cast<Dword>(-12);
constexpr Dword kOpenExisting = 3;

// The nearest Windows error code for an errno value.
Dword WindowsErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return 3;  // path not found
    case EMFILE: case ENFILE: return 4;  // too many open files
    case EACCES: case EPERM: case EISDIR: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return 8;  // not enough memory
    case ENXIO: case ENODEV: return 55;  // device does not exist
    case EEXIST: return 80;  // file exists
    case EINVAL: return 87;  // invalid parameter
    case ENOSPC: return 112;  // disk full
    case ENOEXEC: return 193;  // bad executable format
    case ENAMETOOLONG: case E2BIG: return kErrorFilenameExcedRange;
    case EPIPE: return 232;  // the pipe is being closed
    case ETXTBSY: return 32;  // sharing violation
    default: return 31;  // a device attached to the system is not functioning
  }
}

int FdOf(Handle handle) { return handle > 0 && handle < kFirstProcessHandle ? static_cast<int>(handle - 1) : -1; }
Handle HandleOf(int fd) { return Handle{fd} + 1; }

// Moves a new descriptor to a close-on-exec one above 0, 1 and 2, so that
// placing the command's standard handles there can never overwrite another
// of them. Returns -1 with errno set on failure; fd is closed either way.
int CloseOnExecAboveStandard(int fd) {
  if (fd < 0) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int saved = errno;
  close(fd);
  errno = saved;
  return moved;
}

// posix_spawn file actions and attributes, released on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
    // This process ignores SIGPIPE; the command starts with the default.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Places handle on descriptor target in the command; the null handle
  // becomes the null device, so reading it gives end of file at once.
  void SetStandardHandle(int target, Handle handle) {
    if (handle == kNullHandle) {
      posix_spawn_file_actions_addopen(&actions_, target, "/dev/null",
                                       target == 0 ? O_RDONLY : O_WRONLY, 0);
    } else {
      posix_spawn_file_actions_adddup2(&actions_, FdOf(handle), target);
    }
  }

  // words[0] is the program, looked up along PATH unless it holds a "/".
  int Spawn(pid_t* pid, std::span<const char* const> words) {
    std::vector<char*> argv;
    // posix_spawnp takes char* const[] but, like execvp, leaves the words as they are.
    for (const char* word : words) argv.push_back(const_cast<char*>(word));
    argv.push_back(nullptr);
    return posix_spawnp(pid, words[0], &actions_, &attributes_, argv.data(), environ);
  }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

class PosixApi final : public WindowsApi {
 public:
  // A reader that went away fails the write with EPIPE instead of ending
  // this process, so the tool can report it and clean up.
  PosixApi() { signal(SIGPIPE, SIG_IGN); }

  Dword GetVersion() override { return 0x0000000A; }  // NT family, version 10.0

  int MessageBoxA(const char* text, const char* caption, Dword /*type*/) override {
    std::fprintf(stderr, "%s\n%s\n", caption, text);
    return 1;  // OK
  }

  Handle GetStdHandle(Dword which) override {
    int fd = -1;
    if (which == kStdInputHandle) fd = 0;
    if (which == kStdOutputHandle) fd = 1;
    if (which == kStdErrorHandle) fd = 2;
    if (fd < 0) return FailHandle(EINVAL);
    if (fcntl(fd, F_GETFD) == -1) return FailHandle(errno);
    return HandleOf(fd);
  }

  Dword GetFileType(Handle file) override {
    struct stat status {};
    if (fstat(FdOf(file), &status) != 0) {
      Fail(errno);
      return kFileTypeUnknown;
    }
    if (S_ISCHR(status.st_mode)) return kFileTypeChar;
    if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode) || S_ISBLK(status.st_mode)) {
      return kFileTypeDisk;
    }
    if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) return kFileTypePipe;
    lastError_ = 0;
    return kFileTypeUnknown;
  }

  Handle CreateFileA(const char* name, Dword access, Dword /*share*/, Dword disposition,
                     Dword /*flagsAndAttributes*/) override {
    const bool console = std::strcmp(name, "CONOUT$") == 0;
    int flags = O_NOCTTY | O_CLOEXEC;
    if ((access & kGenericRead) && (access & kGenericWrite)) {
      flags |= O_RDWR;
    } else {
      flags |= (access & kGenericWrite) ? O_WRONLY : O_RDONLY;
    }
    if (!console && disposition == kCreateAlways) flags |= O_CREAT | O_TRUNC;
    if (!console && disposition != kCreateAlways && disposition != kOpenExisting) {
      return FailHandle(EINVAL);
    }
    const int fd = CloseOnExecAboveStandard(open(console ? "/dev/tty" : name, flags, 0666));
    if (fd < 0) return FailHandle(errno);
    return HandleOf(fd);
  }

  bool CreatePipe(Handle* readEnd, Handle* writeEnd, const SecurityAttributes& /*attributes*/,
                  Dword /*size*/) override {
    int fds[2];
    if (pipe(fds) != 0) return Fail(errno);
    fds[0] = CloseOnExecAboveStandard(fds[0]);
    const int readError = errno;
    fds[1] = CloseOnExecAboveStandard(fds[1]);
    if (fds[0] < 0 || fds[1] < 0) {
      const int error = fds[0] < 0 ? readError : errno;
      if (fds[0] >= 0) close(fds[0]);
      if (fds[1] >= 0) close(fds[1]);
      return Fail(error);
    }
    *readEnd = HandleOf(fds[0]);
    *writeEnd = HandleOf(fds[1]);
    return true;
  }

  Handle GetCurrentProcess() override { return kCurrentProcess; }

  bool DuplicateHandle(Handle sourceProcess, Handle source, Handle targetProcess, Handle* target,
                       Dword /*access*/, bool /*inherit*/, Dword options) override {
    if (sourceProcess != kCurrentProcess || targetProcess != kCurrentProcess) return Fail(EINVAL);
    const int fd = fcntl(FdOf(source), F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return Fail(errno);
    if (options & kDuplicateCloseSource) close(FdOf(source));
    *target = HandleOf(fd);
    return true;
  }

  void GetStartupInfoA(StartupInfo* info) override { *info = StartupInfo{}; }

  bool CreateProcessA(char* /*commandLine*/, std::span<const char* const> words,
                      bool /*inheritHandles*/, Dword /*creationFlags*/,
                      const StartupInfo& startup, ProcessInformation* process) override {
    if (words.empty()) return Fail(ENOENT);
    SpawnSetup setup;
    const bool useStd = (startup.dwFlags & kStartfUseStdHandles) != 0;
    setup.SetStandardHandle(0, useStd ? startup.hStdInput : HandleOf(0));
    setup.SetStandardHandle(1, useStd ? startup.hStdOutput : HandleOf(1));
    setup.SetStandardHandle(2, useStd ? startup.hStdError : HandleOf(2));
    pid_t pid = 0;
    const int error = setup.Spawn(&pid, words);
    if (error != 0) return Fail(error);
    process->hProcess = AddProcessHandle(pid);
    process->hThread = AddProcessHandle(0);
    process->dwProcessId = static_cast<Dword>(pid);
    process->dwThreadId = static_cast<Dword>(pid);
    return true;
  }

  bool CloseHandle(Handle object) override {
    if (object >= kFirstProcessHandle) return CloseProcessHandle(object);
    if (close(FdOf(object)) != 0 && errno != EINTR) return Fail(errno);
    return true;
  }

  bool ReadFile(Handle file, void* buffer, Dword size, Dword* read) override {
    *read = 0;
    ssize_t count = 0;
    do {
      count = ::read(FdOf(file), buffer, size);
    } while (count < 0 && errno == EINTR);
    if (count < 0) return Fail(errno);
    if (count == 0) {
      lastError_ = kErrorBrokenPipe;  // every writer is gone
      return false;
    }
    *read = static_cast<Dword>(count);
    return true;
  }

  // Blocks until every byte is written, as on Windows: an interrupted write
  // goes on, and one to a descriptor that another process made non-blocking
  // waits until it can take more. Any other error is final.
  bool WriteFile(Handle file, const void* buffer, Dword size, Dword* written) override {
    const char* bytes = static_cast<const char*>(buffer);
    *written = 0;
    while (*written < size) {
      const ssize_t count = ::write(FdOf(file), bytes + *written, size - *written);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd writable{FdOf(file), POLLOUT, 0};
        poll(&writable, 1, -1);
        continue;
      }
      if (count <= 0) return Fail(count < 0 ? errno : EIO);
      *written += static_cast<Dword>(count);
    }
    return true;
  }

  // Only process handles can be waited for; any timeout but kInfinite is
  // taken as 0, a look without waiting.
  Dword WaitForSingleObject(Handle object, Dword milliseconds) override {
    Process* process = FindProcess(object);
    if (process == nullptr) {
      Fail(EBADF);
      return kWaitFailed;
    }
    if (!process->ended && !Reap(*process, milliseconds == kInfinite)) {
      return lastError_ == 0 ? kWaitTimeout : kWaitFailed;
    }
    return kWaitObject0;
  }

  bool GetExitCodeProcess(Handle object, Dword* exitCode) override {
    Process* process = FindProcess(object);
    if (process == nullptr) return Fail(EBADF);
    if (!process->ended && !Reap(*process, false) && lastError_ != 0) return false;
    if (!process->ended) {
      *exitCode = kStillActive;
    } else if (WIFSIGNALED(process->status)) {
      *exitCode = 128 + static_cast<Dword>(WTERMSIG(process->status));
    } else {
      *exitCode = static_cast<Dword>(WEXITSTATUS(process->status));
    }
    return true;
  }

  Dword GetLastError() override { return lastError_; }

 private:
  struct Process {
    pid_t pid = 0;  // 0 for a thread handle
    bool ended = false;
    int status = 0;  // as waitpid gives it, once ended
  };

  bool Fail(int error) {
    lastError_ = WindowsErrorFromErrno(error);
    return false;
  }

  Handle FailHandle(int error) {
    Fail(error);
    return kInvalidHandle;
  }

  Handle AddProcessHandle(pid_t pid) {
    const Handle handle = nextProcessHandle_++;
    processes_[handle] = Process{pid};
    return handle;
  }

  Process* FindProcess(Handle object) {
    const auto entry = processes_.find(object);
    return entry == processes_.end() || entry->second.pid <= 0 ? nullptr : &entry->second;
  }

  // Collects the process's status, waiting for its end when block is set.
  // False when it has not ended (lastError_ 0) or on failure.
  bool Reap(Process& process, bool block) {
    int status = 0;
    pid_t result = 0;
    do {
      result = waitpid(process.pid, &status, block ? 0 : WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return Fail(errno);
    if (result == 0) return Fail(0);
    process.ended = true;
    process.status = status;
    return true;
  }

  // The process is not waited for; one that has already ended is reaped.
  bool CloseProcessHandle(Handle object) {
    const auto entry = processes_.find(object);
    if (entry == processes_.end()) return Fail(EBADF);
    if (entry->second.pid > 0 && !entry->second.ended) waitpid(entry->second.pid, nullptr, WNOHANG);
    processes_.erase(entry);
    return true;
  }

  Dword lastError_ = 0;
  Handle nextProcessHandle_ = kFirstProcessHandle;
  std::map<Handle, Process> processes_;
};

}  // namespace

std::unique_ptr<WindowsApi> CreateSystemApi() { return std::make_unique<PosixApi>(); }

}  // namespace echolog
