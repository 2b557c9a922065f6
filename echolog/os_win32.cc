// os_win32.cc: WindowsApi on Windows, the system calls themselves.
#include <windows.h>

#include "echolog/os_interface.h"

namespace echolog {
namespace {

HANDLE ToSystem(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle FromSystem(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

class Win32Api final : public WindowsApi {
 public:
  Dword GetVersion() override { return static_cast<Dword>(::GetVersion()); }

  int MessageBoxA(const char* text, const char* caption, Dword type) override {
    return ::MessageBoxA(nullptr, text, caption, type);
  }

  Handle GetStdHandle(Dword which) override { return FromSystem(::GetStdHandle(which)); }

  Dword GetFileType(Handle file) override {
    return static_cast<Dword>(::GetFileType(ToSystem(file)));
  }

  Handle CreateFileA(const char* name, Dword access, Dword share, Dword disposition,
                     Dword flagsAndAttributes) override {
    return FromSystem(
        ::CreateFileA(name, access, share, nullptr, disposition, flagsAndAttributes, nullptr));
  }

  bool CreatePipe(Handle* readEnd, Handle* writeEnd, const SecurityAttributes& attributes,
                  Dword size) override {
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof security;
    security.lpSecurityDescriptor = nullptr;
    security.bInheritHandle = attributes.bInheritHandle ? TRUE : FALSE;
    HANDLE readHandle = nullptr;
    HANDLE writeHandle = nullptr;
    if (!::CreatePipe(&readHandle, &writeHandle, &security, size)) return false;
    *readEnd = FromSystem(readHandle);
    *writeEnd = FromSystem(writeHandle);
    return true;
  }

  Handle GetCurrentProcess() override { return FromSystem(::GetCurrentProcess()); }

  bool DuplicateHandle(Handle sourceProcess, Handle source, Handle targetProcess, Handle* target,
                       Dword access, bool inherit, Dword options) override {
    HANDLE duplicate = nullptr;
    if (!::DuplicateHandle(ToSystem(sourceProcess), ToSystem(source), ToSystem(targetProcess),
                           &duplicate, access, inherit ? TRUE : FALSE, options)) {
      return false;
    }
    *target = FromSystem(duplicate);
    return true;
  }

  void GetStartupInfoA(StartupInfo* info) override {
    STARTUPINFOA own{};
    own.cb = sizeof own;
    ::GetStartupInfoA(&own);
    info->dwFlags = own.dwFlags;
    info->wShowWindow = own.wShowWindow;
    info->hStdInput = FromSystem(own.hStdInput);
    info->hStdOutput = FromSystem(own.hStdOutput);
    info->hStdError = FromSystem(own.hStdError);
  }

  bool CreateProcessA(char* commandLine, std::span<const char* const> /*words*/,
                      bool inheritHandles, Dword creationFlags, const StartupInfo& startup,
                      ProcessInformation* process) override {
    STARTUPINFOA child{};  // every field not set here stays zero
    child.cb = sizeof child;
    child.dwFlags = startup.dwFlags;
    child.wShowWindow = startup.wShowWindow;
    child.hStdInput = ToSystem(startup.hStdInput);
    child.hStdOutput = ToSystem(startup.hStdOutput);
    child.hStdError = ToSystem(startup.hStdError);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessA(nullptr, commandLine, nullptr, nullptr, inheritHandles ? TRUE : FALSE,
                          creationFlags, nullptr, nullptr, &child, &started)) {
      return false;
    }
    process->hProcess = FromSystem(started.hProcess);
    process->hThread = FromSystem(started.hThread);
    process->dwProcessId = static_cast<Dword>(started.dwProcessId);
    process->dwThreadId = static_cast<Dword>(started.dwThreadId);
    return true;
  }

  bool CloseHandle(Handle object) override { return ::CloseHandle(ToSystem(object)) != FALSE; }

  bool ReadFile(Handle file, void* buffer, Dword size, Dword* read) override {
    DWORD count = 0;
    const bool ok = ::ReadFile(ToSystem(file), buffer, size, &count, nullptr) != FALSE;
    *read = static_cast<Dword>(count);
    return ok;
  }

  bool WriteFile(Handle file, const void* buffer, Dword size, Dword* written) override {
    DWORD count = 0;
    const bool ok = ::WriteFile(ToSystem(file), buffer, size, &count, nullptr) != FALSE;
    *written = static_cast<Dword>(count);
    return ok;
  }

  Dword WaitForSingleObject(Handle object, Dword milliseconds) override {
    return static_cast<Dword>(::WaitForSingleObject(ToSystem(object), milliseconds));
  }

  bool GetExitCodeProcess(Handle process, Dword* exitCode) override {
    DWORD code = 0;
    if (!::GetExitCodeProcess(ToSystem(process), &code)) return false;
    *exitCode = static_cast<Dword>(code);
    return true;
  }

  Dword GetLastError() override { return static_cast<Dword>(::GetLastError()); }
};

}  // namespace

std::unique_ptr<WindowsApi> CreateSystemApi() { return std::make_unique<Win32Api>(); }

}  // namespace echolog
