// fake_os.h: a scripted WindowsApi for tests. It records every call, hands
// out fixed handles, delivers scripted pipe contents and can make any call
// fail with a chosen error code.
#ifndef KVS_ECHOLOG_TESTS_FAKE_OS_H
#define KVS_ECHOLOG_TESTS_FAKE_OS_H

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "echolog/os_interface.h"

namespace echolog {

class FakeWindowsApi final : public WindowsApi {
 public:
  static constexpr Handle kStdOutput = 10;
  static constexpr Handle kConsole = 20;
  static constexpr Handle kPipeRead = 30;
  static constexpr Handle kPipeWrite = 31;
  static constexpr Handle kFirstDuplicate = 40;  // then 41, 42, ...
  static constexpr Handle kProcess = 50;
  static constexpr Handle kThread = 51;

  // Makes the nth call (counting from 1) of the named operation fail and
  // leave error for GetLastError.
  void FailCall(const std::string& name, int nth, Dword error) { failures_[{name, nth}] = error; }
  // Pipe contents: the next reads deliver these bytes, at most the requested
  // size each. When nothing is queued the pipe reads as broken.
  void QueueRead(std::string bytes) { reads_.push_back({std::move(bytes), 0}); }
  void QueueReadError(Dword error) { reads_.push_back({"", error}); }
  void QueueEmptyRead() { reads_.push_back({"", 0}); }
  // Every read fails with error, for ever.
  void FailEveryRead(Dword error) { endlessReadError_ = error; }

  Dword version = 0x0000000A;
  Dword stdOutputType = kFileTypeDisk;
  std::function<void()> onCloseStdOutput;  // runs when kStdOutput is closed

  std::vector<std::string> calls;            // operation names, in order
  std::map<Handle, std::string> output;      // bytes written per handle
  std::vector<Dword> readSizes, writeSizes;  // sizes asked of ReadFile / WriteFile
  std::set<Handle> openHandles;              // given out and not yet closed
  std::vector<std::string> messageBoxes;     // "caption|text"
  std::string commandLine;
  StartupInfo startup;
  std::vector<bool> duplicateInherit;  // inherit flag of each DuplicateHandle

  Dword GetVersion() override;
  int MessageBoxA(const char* text, const char* caption, Dword type) override;
  Handle GetStdHandle(Dword which) override;
  Dword GetFileType(Handle file) override;
  Handle CreateFileA(const char* name, Dword access, Dword share, Dword disposition,
                     Dword flagsAndAttributes) override;
  bool CreatePipe(Handle* readEnd, Handle* writeEnd, const SecurityAttributes& attributes,
                  Dword size) override;
  Handle GetCurrentProcess() override;
  bool DuplicateHandle(Handle sourceProcess, Handle source, Handle targetProcess, Handle* target,
                       Dword access, bool inherit, Dword options) override;
  void GetStartupInfoA(StartupInfo* info) override;
  bool CreateProcessA(char* line, bool inheritHandles, Dword creationFlags,
                      const StartupInfo& info, ProcessInformation* process) override;
  bool CloseHandle(Handle object) override;
  bool ReadFile(Handle file, void* buffer, Dword size, Dword* read) override;
  bool WriteFile(Handle file, const void* buffer, Dword size, Dword* written) override;
  Dword GetLastError() override;

 private:
  struct ScriptedRead {
    std::string bytes;
    Dword error;  // nonzero: the read fails with it
  };

  // Records the call; true when it is scripted to fail (the error is set).
  bool Called(const std::string& name);
  Handle Give(Handle handle);

  std::map<std::pair<std::string, int>, Dword> failures_;
  std::map<std::string, int> counts_;
  std::deque<ScriptedRead> reads_;
  Dword endlessReadError_ = 0;
  Dword lastError_ = 0;
  Handle nextDuplicate_ = kFirstDuplicate;
};

}  // namespace echolog

#endif  // KVS_ECHOLOG_TESTS_FAKE_OS_H
