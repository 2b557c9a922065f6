// os_interface.h: the only way echolog32 reaches the operating system.
//
// WindowsApi holds the Windows calls the tool makes, named like them, with
// the arguments it actually passes and the results it relies on. One
// implementation per platform (os_win32.cc, os_posix.cc) and a scripted fake
// for tests. The types and constants are our own, so this header needs no
// system header; the constants keep the Windows values, and their names
// differ from the Windows macros so both can be seen in one file.
#ifndef KVS_ECHOLOG_OS_INTERFACE_H
#define KVS_ECHOLOG_OS_INTERFACE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace echolog {

using Dword = std::uint32_t;
// A system handle. 0 is the null handle ("no handle"), -1 the invalid one.
using Handle = std::intptr_t;

inline constexpr Handle kNullHandle = 0;
inline constexpr Handle kInvalidHandle = -1;

// GetStdHandle
inline constexpr Dword kStdOutputHandle = static_cast<Dword>(-11);
// GetFileType results
inline constexpr Dword kFileTypeUnknown = 0;
inline constexpr Dword kFileTypeDisk = 1;
inline constexpr Dword kFileTypeChar = 2;
inline constexpr Dword kFileTypePipe = 3;
// CreateFileA
inline constexpr Dword kGenericWrite = 0x40000000;
inline constexpr Dword kGenericRead = 0x80000000;
inline constexpr Dword kFileShareRead = 1;
inline constexpr Dword kCreateAlways = 2;
inline constexpr Dword kFileAttributeNormal = 0x80;
// DuplicateHandle options
inline constexpr Dword kDuplicateCloseSource = 1;
inline constexpr Dword kDuplicateSameAccess = 2;
// Start-up record flags
inline constexpr Dword kStartfUseShowWindow = 0x1;
inline constexpr Dword kStartfUseStdHandles = 0x100;
// MessageBoxA
inline constexpr Dword kMbOk = 0;
// WaitForSingleObject
inline constexpr Dword kInfinite = 0xFFFFFFFF;
inline constexpr Dword kWaitObject0 = 0;
inline constexpr Dword kWaitTimeout = 258;
inline constexpr Dword kWaitFailed = 0xFFFFFFFF;
// GetExitCodeProcess: the code of a process that has not ended yet
inline constexpr Dword kStillActive = 259;
// Error codes
inline constexpr Dword kErrorFileNotFound = 2;
inline constexpr Dword kErrorAccessDenied = 5;
inline constexpr Dword kErrorInvalidHandle = 6;
inline constexpr Dword kErrorBrokenPipe = 109;
inline constexpr Dword kErrorFilenameExcedRange = 206;

// Longest command line the system accepts, counting its terminating NUL.
inline constexpr std::size_t kMaxCommandLine = 32767;

struct SecurityAttributes {
  bool bInheritHandle = false;  // no security descriptor is ever passed
};

// The fields of a start-up record the tool reads or sets; every other field
// of the system's record is zero.
struct StartupInfo {
  Dword dwFlags = 0;
  std::uint16_t wShowWindow = 0;
  Handle hStdInput = kNullHandle;
  Handle hStdOutput = kNullHandle;
  Handle hStdError = kNullHandle;
};

struct ProcessInformation {
  Handle hProcess = kNullHandle;
  Handle hThread = kNullHandle;
  Dword dwProcessId = 0;
  Dword dwThreadId = 0;
};

// Each call behaves like the Windows call of the same name. Calls that can
// fail leave an error code for GetLastError; calls that succeed may leave
// the previous code in place.
class WindowsApi {
 public:
  virtual ~WindowsApi() = default;

  // Bit 31 of the result is set on systems outside the NT family.
  virtual Dword GetVersion() = 0;
  // No owner window; returns when the message has been dismissed.
  virtual int MessageBoxA(const char* text, const char* caption, Dword type) = 0;
  // The standard handle, or kInvalidHandle.
  virtual Handle GetStdHandle(Dword which) = 0;
  // kFileTypeChar for the console and other character devices;
  // kFileTypeUnknown for an invalid handle.
  virtual Dword GetFileType(Handle file) = 0;
  // No security attributes (the handle is not inherited), no template file.
  // Returns kInvalidHandle on failure.
  virtual Handle CreateFileA(const char* name, Dword access, Dword share,
                             Dword disposition, Dword flagsAndAttributes) = 0;
  virtual bool CreatePipe(Handle* readEnd, Handle* writeEnd,
                          const SecurityAttributes& attributes, Dword size) = 0;
  virtual Handle GetCurrentProcess() = 0;
  virtual bool DuplicateHandle(Handle sourceProcess, Handle source, Handle targetProcess,
                               Handle* target, Dword access, bool inherit, Dword options) = 0;
  virtual void GetStartupInfoA(StartupInfo* info) = 0;
  // No application name: the program is the first word of commandLine, which
  // the system may modify. No process or thread security attributes, the
  // caller's environment and current directory. words are the program and
  // its arguments that commandLine was built from: Windows takes the line
  // and ignores them; a POSIX system has no command lines and hands the
  // words on unchanged as the program's argument vector, looking the program
  // up along PATH.
  virtual bool CreateProcessA(char* commandLine, std::span<const char* const> words,
                              bool inheritHandles, Dword creationFlags,
                              const StartupInfo& startup, ProcessInformation* process) = 0;
  virtual bool CloseHandle(Handle object) = 0;
  // Blocks until data arrives; false with kErrorBrokenPipe once no write
  // handle to the pipe is left open anywhere.
  virtual bool ReadFile(Handle file, void* buffer, Dword size, Dword* read) = 0;
  // Writes the bytes unchanged.
  virtual bool WriteFile(Handle file, const void* buffer, Dword size, Dword* written) = 0;
  // kWaitObject0 once the object (a process) is signalled, kWaitTimeout when
  // the time ran out first, kWaitFailed on failure.
  virtual Dword WaitForSingleObject(Handle object, Dword milliseconds) = 0;
  // The exit code of a process that has ended, kStillActive for one that
  // has not. On POSIX systems a process ended by a signal has 128 plus the
  // signal's number, as shells give it.
  virtual bool GetExitCodeProcess(Handle process, Dword* exitCode) = 0;
  virtual Dword GetLastError() = 0;
};

// The implementation for the platform the program is built for.
std::unique_ptr<WindowsApi> CreateSystemApi();

}  // namespace echolog

#endif  // KVS_ECHOLOG_OS_INTERFACE_H
