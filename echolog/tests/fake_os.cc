// fake_os.cc: the scripted WindowsApi of the tests.
#include "echolog/tests/fake_os.h"

#include <algorithm>

namespace echolog {

bool FakeWindowsApi::Called(const std::string& name) {
  calls.push_back(name);
  const auto failure = failures_.find({name, ++counts_[name]});
  if (failure == failures_.end()) return false;
  lastError_ = failure->second;
  return true;
}

Handle FakeWindowsApi::Give(Handle handle) {
  openHandles.insert(handle);
  return handle;
}

Dword FakeWindowsApi::GetVersion() {
  Called("GetVersion");
  return version;
}

int FakeWindowsApi::MessageBoxA(const char* text, const char* caption, Dword type) {
  Called("MessageBoxA");
  messageBoxes.push_back(std::string(caption) + "|" + text + "|" + std::to_string(type));
  return 1;
}

Handle FakeWindowsApi::GetStdHandle(Dword which) {
  if (Called("GetStdHandle") || which != kStdOutputHandle) return kInvalidHandle;
  return Give(kStdOutput);
}

Dword FakeWindowsApi::GetFileType(Handle file) {
  if (Called("GetFileType")) return kFileTypeUnknown;
  if (file != kStdOutput) {
    lastError_ = kErrorInvalidHandle;
    return kFileTypeUnknown;
  }
  return stdOutputType;
}

Handle FakeWindowsApi::CreateFileA(const char* name, Dword, Dword, Dword, Dword) {
  if (Called("CreateFileA") || std::string(name) != "CONOUT$") return kInvalidHandle;
  return Give(kConsole);
}

bool FakeWindowsApi::CreatePipe(Handle* readEnd, Handle* writeEnd,
                                const SecurityAttributes& attributes, Dword) {
  if (Called("CreatePipe") || !attributes.bInheritHandle) return false;
  *readEnd = Give(kPipeRead);
  *writeEnd = Give(kPipeWrite);
  return true;
}

Handle FakeWindowsApi::GetCurrentProcess() {
  Called("GetCurrentProcess");
  return kInvalidHandle;  // the pseudo handle has this value on Windows
}

bool FakeWindowsApi::DuplicateHandle(Handle, Handle source, Handle, Handle* target, Dword,
                                     bool inherit, Dword) {
  duplicateInherit.push_back(inherit);
  if (Called("DuplicateHandle")) return false;
  if (!openHandles.count(source)) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  *target = Give(nextDuplicate_++);
  return true;
}

void FakeWindowsApi::GetStartupInfoA(StartupInfo* info) {
  Called("GetStartupInfoA");
  *info = StartupInfo{};
  info->wShowWindow = 7;
}

bool FakeWindowsApi::CreateProcessA(char* line, bool inheritHandles, Dword,
                                    const StartupInfo& info, ProcessInformation* process) {
  commandLine = line;
  startup = info;
  if (Called("CreateProcessA") || !inheritHandles) return false;
  process->hProcess = Give(kProcess);
  process->hThread = Give(kThread);
  return true;
}

bool FakeWindowsApi::CloseHandle(Handle object) {
  if (object == kStdOutput && onCloseStdOutput) onCloseStdOutput();
  const bool wasOpen = openHandles.erase(object) > 0;
  if (Called("CloseHandle")) return false;
  if (!wasOpen) lastError_ = kErrorInvalidHandle;
  return wasOpen;
}

bool FakeWindowsApi::ReadFile(Handle file, void* buffer, Dword size, Dword* read) {
  readSizes.push_back(size);
  *read = 0;
  if (Called("ReadFile")) return false;
  if (!openHandles.count(file)) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  if (endlessReadError_ != 0 || reads_.empty()) {
    lastError_ = endlessReadError_ != 0 ? endlessReadError_ : kErrorBrokenPipe;
    return false;
  }
  ScriptedRead& next = reads_.front();
  if (next.error != 0) {
    lastError_ = next.error;
    reads_.pop_front();
    return false;
  }
  const std::size_t count = std::min<std::size_t>(size, next.bytes.size());
  std::copy_n(next.bytes.data(), count, static_cast<char*>(buffer));
  *read = static_cast<Dword>(count);
  next.bytes.erase(0, count);
  if (next.bytes.empty()) reads_.pop_front();
  return true;
}

bool FakeWindowsApi::WriteFile(Handle file, const void* buffer, Dword size, Dword* written) {
  writeSizes.push_back(size);
  *written = 0;
  if (Called("WriteFile")) return false;
  if (!openHandles.count(file)) {
    lastError_ = kErrorInvalidHandle;
    return false;
  }
  output[file].append(static_cast<const char*>(buffer), size);
  *written = size;
  return true;
}

Dword FakeWindowsApi::GetLastError() { return lastError_; }

}  // namespace echolog
