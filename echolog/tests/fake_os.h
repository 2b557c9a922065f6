// fake_os.h: a scripted WindowsApi for tests. It records every call, hands
// out fixed handles, delivers scripted pipe contents and can make the nth
// call of any operation that can fail on the system fail with a chosen error
// code.
#ifndef KVS_ECHOLOG_TESTS_FAKE_OS_H
#define KVS_ECHOLOG_TESTS_FAKE_OS_H

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "echolog/os_interface.h"

namespace echolog {

class FakeWindowsApi final : public WindowsApi {
 public:
  static constexpr Handle kStdOutput = 10, kConsole = 20, kPipeRead = 30, kPipeWrite = 31;
  static constexpr Handle kFirstDuplicate = 40;  // then 41, 42, ...

  void FailCall(const std::string& name, int nth, Dword error) { failures_[{name, nth}] = error; }
  // The next reads deliver bytes, at most the size asked each, or fail with
  // error; "" without an error is a read of 0 bytes. With nothing queued the
  // pipe reads as broken.
  void QueueRead(std::string bytes, Dword error = 0) {
    reads_.emplace_back(std::move(bytes), error);
  }

  Dword version = 0x0000000A;
  Dword stdOutputType = kFileTypeDisk;
  Dword exitCode = 0;  // the command's, once waited for
  std::function<void()> onCloseStdOutput;  // runs when kStdOutput is closed
  // Runs with the bytes of each write that kStdOutput takes.
  std::function<void(const char*, Dword)> onWriteStdOutput;

  std::vector<std::string> calls;        // operation names, in order
  std::map<Handle, std::string> output;  // bytes written per handle
  std::vector<Dword> writeSizes;         // sizes asked of WriteFile
  std::set<Handle> openHandles;          // given out and not yet closed
  std::vector<std::string> messageBoxes;  // "caption|text|type"
  std::string commandLine;
  std::vector<std::string> words;  // the words the command line was built from
  StartupInfo startup;
  std::vector<bool> duplicateInherit;  // inherit flag of each DuplicateHandle
  std::vector<Handle> waited;          // objects given to WaitForSingleObject
  std::set<Handle> openAtWait;         // handles open at the last wait

  Dword GetVersion() override {
    Called("GetVersion");
    return version;
  }
  int MessageBoxA(const char* text, const char* caption, Dword type) override {
    messageBoxes.push_back(std::string(caption) + "|" + text + "|" + std::to_string(type));
    return Called("MessageBoxA") ? 0 : 1;
  }
  Handle GetStdHandle(Dword which) override {
    return Called("GetStdHandle") || which != kStdOutputHandle ? kInvalidHandle : Give(kStdOutput);
  }
  Dword GetFileType(Handle file) override {
    if (Called("GetFileType")) return kFileTypeUnknown;
    return file == kStdOutput ? stdOutputType : Fail(kErrorInvalidHandle, kFileTypeUnknown);
  }
  Handle CreateFileA(const char* name, Dword, Dword, Dword, Dword) override {
    if (Called("CreateFileA") || std::string(name) != "CONOUT$") return kInvalidHandle;
    return Give(kConsole);
  }
  bool CreatePipe(Handle* readEnd, Handle* writeEnd, const SecurityAttributes& attributes,
                  Dword) override {
    if (Called("CreatePipe") || !attributes.bInheritHandle) return false;
    *readEnd = Give(kPipeRead);
    *writeEnd = Give(kPipeWrite);
    return true;
  }
  Handle GetCurrentProcess() override { return kInvalidHandle; }  // the pseudo handle's value
  bool DuplicateHandle(Handle, Handle source, Handle, Handle* target, Dword, bool inherit,
                       Dword) override {
    duplicateInherit.push_back(inherit);
    if (Called("DuplicateHandle")) return false;
    if (!openHandles.count(source)) return Fail(kErrorInvalidHandle, false);
    *target = Give(nextDuplicate_++);
    return true;
  }
  void GetStartupInfoA(StartupInfo* info) override {
    *info = StartupInfo{};
    info->wShowWindow = 7;
  }
  bool CreateProcessA(char* line, std::span<const char* const> given, bool inheritHandles, Dword,
                      const StartupInfo& info, ProcessInformation* process) override {
    commandLine = line;
    words.assign(given.begin(), given.end());
    startup = info;
    if (Called("CreateProcessA") || !inheritHandles) return false;
    process->hProcess = Give(50);
    process->hThread = Give(51);
    return true;
  }
  bool CloseHandle(Handle object) override {
    if (object == kStdOutput && onCloseStdOutput) onCloseStdOutput();
    const bool wasOpen = openHandles.erase(object) > 0;
    if (Called("CloseHandle")) return false;
    return wasOpen || Fail(kErrorInvalidHandle, false);
  }
  bool ReadFile(Handle file, void* buffer, Dword size, Dword* read) override {
    *read = 0;
    if (Called("ReadFile")) return false;
    if (!openHandles.count(file)) return Fail(kErrorInvalidHandle, false);
    if (reads_.empty()) return Fail(kErrorBrokenPipe, false);
    auto& [bytes, error] = reads_.front();
    if (error != 0) {
      lastError_ = error;
      reads_.pop_front();
      return false;
    }
    *read = static_cast<Dword>(std::min<std::size_t>(size, bytes.size()));
    std::copy_n(bytes.data(), *read, static_cast<char*>(buffer));
    bytes.erase(0, *read);
    if (bytes.empty()) reads_.pop_front();
    return true;
  }
  bool WriteFile(Handle file, const void* buffer, Dword size, Dword* written) override {
    writeSizes.push_back(size);
    *written = 0;
    if (Called("WriteFile")) return false;
    if (!openHandles.count(file)) return Fail(kErrorInvalidHandle, false);
    output[file].append(static_cast<const char*>(buffer), size);
    *written = size;
    if (file == kStdOutput && onWriteStdOutput) {
      onWriteStdOutput(static_cast<const char*>(buffer), size);
    }
    return true;
  }
  Dword WaitForSingleObject(Handle object, Dword) override {
    waited.push_back(object);
    openAtWait = openHandles;
    if (Called("WaitForSingleObject")) return kWaitFailed;
    return openHandles.count(object) ? kWaitObject0 : Fail(kErrorInvalidHandle, kWaitFailed);
  }
  // The command has ended once it has been waited for.
  bool GetExitCodeProcess(Handle process, Dword* code) override {
    if (Called("GetExitCodeProcess")) return false;
    if (!openHandles.count(process)) return Fail(kErrorInvalidHandle, false);
    *code = std::count(waited.begin(), waited.end(), process) ? exitCode : kStillActive;
    return true;
  }
  Dword GetLastError() override { return lastError_; }

 private:
  // Records the call; true when it is scripted to fail (the error is set).
  bool Called(const std::string& name) {
    calls.push_back(name);
    const auto failure = failures_.find({name, ++counts_[name]});
    if (failure != failures_.end()) lastError_ = failure->second;
    return failure != failures_.end();
  }
  template <typename Result>
  Result Fail(Dword error, Result result) {
    lastError_ = error;
    return result;
  }
  Handle Give(Handle handle) { return *openHandles.insert(handle).first; }

  std::map<std::pair<std::string, int>, Dword> failures_;
  std::map<std::string, int> counts_;
  std::deque<std::pair<std::string, Dword>> reads_;
  Dword lastError_ = 0;
  Handle nextDuplicate_ = kFirstDuplicate;
};

}  // namespace echolog

#endif  // KVS_ECHOLOG_TESTS_FAKE_OS_H
